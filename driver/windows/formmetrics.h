// formmetrics.h - sizes of the windows' controls taken from the font they
// show: the forms keep their fixed pixel positions while the texts fit and
// grow a control (and move what follows it) where a text would be clipped.
#pragma once

#include <QString>
#include <QStringList>

class QCheckBox;
class QComboBox;
class QFontMetrics;
class QLineEdit;
class QPushButton;

namespace formmetrics {

// The longest texts the windows show for a value, used to size the controls
// that hold them: numbers as "%.6lg" prints them (sign, six digits, exponent),
// and names of the most characters a record or a board allows, made of the
// widest letter.
QStringList NumberSamples();
QString MotorNameSample();   // 10 characters
QString BoardNameSample();   // 9 characters
QStringList MotorTypeNames();

// The widest of the texts, in pixels.
int WidestText(const QFontMetrics &fm, const QStringList &texts);

// The least width at which the control shows each of the texts whole, at
// least `minimum` (the form's own width).
int EditWidth(const QLineEdit *edit, const QStringList &texts, int minimum);
int ButtonWidth(const QPushButton *button, int minimum);
int CheckBoxWidth(const QCheckBox *box, int minimum);
int ComboWidth(const QComboBox *combo, const QStringList &texts, int minimum);

}   // namespace formmetrics

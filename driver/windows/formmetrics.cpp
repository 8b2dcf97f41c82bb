// formmetrics.cpp - control widths from the font: the space a style keeps
// around a control's text, measured on a wide probe rectangle, plus the
// width of the text itself.
#include "formmetrics.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>

#include <algorithm>

#include "motor.h"

namespace {

constexpr int kProbe = 1000;     // width of the rectangle the style's margins are measured on
constexpr int kEditMargin = 2;   // the line edit's own space left and right of its text

}   // namespace

QStringList formmetrics::NumberSamples() { return {QStringLiteral("-1.23457e+06"), QStringLiteral("-0.000123457")}; }

// Names of the widest letter: any name of that length fits.
QString formmetrics::MotorNameSample() { return QString(10, QLatin1Char('W')); }

QString formmetrics::BoardNameSample() { return QString(9, QLatin1Char('W')); }

QStringList formmetrics::MotorTypeNames()
{
    QStringList names;
    const unsigned n = GetMotorTypeCount();
    for (unsigned i = 0; i < n; ++i)
        names << QString::fromUtf8(GetMotorTypeByIndex(static_cast<int>(i))->Name);
    return names;
}

int formmetrics::WidestText(const QFontMetrics &fm, const QStringList &texts)
{
    int w = 0;
    for (const QString &t : texts)
        w = std::max(w, fm.horizontalAdvance(t));
    return w;
}

int formmetrics::EditWidth(const QLineEdit *edit, const QStringList &texts, int minimum)
{
    QStyleOptionFrame opt;
    opt.initFrom(edit);
    opt.rect = QRect(0, 0, kProbe, edit->height());
    opt.lineWidth = edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, edit) : 0;
    opt.midLineWidth = 0;
    opt.state |= QStyle::State_Sunken;
    opt.features = QStyleOptionFrame::None;
    const QRect contents = edit->style()->subElementRect(QStyle::SE_LineEditContents, &opt, edit);
    const QMargins tm = edit->textMargins();
    const int padding = kProbe - contents.width() + tm.left() + tm.right() + 2 * kEditMargin;
    // One pixel more for the cursor behind the last character.
    return std::max(minimum, WidestText(edit->fontMetrics(), texts) + 1 + padding);
}

int formmetrics::ButtonWidth(const QPushButton *button, int minimum)
{
    QStyleOptionButton opt;
    opt.initFrom(button);
    opt.text = button->text();
    opt.rect = QRect(0, 0, kProbe, button->height());
    if (button->autoDefault())
        opt.features |= QStyleOptionButton::AutoDefaultButton;
    if (button->isDefault())
        opt.features |= QStyleOptionButton::DefaultButton;
    const QRect contents = button->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, button);
    // Two pixels of air on each side of the caption.
    return std::max(minimum, button->fontMetrics().horizontalAdvance(button->text()) + kProbe - contents.width() + 4);
}

int formmetrics::CheckBoxWidth(const QCheckBox *box, int minimum) { return std::max(minimum, box->sizeHint().width()); }

int formmetrics::ComboWidth(const QComboBox *combo, const QStringList &texts, int minimum)
{
    QStyleOptionComboBox opt;
    opt.initFrom(combo);
    opt.rect = QRect(0, 0, kProbe, combo->height());
    opt.editable = false;
    opt.frame = true;
    const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, combo);
    // The style draws the text one pixel inside the field on each side.
    return std::max(minimum, WidestText(combo->fontMetrics(), texts) + kProbe - field.width() + 2);
}

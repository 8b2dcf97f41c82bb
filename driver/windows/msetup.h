// msetup.h - the motor setup dialog: edits one motor's settings record
// (address, name, type, flags, coefficient, start position, travel length,
// acceleration length, step times) for a new or an existing motor of a board,
// and the exports that run it (_SM_Setup, _SMN_Setup).
//
// The dialog never talks to a board: it reads the board's motors through the
// exported interface (_SM_GetInfo) and leaves the edited record in FSettings;
// _SM_Setup hands it to the core's StoreMotorSetup, which changes the board's
// slot and saves the board's settings file.
//
// Without a Qt application object (QApplication) on the calling thread no
// dialog can run: _SM_Setup with a NULL record returns -1 and _SMN_Setup
// false. _SM_Setup with a record never needs a window.
#pragma once

#include <QDialog>
#include <QWidget>

#include <string>

#include <locale.h>

#include "kinetrax.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QToolButton;

// An up-down control bound to an edit (its "associate"): the arrows, and the
// Up / Down keys in the edit, step the edit's number by one inside Min..Max
// without wrapping and write it back into the edit.
class TUpDown : public QWidget {
    Q_OBJECT
public:
    TUpDown(QWidget *parent, QLineEdit *associate, int min, int max, int position);

    int Min() const { return min_; }
    int Max() const { return max_; }
    int Position() const { return position_; }
    // Clamped to Min..Max; the edit shows the new position.
    void SetPosition(int position);
    // Clamped to Min..Max; the edit keeps its text.
    void SetPositionQuiet(int position);
    void StepBy(int delta);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QLineEdit *associate_;
    QToolButton *up_;
    QToolButton *down_;
    int min_, max_, position_;
};

class TDlgMotorSetup : public QDialog {
    Q_OBJECT
public:
    // What the dialog does with itself once closed; it never frees itself: the
    // one who ran it deletes it.
    enum class CloseAction { caNone, caHide, caFree };

    TDlgMotorSetup(QWidget *Owner, int deviceIndex, int motorIndex);
    ~TDlgMotorSetup() override;

    // Components (objectName = member name).
    QLabel *LPokus;
    QFrame *PAddress;
    QLabel *Label14;
    QLineEdit *EBName;
    QLabel *Label1;
    QComboBox *CBTyp;
    QCheckBox *ChSteps;
    QCheckBox *ChFix;
    QLabel *Label4, *LbCoeff;
    QLineEdit *EBCoef;
    QLabel *Label11, *LbStart;
    QLineEdit *EBOffset;
    QLabel *Label3, *LbLength;
    QLineEdit *EBLen;
    QLabel *Label12, *Label8;
    QLineEdit *EBAccel;
    QLabel *Label6, *Label2;
    QLineEdit *EBMin;
    TUpDown *UDMin;
    QLabel *Label7, *Label5;
    QLineEdit *EBMax;
    TUpDown *UDMax;
    QPushButton *Button1;
    QPushButton *Button2;

    // Handlers.
    void FormShow(QObject *Sender);
    void FormCloseQuery(QObject *Sender, bool &CanClose);
    void FormClose(QObject *Sender, CloseAction &Action);
    void Button1Click(QObject *Sender);
    void Button2Click(QObject *Sender);
    void CBTypChange(QObject *Sender);
    void EBCoefChange(QObject *Sender);
    void EBCoefExit(QObject *Sender);
    void EBAccelChange(QObject *Sender);
    void EBAccelExit(QObject *Sender);

    // The record being edited; _SM_Setup reads it after an accepted run.
    const SMotorSettings &Settings() const { return FSettings; }
    bool Confirmed() const { return FConfirmed; }
    int DeviceIndex() const { return FDeviceIndex; }
    int MotorIndex() const { return FMotorIndex; }

    // The address selector: slots 0..6 are addresses 1..7, slot 7 is "U" (no
    // address, tag 0). Entries 8..15 stay null.
    QFrame *AddrPanel(int slot) const { return slot >= 0 && slot < 16 ? FAddrPanels[slot] : nullptr; }
    QLabel *AddrLabel(int slot) const { return slot >= 0 && slot < 16 ? FAddrLabels[slot] : nullptr; }
    QRadioButton *AddrRadio(int slot) const { return slot >= 0 && slot < 16 ? FAddrRadios[slot] : nullptr; }

    // Esc: as the Cancel button.
    void reject() override;
    // Every close of the modal run passes the close query and FormClose.
    void done(int r) override;

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool CheckValues();
    void FixAddressTabStop();
    void FitToFont();

    QFrame *FAddrPanels[16] = {};
    QLabel *FAddrLabels[16] = {};
    QRadioButton *FAddrRadios[16] = {};
    int FDeviceIndex;
    int FMotorIndex;
    bool FConfirmed = false;
    SMotorSettings FSettings;
    bool closing_ = false;           // inside done(): focus changes run no exit checks
    bool trimming_ = false;          // EBAccelChange is shortening a text
    QString shownName_;              // what FormShow put into EBName ...
    char shownNameBytes_[10] = {};   // ... and the record's bytes behind it
};

// The dialog while _SM_Setup runs it, else NULL.
extern "C" KX_EXPORT TDlgMotorSetup *_DlgMotorSetup;

// Number texts of the windows, independent of the process locale: "%.6lg"
// output, and the "%lg" scan (the scanf count: 1, 0 for no match, -1 for an
// empty or blank text).
namespace msetup {
std::string FormatG6(double value);
int ScanDouble(const QString &text, double *value);
// A whole text that is a decimal 32-bit integer (blanks before it allowed).
bool ParseInt32(const QString &text, int *value);

// The "C" locale object (null when it could not be made).
locale_t CLocale();

// The "C" locale for this thread while in scope: scans and prints with a point.
class CLocaleScope {
public:
    CLocaleScope() : old_(CLocale() ? uselocale(CLocale()) : static_cast<locale_t>(nullptr)) {}
    ~CLocaleScope()
    {
        if (old_)
            uselocale(old_);
    }
    CLocaleScope(const CLocaleScope &) = delete;
    CLocaleScope &operator=(const CLocaleScope &) = delete;

private:
    locale_t old_;
};

// A window or dialog can exist only on the thread of the Qt application
// object, and only when that object is a QApplication.
bool OnGuiThread();
}   // namespace msetup

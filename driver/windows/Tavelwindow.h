// Tavelwindow.h - the control window TDlgTavel: the live list of every motor of
// every board (refreshed every 500 ms), the side panel with the selected
// motor's settings, the "Move to..." commands, the list's popup menu with its
// per-board submenus, and the exports that create, show, query and destroy the
// window (_ShowSetupWin, _IsSetupWinOpened, _IsSetupWinVisible,
// _CloseSetupWin) and shut the library down (_Exit).
//
// The window keeps no motion state: it reaches the motors only through the
// exported C interface (kinetrax.h) and finds a motor again by the pair
// (board serial number, motor name). All of it runs on the thread of the Qt
// application object; the window exports called on any other thread, or with
// no QApplication at all, do nothing and report false (see kinetrax.h), but
// for _CloseSetupWin (and so _Exit): on another thread it stops the window's
// refresh at once and has the window destroyed on its own thread.
//
// Reopening a window the user closed: the close only hides it and stops the
// refresh; _ShowSetupWin shows the same instance again and the refresh resumes
// as soon as the window is visible.
#pragma once

#include <QIcon>
#include <QList>
#include <QPoint>
#include <QString>
#include <QWidget>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "kinetrax.h"
#include "msgbox.h"

class QAction;
class QCheckBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

class TDlgTavel : public QWidget {
    Q_OBJECT
public:
    // What FormClose does with the window (the form's default: hide it).
    enum class CloseAction { caNone, caHide, caFree, caMinimize };

    explicit TDlgTavel(QWidget *Owner);
    ~TDlgTavel() override;

    // ---- Components (objectName = member name) ----
    QTreeWidget *LvMotorList;
    QFrame *Panel1;
    QFrame *Panel2;
    QLabel *LDev, *LAddr, *LTyp, *LLen, *LCoef, *LOff, *LAccel, *LMin, *LMax, *LSteps, *LFix;
    QGroupBox *GroupBox1;
    QLabel *LPos;
    QLabel *LPosReal;
    QFrame *Panel3;
    QCheckBox *ChBZero;
    QLineEdit *EbDestination;
    QPushButton *BttnSet, *BttnMoveAbs, *BttnMoveRel, *BttnStop;
    QPushButton *BttnRun, *BttnStopAll;
    QTimer *Timer;
    QList<QIcon> ImageList1;   // the MotorStateIcon lamps: 0 red, 1 green, 2 yellow (16 x 16)
    QMenu *PmMenu;
    QMenu *PmDev;   // "Devices": one submenu per board (objectName = serial number)
    QAction *PmRelAll, *N1, *PmSetup, *PmInitialize, *PmZero, *PmReset, *PmRelease, *PmRemove;

    // ---- Refresh and list ----
    void ClearInfo();
    void TimerTimer(QObject *Sender);
    void RefreshMotorList();
    bool FindMotorItem(const char *serial, const std::string &name, int &index);
    void UpdateMotorIcons();
    void LvMotorListSelectItem(QObject *Sender, QTreeWidgetItem *Item, bool Selected);
    void FormClose(QObject *Sender, CloseAction &Action);
    void FormDestroy(QObject *Sender);

    // ---- Motor commands ----
    // BttnSetClick lets the conversion error of the target text escape; the
    // window's event dispatch reports it (see Dispatch).
    void BttnSetClick(QObject *Sender);
    void BttnMoveAbsClick(QObject *Sender);
    void BttnStopClick(QObject *Sender);
    void ChBZeroClick(QObject *Sender);
    void BttnRunClick(QObject *Sender);
    void BttnStopAllClick(QObject *Sender);
    void EbDestinationChange(QObject *Sender);
    void LvMotorListDblClick(QObject *Sender);
    void PmInitializeClick(QObject *Sender);
    void PmZeroClick(QObject *Sender);
    void PmResetClick(QObject *Sender);
    void PmRemoveClick(QObject *Sender);
    void PmReleaseClick(QObject *Sender);
    void PmRelAllClick(QObject *Sender);

    // ---- Device menus ----
    void PmMenuPopup(QObject *Sender);
    void AddDeviceMenu(const char *serial, const char *name, bool connected);
    int FindDeviceMenu(const char *serial);
    void DeviceMenuClick(QObject *Sender);
    // Opens PmMenu for a point of the list's viewport, as a right click there
    // does (the popup's hit test uses that point).
    void PopupMenuAt(const QPoint &viewportPos);

    // ---- Row access ----
    // The row's motor name (its caption, as the bytes of the record's name).
    static std::string RowName(const QTreeWidgetItem *row);
    // The row's data: its board's serial number (an FSerials entry).
    static const char *RowSerial(const QTreeWidgetItem *row);
    static int ImageIndex(const QTreeWidgetItem *row);
    void SetImageIndex(QTreeWidgetItem *row, int index);
    // Sub-item k is column k + 2 of the list (column k + 1 of the tree).
    static QString SubItem(const QTreeWidgetItem *row, int k);

    int InsertIndex() const { return FInsertIndex; }
    bool Closed() const { return FClosed; }

    // Destroys the window. While none of its handlers runs it is deleted at
    // once. Inside a handler (a box or dialog of the window open, a signal of
    // one of its widgets still being emitted) deleting it would free the
    // widgets under Qt's own frames: the window is hidden instead, its refresh
    // stops, its open boxes, dialogs and menus are ended, no handler runs any
    // more, and it is deleted when the outermost handler has returned.
    void CloseForGood();
    // True once CloseForGood left the window waiting for its deletion.
    bool Retired() const { return FRetired; }
    // _CloseSetupWin on a thread other than the window's: the refresh of every
    // window that exists stops at once (a refresh in progress is waited for,
    // except on the tick thread; none starts afterwards), and the window is
    // closed for good on its own thread when that thread next handles events.
    static void CloseFromOtherThread();
    // True once CloseFromOtherThread stopped the window (on any thread).
    bool Stopped() const;
    const std::deque<std::string> &Serials() const { return FSerials; }

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Runs a handler as the window's event dispatch does: an error that escapes
    // it is reported in a box with the error's text; the window stays usable.
    template <class F> void Dispatch(F &&handler);
    // A box owned by the window; false when the window was destroyed or closed
    // for good while the box was open (the caller must return at once).
    bool Report(const std::string &text, const std::string &title, MsgIcon icon = MsgIcon::Error);
    std::vector<QTreeWidgetItem *> SelectedRows() const;
    bool LookupSelected(QTreeWidgetItem **row, unsigned *dev, unsigned *mot);
    template <class Act> bool ForEachSelectedMotor(const std::string &unpluggedPhrase, Act &&act);
    void SetCell(QTreeWidgetItem *row, int k, const QString &text);
    void SetRowName(QTreeWidgetItem *row, const std::string &name);
    void BuildForm();
    void BuildMenu();
    // Each column of the list at least as wide as its title and the longest
    // text it shows.
    void FitColumns();

    std::deque<std::string> FSerials;   // one entry per inserted row; entries never move
    int FInsertIndex = -1;
    bool FClosed = false;

    QPoint FPopupPoint;            // screen point the popup was invoked at
    bool FPopupPointSet = false;   // false: the cursor position is used
    bool FChecking = false;        // EbDestinationChange is shortening the text
    bool FFirstShow = true;
    int FHandlerDepth = 0;   // handlers of the window now running (Dispatch)
    bool FRetired = false;   // closed for good, deleted when FHandlerDepth is 0
    // The count of shut-downs from other threads when the window was created.
    unsigned FCloseCount = 0;
    // Runs `call` (device-list calls of the refresh that may open boards) under
    // WindowLock unless the window was stopped; false when it was.
    bool StillRefreshing(const std::function<void()> &call);
};

// The one control window, NULL while there is none.
extern "C" KX_EXPORT TDlgTavel *_DlgTavel;

// Shut-down of the library, the work of the exported _Exit: _CloseSetupWin,
// then _CloseAllDevices. Code inside the library calls this, never the _Exit
// symbol (which may bind to the C library's _Exit).
void ExitLibrary();

// Number texts of the control window.
namespace tavel {
// The "%g" scan into a single-precision number, always with a decimal point:
// the scanf count (1, 0 for no number, -1 for an empty or blank text). *value
// is written only when a number was read.
int ScanFloat(const QString &text, float *value);
// The whole text as a double, with the user's decimal separator
// (DecimalSeparator): blanks, optional sign, digits with at most one
// separator, optional exponent, blanks, nothing else. False when the text is
// not such a number or its value lies outside the double range.
bool TextToFloat(const QString &text, double *value);
// The general number format: up to 15 significant digits, no trailing zeros,
// fixed notation from 0.00001 up to 15 integer digits, else "1.5E-7" form;
// the user's decimal separator.
QString FloatToStr(double value);
// The decimal separator of the user's locale settings: that of the program's
// default QLocale (the system locale unless the program set another).
QString DecimalSeparator();
}   // namespace tavel

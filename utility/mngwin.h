// mngwin.h - the main window of ordomat, TDlgUtil: the list of motorised
// tables from the table settings file, reloaded every second, with the menus
// that open tables through the table library (gridmod) and the driver's
// control window through kinetrax.
//
// Component and handler names are the window's own (LvTables, RTimer,
// mmAddTableClick, ...); every component's objectName is its name. The
// handlers are public so that tests can drive them directly.
#pragma once

#include <optional>

#include <QMainWindow>
#include <QPoint>
#include <QString>

#if defined(__GNUC__)
#define UTIL_EXPORT __attribute__((visibility("default")))
#else
#define UTIL_EXPORT
#endif

class QAction;
class QMenu;
class QMenuBar;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

class TDlgUtil : public QMainWindow {
    Q_OBJECT
public:
    // Builds the window (hidden), starts RTimer and runs FormCreate.
    explicit TDlgUtil(QWidget *parent = nullptr);
    ~TDlgUtil() override;

    // Components.
    QTreeWidget *LvTables;
    QMenuBar *MainMenu1;
    QMenu *mmTable;
    QAction *mmAddTable;
    QAction *mmExit;
    QMenu *mmManager;
    QAction *mmMngOpen;
    QAction *mmMngClose;
    QMenu *pmTable;
    QAction *pmNew;
    QAction *pmOpen;
    QAction *pmRename;
    QAction *pmRemove;
    QTimer *RTimer;
    // A click on the row that is already selected renames it in place when
    // no second click follows within the double-click interval; a double
    // click or another press cancels it.
    QTimer *RenameTimer;

    // The table number that row `row` carries; nullopt when its section name
    // gives none, or when there is no such row.
    std::optional<int> RowTableNumber(int row) const;

    // Handlers.
    void FormCreate();
    void FormClose();
    void mmAddTableClick();
    void mmMngOpenClick();
    void mmMngCloseClick();
    void pmTablePopup(const QPoint &screenPos);
    void pmOpenClick();
    void LvTablesDblClick();
    void LvTablesEdited(QTreeWidgetItem *item, const QString &text);
    void pmRemoveClick();
    void RTimerTimer();
    void RenameTimerTimer();
    void LoadTableList();

signals:
    // The window was closed; the program ends.
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QTreeWidgetItem *Selected() const;

    bool firstShow_ = true;                  // the first show centres the window, frame included
    QTreeWidgetItem *renameRow_ = nullptr;   // the row RenameTimer will edit
    bool pressOnSelected_ = false;           // the last left press hit the selected row
};

// The program's one TDlgUtil; NULL while it does not exist.
extern "C" UTIL_EXPORT TDlgUtil *_DlgUtil;

// mngwin.cpp - the main window of ordomat (see mngwin.h).
#include "mngwin.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScreen>
#include <QShowEvent>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeWidget>

#include "gridmod.h"
#include "kinetrax.h"
#include "tablelist.h"

TDlgUtil *_DlgUtil = nullptr;

namespace {

constexpr int kNumberRole = Qt::UserRole;

// Reports an accepted in-place edit of a row's text before the row takes it;
// a cancelled edit never reaches setModelData.
class RowEditDelegate : public QStyledItemDelegate {
public:
    RowEditDelegate(TDlgUtil *owner) : QStyledItemDelegate(owner), owner_(owner) {}
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override
    {
        auto *edit = qobject_cast<QLineEdit *>(editor);
        QTreeWidgetItem *item = owner_->LvTables->topLevelItem(index.row());
        if (edit && item)
            owner_->LvTablesEdited(item, edit->text());
        QStyledItemDelegate::setModelData(editor, model, index);
    }

private:
    TDlgUtil *owner_;
};

QAction *NamedAction(QMenu *menu, const char *name, const char *text)
{
    QAction *a = menu->addAction(QString::fromUtf8(text));
    a->setObjectName(name);
    return a;
}

}   // namespace

TDlgUtil::TDlgUtil(QWidget *parent) : QMainWindow(parent)
{
    setObjectName("DlgUtil");
    setWindowTitle("TRUV - RZDO - Table List");

    LvTables = new QTreeWidget(this);
    LvTables->setObjectName("LvTables");
    LvTables->setColumnCount(1);
    LvTables->setHeaderLabels({"Name"});
    LvTables->header()->setStretchLastSection(false);
    LvTables->setColumnWidth(0, 200);
    LvTables->setRootIsDecorated(false);
    LvTables->setItemsExpandable(false);
    LvTables->setUniformRowHeights(true);
    LvTables->setSelectionMode(QAbstractItemView::SingleSelection);
    LvTables->setSelectionBehavior(QAbstractItemView::SelectRows);
    // F2 edits the row; a click on the selected row goes through RenameTimer
    // (Qt's own click trigger would still fire after a double click).
    LvTables->setEditTriggers(QAbstractItemView::EditKeyPressed);
    LvTables->setItemDelegate(new RowEditDelegate(this));
    LvTables->setContextMenuPolicy(Qt::CustomContextMenu);
    LvTables->viewport()->installEventFilter(this);
    setCentralWidget(LvTables);

    MainMenu1 = new QMenuBar(this);
    MainMenu1->setObjectName("MainMenu1");
    setMenuBar(MainMenu1);
    mmTable = MainMenu1->addMenu("Table");
    mmTable->setObjectName("mmTable");
    mmAddTable = NamedAction(mmTable, "mmAddTable", "New...");
    mmTable->addSeparator();
    mmExit = NamedAction(mmTable, "mmExit", "Exit");
    mmManager = MainMenu1->addMenu("Manager");
    mmManager->setObjectName("mmManager");
    mmMngOpen = NamedAction(mmManager, "mmMngOpen", "Open...");
    mmMngClose = NamedAction(mmManager, "mmMngClose", "Close");

    pmTable = new QMenu(this);
    pmTable->setObjectName("pmTable");
    pmNew = NamedAction(pmTable, "pmNew", "New...");
    pmTable->addSeparator();
    pmOpen = NamedAction(pmTable, "pmOpen", "Open");
    pmRename = NamedAction(pmTable, "pmRename", "Rename");
    pmTable->addSeparator();
    pmRemove = NamedAction(pmTable, "pmRemove", "Remove");

    RTimer = new QTimer(this);
    RTimer->setObjectName("RTimer");
    RTimer->setInterval(1000);

    RenameTimer = new QTimer(this);
    RenameTimer->setObjectName("RenameTimer");
    RenameTimer->setSingleShot(true);

    connect(mmAddTable, &QAction::triggered, this, &TDlgUtil::mmAddTableClick);
    connect(pmNew, &QAction::triggered, this, &TDlgUtil::mmAddTableClick);
    connect(mmMngOpen, &QAction::triggered, this, &TDlgUtil::mmMngOpenClick);
    connect(mmMngClose, &QAction::triggered, this, &TDlgUtil::mmMngCloseClick);
    connect(pmOpen, &QAction::triggered, this, &TDlgUtil::pmOpenClick);
    connect(pmRemove, &QAction::triggered, this, &TDlgUtil::pmRemoveClick);
    connect(RTimer, &QTimer::timeout, this, &TDlgUtil::RTimerTimer);
    connect(RenameTimer, &QTimer::timeout, this, &TDlgUtil::RenameTimerTimer);
    connect(LvTables, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        QPoint screen = LvTables->viewport()->mapToGlobal(pos);
        pmTablePopup(screen);
        pmTable->popup(screen);
    });

    resize(290, 220);

    _DlgUtil = this;
    RTimer->start();
    FormCreate();
}

TDlgUtil::~TDlgUtil()
{
    if (_DlgUtil == this)
        _DlgUtil = nullptr;
}

std::optional<int> TDlgUtil::RowTableNumber(int row) const
{
    QTreeWidgetItem *item = LvTables->topLevelItem(row);
    if (!item)
        return std::nullopt;
    QVariant v = item->data(0, kNumberRole);
    if (!v.isValid())
        return std::nullopt;
    return v.toInt();
}

QTreeWidgetItem *TDlgUtil::Selected() const
{
    const auto rows = LvTables->selectedItems();
    return rows.isEmpty() ? nullptr : rows.first();
}

void TDlgUtil::FormCreate()
{
    _RefreshDevices();
    LoadTableList();
}

void TDlgUtil::FormClose() { _CloseSetupWin(); }

void TDlgUtil::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!firstShow_)
        return;
    firstShow_ = false;
    // Only a shown window knows its frame.
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TDlgUtil::closeEvent(QCloseEvent *event)
{
    FormClose();
    event->accept();
    emit closed();
}

bool TDlgUtil::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != LvTables->viewport())
        return QMainWindow::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        RenameTimer->stop();
        QTreeWidgetItem *row = LvTables->itemAt(mouse->position().toPoint());
        pressOnSelected_ = mouse->button() == Qt::LeftButton && row && row->isSelected();
        renameRow_ = pressOnSelected_ ? row : nullptr;
        break;
    }
    case QEvent::MouseButtonRelease: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        if (pressOnSelected_ && mouse->button() == Qt::LeftButton &&
            LvTables->itemAt(mouse->position().toPoint()) == renameRow_)
            RenameTimer->start(QApplication::doubleClickInterval());
        pressOnSelected_ = false;
        break;
    }
    case QEvent::MouseButtonDblClick:
        // A double click opens the table; it never starts an edit.
        RenameTimer->stop();
        pressOnSelected_ = false;
        renameRow_ = nullptr;
        LvTablesDblClick();
        return true;
    default: break;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TDlgUtil::RenameTimerTimer()
{
    QTreeWidgetItem *row = renameRow_;
    renameRow_ = nullptr;
    // The row must still be in the list and selected.
    if (row && LvTables->indexOfTopLevelItem(row) >= 0 && row->isSelected())
        LvTables->editItem(row, 0);
}

void TDlgUtil::mmAddTableClick() { _ShowTableWin(-1); }

void TDlgUtil::mmMngOpenClick() { _ShowSetupWin(); }

void TDlgUtil::mmMngCloseClick()
{
    KxExit();   // the driver's _Exit: control window, then every board
    _CloseTableWin();
}

void TDlgUtil::pmTablePopup(const QPoint &screenPos)
{
    QWidget *area = LvTables->viewport();
    QPoint p = area->mapFromGlobal(screenPos);
    if (!area->rect().contains(p))
        return;   // above, below, left or right of the list
    bool onItem = LvTables->itemAt(p) != nullptr;
    pmNew->setEnabled(!onItem);
    pmOpen->setEnabled(onItem);
    pmRename->setEnabled(onItem);
    pmRemove->setEnabled(onItem);
}

void TDlgUtil::pmOpenClick()
{
    if (QTreeWidgetItem *row = Selected())
        _ShowTableWin(LvTables->indexOfTopLevelItem(row));
}

void TDlgUtil::LvTablesDblClick()
{
    QTreeWidgetItem *row = Selected();
    if (!row)
        return;
    int position = LvTables->indexOfTopLevelItem(row);
    // A row whose section name gives no number opens by its position.
    _ShowTableWin(RowTableNumber(position).value_or(position));
}

void TDlgUtil::LvTablesEdited(QTreeWidgetItem *item, const QString &text)
{
    int position = LvTables->indexOfTopLevelItem(item);
    if (position < 0)
        return;
    QByteArray name = text.toUtf8();
    _ShowTableWin(position);
    _SaveTableSettings(position, name.constData());
}

void TDlgUtil::pmRemoveClick()
{
    QTreeWidgetItem *row = Selected();
    if (!row)
        return;
    int position = LvTables->indexOfTopLevelItem(row);
    _ShowTableWin(position);
    _RemoveTable(position);
    if (renameRow_ == row) {
        RenameTimer->stop();
        renameRow_ = nullptr;
    }
    delete LvTables->takeTopLevelItem(position);
}

void TDlgUtil::RTimerTimer() { LoadTableList(); }

void TDlgUtil::LoadTableList()
{
    const std::vector<TableSection> sections = ReadTableSections(kTableSettingsFile);
    for (size_t i = 0; i < sections.size(); ++i) {
        QTreeWidgetItem *row = LvTables->topLevelItem(int(i));
        if (!row) {
            row = new QTreeWidgetItem(LvTables);
            row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
        }
        const QString text = QString::fromUtf8(sections[i].name);
        if (row->text(0) != text)
            row->setText(0, text);
        const QVariant number = sections[i].number ? QVariant(*sections[i].number) : QVariant();
        if (row->data(0, kNumberRole) != number)
            row->setData(0, kNumberRole, number);
    }
}

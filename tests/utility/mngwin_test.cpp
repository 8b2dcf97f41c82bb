// mngwin_test.cpp - the utility's main window on the offscreen platform, with
// the recording table library and the driver on the simulated bus: the file
// cases of the list, every handler's calls and arguments, the popup's hit
// test, and the driver's shut-down from "Manager" > "Close".
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "gridmod_double.h"
#include "kinetrax.h"
#include "mngwin.h"
#include "mngwin_fixture.h"
#include "simbus.h"

namespace {

TEST_F(Util, WindowComponentsAndStart)
{
    WriteTables("[table_00]\nname=Left\n");
    Make();
    EXPECT_EQ(_DlgUtil, w);
    EXPECT_EQ(w->objectName(), "DlgUtil");
    EXPECT_EQ(w->windowTitle(), "TRUV - RZDO - Table List");
    EXPECT_EQ(w->size(), QSize(290, 220));
    EXPECT_EQ(w->centralWidget(), w->LvTables);
    EXPECT_EQ(w->LvTables->headerItem()->text(0), "Name");
    EXPECT_EQ(w->LvTables->columnCount(), 1);
    EXPECT_EQ(w->LvTables->columnWidth(0), 200);
    EXPECT_EQ(w->LvTables->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_NE(w->LvTables->editTriggers() & QAbstractItemView::EditKeyPressed, 0);
    EXPECT_EQ(w->menuBar(), w->MainMenu1);

    const std::pair<QObject *, const char *> named[] = {
        {w->LvTables, "LvTables"},     {w->MainMenu1, "MainMenu1"},   {w->mmTable, "mmTable"},
        {w->mmAddTable, "mmAddTable"}, {w->mmExit, "mmExit"},         {w->mmManager, "mmManager"},
        {w->mmMngOpen, "mmMngOpen"},   {w->mmMngClose, "mmMngClose"}, {w->pmTable, "pmTable"},
        {w->pmNew, "pmNew"},           {w->pmOpen, "pmOpen"},         {w->pmRename, "pmRename"},
        {w->pmRemove, "pmRemove"},     {w->RTimer, "RTimer"}};
    for (auto [obj, name] : named) {
        EXPECT_EQ(obj->objectName(), name);
        EXPECT_EQ(w->findChild<QObject *>(name), obj) << name;
    }

    auto texts = [](QWidget *menu) {
        QStringList t;
        for (QAction *a : menu->actions())
            t << (a->isSeparator() ? "-" : a->text());
        return t;
    };
    EXPECT_EQ(texts(w->MainMenu1), QStringList({"Table", "Manager"}));
    EXPECT_EQ(texts(w->mmTable), QStringList({"New...", "-", "Exit"}));
    EXPECT_EQ(texts(w->mmManager), QStringList({"Open...", "Close"}));
    EXPECT_EQ(texts(w->pmTable), QStringList({"New...", "-", "Open", "Rename", "-", "Remove"}));
    for (QAction *a : {w->pmNew, w->pmOpen, w->pmRename, w->pmRemove})
        EXPECT_TRUE(a->isEnabled());

    // FormCreate found and opened the boards, and filled the list.
    EXPECT_EQ(simbus::OpenHandles(), 2u);
    ASSERT_EQ(w->LvTables->topLevelItemCount(), 1);
    EXPECT_EQ(Text(0), "Left");
    EXPECT_TRUE(Calls().empty());

    delete w;
    w = nullptr;
    EXPECT_EQ(_DlgUtil, nullptr);
}

// The window's first show puts it in the middle of the screen's free area,
// frame included.
TEST_F(Util, CentredOnFirstShow)
{
    Make();
    ShowWindow();
    QScreen *screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const QPoint want = screen->availableGeometry().center();
    const QPoint got = w->frameGeometry().center();
    EXPECT_LE(std::abs(got.x() - want.x()), 1) << got.x() << " " << want.x();
    EXPECT_LE(std::abs(got.y() - want.y()), 1) << got.y() << " " << want.y();
    EXPECT_TRUE(screen->availableGeometry().contains(w->frameGeometry()));
}

TEST_F(Util, TimerReloadsEverySecond)
{
    WriteTables("[table_00]\nname=Left\n");
    w = new TDlgUtil;
    EXPECT_TRUE(w->RTimer->isActive());
    EXPECT_EQ(w->RTimer->interval(), 1000);
    WriteTables("[table_00]\nname=Changed\n");
    QSignalSpy spy(w->RTimer, &QTimer::timeout);
    ASSERT_TRUE(spy.wait(3000));
    EXPECT_EQ(Text(0), "Changed");
}

TEST_F(Util, UnnamedTableOpensByPositionAndNumber)
{
    WriteTables("[table_00]\nname=Left\n[table_01]\n");
    Make();
    ASSERT_EQ(w->LvTables->topLevelItemCount(), 2);
    EXPECT_EQ(Text(0), "Left");
    EXPECT_EQ(Text(1), "Unknown");
    EXPECT_EQ(w->RowTableNumber(0), 0);
    EXPECT_EQ(w->RowTableNumber(1), 1);
    Select(1);
    w->pmOpen->trigger();
    w->LvTablesDblClick();
    EXPECT_EQ(Calls(), Calls_t({gmdouble::Show(1), gmdouble::Show(1)}));
}

TEST_F(Util, OpenPassesPositionDoubleClickPassesNumber)
{
    WriteTables("[table_00]\nname=A\n[table_05]\nname=B\n[misc]\nname=C\n");
    Make();
    ShowWindow();
    Select(1);
    w->pmOpen->trigger();
    // A real double click on the row.
    QRect r = w->LvTables->visualItemRect(w->LvTables->topLevelItem(1));
    QTest::mouseDClick(w->LvTables->viewport(), Qt::LeftButton, {}, r.center());
    EXPECT_EQ(Calls(), Calls_t({gmdouble::Show(1), gmdouble::Show(5)}));
    // A section without a number opens by its position.
    Calls().clear();
    Select(2);
    w->LvTablesDblClick();
    EXPECT_EQ(Calls(), Calls_t({gmdouble::Show(2)}));
}

TEST_F(Util, CommandsWithoutSelectionDoNothing)
{
    WriteTables("[table_00]\nname=A\n");
    Make();
    w->LvTables->clearSelection();
    w->pmOpen->trigger();
    w->LvTablesDblClick();
    w->pmRemove->trigger();
    w->pmRename->trigger();
    w->mmExit->trigger();
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(w->LvTables->topLevelItemCount(), 1);
}

TEST_F(Util, VanishedSectionKeepsItsRow)
{
    WriteTables("[table_00]\nname=A\n[table_01]\nname=B\n");
    Make();
    WriteTables("[table_00]\nname=A\n");
    w->RTimerTimer();
    ASSERT_EQ(w->LvTables->topLevelItemCount(), 2);
    EXPECT_EQ(Text(1), "B");
    EXPECT_EQ(w->RowTableNumber(1), 1);
    // A missing or empty file changes nothing either.
    WriteTables("");
    w->RTimerTimer();
    std::filesystem::remove("configs/gridmod.ini");
    w->RTimerTimer();
    ASSERT_EQ(w->LvTables->topLevelItemCount(), 2);
    EXPECT_EQ(Text(0), "A");
    EXPECT_EQ(Text(1), "B");
}

TEST_F(Util, ChangedNameShowsAndUnchangedRowIsNotRewritten)
{
    WriteTables("[table_00]\nname=A\n[table_01]\nname=B\n[table_02]\nname=C\n");
    Make();
    QSignalSpy changed(w->LvTables->model(), &QAbstractItemModel::dataChanged);
    WriteTables("[table_00]\nname=A\n[table_07]\nname=Bee\n[table_02]\nname=C\n[table_03]\n");
    w->RTimerTimer();
    ASSERT_EQ(w->LvTables->topLevelItemCount(), 4);
    EXPECT_EQ(Text(1), "Bee");
    EXPECT_EQ(w->RowTableNumber(1), 7);
    EXPECT_EQ(Text(3), "Unknown");
    // Only the renamed row (and the new one) changed; rows 0 and 2 were not touched.
    std::set<int> rows;
    for (const auto &args : changed)
        rows.insert(args.at(0).value<QModelIndex>().row());
    EXPECT_EQ(rows, std::set<int>({1, 3}));
    changed.clear();
    w->RTimerTimer();
    EXPECT_TRUE(changed.isEmpty());
}

TEST_F(Util, NewFromBothMenusPassesMinusOne)
{
    WriteTables("[table_00]\nname=A\n");
    Make();
    w->mmAddTable->trigger();
    w->pmNew->trigger();
    Select(0);
    w->mmAddTable->trigger();
    w->pmNew->trigger();
    EXPECT_EQ(Calls(), Calls_t(4, gmdouble::Show(-1)));
}

TEST_F(Util, PopupEntriesByHitTest)
{
    WriteTables("[table_00]\nname=A\n[table_01]\nname=B\n");
    Make();
    ShowWindow();
    auto state = [&] {
        return std::vector<bool>{w->pmNew->isEnabled(), w->pmOpen->isEnabled(), w->pmRename->isEnabled(),
                                 w->pmRemove->isEnabled()};
    };
    const std::vector<bool> onRow{false, true, true, true}, onNothing{true, false, false, false};

    w->pmTablePopup(RowOnScreen(1));
    EXPECT_EQ(state(), onRow);
    // Empty space below the rows.
    QWidget *vp = w->LvTables->viewport();
    QPoint below = vp->mapToGlobal(QPoint(20, vp->height() - 5));
    ASSERT_EQ(w->LvTables->itemAt(vp->mapFromGlobal(below)), nullptr);
    w->pmTablePopup(below);
    EXPECT_EQ(state(), onNothing);
    // Outside the list's client area (on the header, left of it): unchanged.
    w->pmTablePopup(vp->mapToGlobal(QPoint(20, -5)));
    EXPECT_EQ(state(), onNothing);
    w->pmTablePopup(vp->mapToGlobal(QPoint(-30, 5)));
    EXPECT_EQ(state(), onNothing);
    w->pmTablePopup(RowOnScreen(0));
    EXPECT_EQ(state(), onRow);
    w->pmTablePopup(vp->mapToGlobal(QPoint(20, vp->height() + 40)));
    EXPECT_EQ(state(), onRow);

    // The list's context-menu request runs the same hit test and opens pmTable.
    QRect r = w->LvTables->visualItemRect(w->LvTables->topLevelItem(0));
    QPoint empty(20, vp->height() - 5);
    emit w->LvTables->customContextMenuRequested(empty);
    EXPECT_EQ(state(), onNothing);
    EXPECT_TRUE(w->pmTable->isVisible());
    w->pmTable->hide();
    emit w->LvTables->customContextMenuRequested(r.center());
    EXPECT_EQ(state(), onRow);
    w->pmTable->hide();
    EXPECT_TRUE(Calls().empty());
}

TEST_F(Util, InPlaceRenamePassesPositionAndNewText)
{
    WriteTables("[table_00]\nname=A\n[table_03]\nname=B\n[table_09]\nname=C\n");
    Make();
    ShowWindow();
    // Opens the row's in-place editor; the one before it is gone by then.
    auto edit = [&](int row) -> QLineEdit * {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QTreeWidgetItem *item = w->LvTables->topLevelItem(row);
        w->LvTables->setCurrentItem(item);
        w->LvTables->editItem(item, 0);
        auto editors = w->LvTables->viewport()->findChildren<QLineEdit *>();
        return editors.size() == 1 ? editors.first() : nullptr;
    };
    // A cancelled edit calls nothing.
    QLineEdit *e = edit(2);
    ASSERT_NE(e, nullptr);
    e->setText("Never");
    QTest::keyClick(e, Qt::Key_Escape);
    QApplication::processEvents();
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(Text(2), "C");

    e = edit(2);
    ASSERT_NE(e, nullptr);
    e->clear();
    QTest::keyClick(e, Qt::Key_Return);
    QApplication::processEvents();
    EXPECT_EQ(Calls(), Calls_t({gmdouble::Show(2), gmdouble::Save(2, "")}));
    EXPECT_EQ(Text(2), "");

    Calls().clear();
    e = edit(1);
    ASSERT_NE(e, nullptr);
    e->setText("Grün");
    QTest::keyClick(e, Qt::Key_Enter);
    QApplication::processEvents();
    EXPECT_EQ(Calls(), Calls_t({gmdouble::Show(1), gmdouble::Save(1, "Gr\xC3\xBCn")}));
}

TEST_F(Util, RemovePassesPositionAndDeletesTheRow)
{
    WriteTables("[table_00]\nname=A\n[table_04]\nname=B\n[table_08]\nname=C\n");
    Make();
    Select(1);
    w->pmRemove->trigger();
    EXPECT_EQ(Calls(), Calls_t({gmdouble::Show(1), gmdouble::Remove(1)}));
    ASSERT_EQ(w->LvTables->topLevelItemCount(), 2);
    EXPECT_EQ(Text(0), "A");
    EXPECT_EQ(Text(1), "C");
    EXPECT_EQ(w->RowTableNumber(1), 8);
}

TEST_F(Util, ManagerOpenShowsTheControlWindow)
{
    Make();
    w->mmMngOpen->trigger();
    EXPECT_NE(_DlgTavel, nullptr);
    EXPECT_TRUE(_IsSetupWinVisible());
    EXPECT_TRUE(Calls().empty());
}

TEST_F(Util, ManagerCloseShutsTheDriverDownThenClosesTheTableWindow)
{
    Make();
    w->mmMngOpen->trigger();
    ASSERT_NE(_DlgTavel, nullptr);
    ASSERT_EQ(simbus::OpenHandles(), 2u);
    std::filesystem::remove("configs/SIM0001.hws");
    std::filesystem::remove("configs/SIM0002.hws");
    // What the driver looks like when the table window is closed.
    bool windowGone = false;
    unsigned handles = 99;
    gmdouble::SetHook([&](const gmdouble::Call &) {
        windowGone = _DlgTavel == nullptr;
        handles = simbus::OpenHandles();
    });
    w->mmMngClose->trigger();
    EXPECT_EQ(Calls(), Calls_t({gmdouble::CloseWin()}));
    EXPECT_TRUE(windowGone);
    EXPECT_EQ(handles, 0u);
    // The library's shut-down, not the C library's: the boards were saved and
    // the device list emptied; a refresh finds them again.
    EXPECT_TRUE(std::filesystem::exists("configs/SIM0001.hws"));
    EXPECT_TRUE(std::filesystem::exists("configs/SIM0002.hws"));
    EXPECT_EQ(_SM_GetCountInAll(), 0u);
    EXPECT_EQ(_GetDevicesCount(), 2u);
    EXPECT_TRUE(w->isEnabled());
}

TEST_F(Util, ClosingTheWindowClosesOnlyTheControlWindow)
{
    Make();
    ShowWindow();
    w->mmMngOpen->trigger();
    ASSERT_NE(_DlgTavel, nullptr);
    QSignalSpy closed(w, &TDlgUtil::closed);
    EXPECT_TRUE(w->close());
    EXPECT_EQ(_DlgTavel, nullptr);
    EXPECT_EQ(closed.count(), 1);
    EXPECT_EQ(simbus::OpenHandles(), 2u);
    EXPECT_TRUE(Calls().empty());
}

}   // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// mngwin_input_test.cpp - the utility's window against what a user does and
// what may lie in the table file's place: a double click on the selected row
// opens the table and arms no rename, a click on the selected row still
// renames it, and a table file that is no regular file or is very large
// neither hangs nor floods the window.
#include <gtest/gtest.h>

#include <string>

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QTest>

#include <sys/stat.h>

#include "mngwin_fixture.h"
#include "tablelist.h"

namespace {

class UtilInput : public Util {
protected:
    // The centre of a row, in the window's own coordinates: the mouse goes
    // through the platform window, so a double click arrives as a real one
    // does (press, release, press, double click, release).
    QPoint RowInWindow(int row)
    {
        QRect r = w->LvTables->visualItemRect(w->LvTables->topLevelItem(row));
        return w->LvTables->viewport()->mapTo(w, r.center());
    }
    QLineEdit *Editor()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        auto editors = w->LvTables->viewport()->findChildren<QLineEdit *>();
        return editors.size() == 1 && editors.first()->isVisible() ? editors.first() : nullptr;
    }
};

TEST_F(UtilInput, DoubleClickOnTheSelectedRowOpensTheTableOnly)
{
    WriteTables("[table_00]\nname=A\n[table_05]\nname=B\n");
    Make();
    ShowWindow();
    Select(1);
    QTest::mouseDClick(w->windowHandle(), Qt::LeftButton, {}, RowInWindow(1));
    EXPECT_EQ(Calls(), Calls_t({gmdouble::Show(5)}));
    EXPECT_FALSE(w->RenameTimer->isActive());
    // Past the double-click interval no editor has opened, and a click on
    // another row saves nothing.
    QTest::qWait(QApplication::doubleClickInterval() + 100);
    EXPECT_EQ(Editor(), nullptr);
    QTest::mouseClick(w->windowHandle(), Qt::LeftButton, {}, RowInWindow(0));
    QApplication::processEvents();
    EXPECT_EQ(Calls(), Calls_t({gmdouble::Show(5)}));
    EXPECT_EQ(Text(1), "B");
}

TEST_F(UtilInput, ClickOnTheSelectedRowRenamesItAfterTheDoubleClickInterval)
{
    WriteTables("[table_00]\nname=A\n[table_05]\nname=B\n");
    Make();
    ShowWindow();
    // A click that selects a row arms nothing; a right click neither.
    QTest::mouseClick(w->windowHandle(), Qt::LeftButton, {}, RowInWindow(1));
    EXPECT_FALSE(w->RenameTimer->isActive());
    QTest::mousePress(w->windowHandle(), Qt::RightButton, {}, RowInWindow(1));
    QTest::mouseRelease(w->windowHandle(), Qt::RightButton, {}, RowInWindow(1));
    EXPECT_FALSE(w->RenameTimer->isActive());
    w->pmTable->hide();

    // A click on the selected row waits for a second click.
    QTest::mouseClick(w->windowHandle(), Qt::LeftButton, {}, RowInWindow(1));
    ASSERT_TRUE(w->RenameTimer->isActive());
    EXPECT_EQ(w->RenameTimer->interval(), QApplication::doubleClickInterval());
    EXPECT_EQ(Editor(), nullptr);
    w->RenameTimer->stop();
    w->RenameTimerTimer();   // the interval has passed
    QLineEdit *e = Editor();
    ASSERT_NE(e, nullptr);
    e->setText("Renamed");
    QTest::keyClick(e, Qt::Key_Return);
    QApplication::processEvents();
    EXPECT_EQ(Calls(), Calls_t({gmdouble::Show(1), gmdouble::Save(1, "Renamed")}));

    // A row removed while the rename waits is not edited.
    Calls().clear();
    QTest::mouseClick(w->windowHandle(), Qt::LeftButton, {}, RowInWindow(1));
    ASSERT_TRUE(w->RenameTimer->isActive());
    w->pmRemove->trigger();
    EXPECT_FALSE(w->RenameTimer->isActive());
    w->RenameTimerTimer();
    EXPECT_EQ(Editor(), nullptr);
    EXPECT_EQ(Calls(), Calls_t({gmdouble::Show(1), gmdouble::Remove(1)}));
}

TEST_F(UtilInput, TableFileThatIsNoRegularFileLeavesTheListEmpty)
{
    // configs/gridmod.ini as a FIFO without a writer (a blocking open would
    // never return), then as a directory.
    ASSERT_EQ(mkfifo("configs/gridmod.ini", 0600), 0);
    Make();
    w->LoadTableList();
    EXPECT_EQ(w->LvTables->topLevelItemCount(), 0);
    delete w;
    w = nullptr;
    ASSERT_EQ(::unlink("configs/gridmod.ini"), 0);
    ASSERT_EQ(::mkdir("configs/gridmod.ini", 0700), 0);
    Make();
    w->LoadTableList();
    EXPECT_EQ(w->LvTables->topLevelItemCount(), 0);
}

TEST_F(UtilInput, VeryLargeTableFileListsTheFirstThousandSections)
{
    std::string big;
    big.reserve(16u << 20);
    for (int i = 0; big.size() < (16u << 20); ++i)
        big += "[s" + std::to_string(i) + "]\n";
    WriteTables(big);
    Make();
    EXPECT_EQ(w->LvTables->topLevelItemCount(), int(kTableSectionLimit));
    w->LoadTableList();
    EXPECT_EQ(w->LvTables->topLevelItemCount(), int(kTableSectionLimit));
    EXPECT_EQ(Text(0), "Unknown");
}

}   // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

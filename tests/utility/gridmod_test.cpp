// gridmod_test.cpp - the table library stand-in: its writes of the table
// settings file keep everything else in the file and read back through the
// utility's reader; its window shows the table asked for.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include "gridmod.h"
#include "tablelist.h"

namespace {

class Gridmod : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        old = QDir::currentPath();
        QDir::setCurrent(dir.path());
    }
    void TearDown() override
    {
        _CloseTableWin();
        QDir::setCurrent(old);
    }
    static void Write(const std::string &text)
    {
        std::filesystem::create_directories("configs");
        std::ofstream out("configs/gridmod.ini", std::ios::binary | std::ios::trunc);
        out << text;
    }
    static std::string File()
    {
        std::ifstream in("configs/gridmod.ini", std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static QWidget *Window()
    {
        for (QWidget *top : QApplication::topLevelWidgets())
            if (top->objectName() == "TableWin")
                return top;
        return nullptr;
    }
    QTemporaryDir dir;
    QString old;
};

TEST_F(Gridmod, SaveChangesOnlyTheNameLine)
{
    const std::string head = "; tables\r\n[Other]\r\nname=Keep me\r\nkey=1\r\n";
    Write(head + "[TABLE_01]\r\n  Name = Old\r\ncolor=red\r\n[table_02]\r\nname=Two\r\n");
    _SaveTableSettings(1, "New");
    EXPECT_EQ(File(), head + "[TABLE_01]\r\n  Name =New\r\ncolor=red\r\n[table_02]\r\nname=Two\r\n");
}

TEST_F(Gridmod, SaveAddsTheKeyOrTheSection)
{
    Write("[table_00]\ncolor=red\n[table_01]\nname=One");   // no line end at the end
    _SaveTableSettings(0, "Zero");
    _SaveTableSettings(12, "Twelve");
    EXPECT_EQ(File(), "[table_00]\nname=Zero\ncolor=red\n[table_01]\nname=One\n[table_12]\nname=Twelve\n");
}

TEST_F(Gridmod, SaveCreatesTheFileAndItsDirectory)
{
    _SaveTableSettings(3, "Three");
    EXPECT_EQ(File(), "[table_03]\nname=Three\n");
    // The temporary file is gone.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("configs"), {}), 1);
}

TEST_F(Gridmod, SavedNamesReadBackUnchanged)
{
    Write("[table_00]\nname=x\n");
    const std::pair<int, std::string> names[] = {
        {0, ""}, {1, "  blanks  "}, {2, "\"quoted\""}, {3, "semi ; colon: done"}, {4, "Grün"}};
    for (const auto &[t, n] : names)
        _SaveTableSettings(t, n.c_str());
    _SaveTableSettings(5, "line\nbreak\r[table_40]");
    _SaveTableSettings(6, nullptr);
    auto sections = ReadTableSections("configs/gridmod.ini");
    ASSERT_EQ(sections.size(), 7u);
    for (const auto &[t, n] : names) {
        EXPECT_EQ(sections[size_t(t)].name, n);
        EXPECT_EQ(sections[size_t(t)].number, t);
    }
    EXPECT_EQ(sections[5].name, "line break [table_40]");
    EXPECT_EQ(sections[6].name, "");
}

TEST_F(Gridmod, RemoveKeepsTheRest)
{
    Write("; head\n[table_00]\nname=A\n[table_01]\nname=B\n; about C\n[Table_01]\nx=1\n[table_02]\nname=C\n");
    _RemoveTable(1);
    EXPECT_EQ(File(), "; head\n[table_00]\nname=A\n[table_02]\nname=C\n");
    _RemoveTable(7);   // no such table: the file stays
    EXPECT_EQ(File(), "; head\n[table_00]\nname=A\n[table_02]\nname=C\n");
}

TEST_F(Gridmod, TablesOutsideTheRangeAreRefused)
{
    Write("[table_00]\nname=A\n");
    _SaveTableSettings(-1, "x");
    _SaveTableSettings(100, "x");
    _RemoveTable(-1);
    _RemoveTable(1000);
    EXPECT_EQ(File(), "[table_00]\nname=A\n");
}

TEST_F(Gridmod, WritesReplaceTheFileAndKeepItsMode)
{
    Write("[table_00]\nname=A\n");
    chmod("configs/gridmod.ini", 0640);
    struct stat before {
    }, after{};
    ASSERT_EQ(stat("configs/gridmod.ini", &before), 0);
    _SaveTableSettings(0, "B");
    ASSERT_EQ(stat("configs/gridmod.ini", &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
}

TEST_F(Gridmod, WindowShowsTheTableAndSavesANewOne)
{
    Write("[table_00]\nname=Left\n[table_02]\nname=Right\n");
    _ShowTableWin(2);
    QWidget *win = Window();
    ASSERT_NE(win, nullptr);
    EXPECT_TRUE(win->isVisible());
    auto *name = win->findChild<QLineEdit *>("EbName");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->text(), "Right");
    // A save while the window shows the table updates the window.
    _SaveTableSettings(2, "Renamed");
    EXPECT_EQ(name->text(), "Renamed");

    // A new table gets the lowest free number.
    _ShowTableWin(-1);
    EXPECT_EQ(Window(), win);
    EXPECT_EQ(win->findChild<QLabel *>("LTable")->text(), "New table");
    EXPECT_EQ(name->text(), "");
    name->setText("Middle");
    QTest::mouseClick(win->findChild<QPushButton *>("BttnSave"), Qt::LeftButton);
    EXPECT_EQ(File(), "[table_00]\nname=Left\n[table_02]\nname=Renamed\n[table_01]\nname=Middle\n");
    EXPECT_EQ(win->findChild<QLabel *>("LTable")->text(), "table_01");

    // Removing the table shown closes the window.
    _RemoveTable(1);
    EXPECT_EQ(Window(), nullptr);
    _ShowTableWin(0);
    ASSERT_NE(Window(), nullptr);
    _CloseTableWin();
    EXPECT_EQ(Window(), nullptr);
    _CloseTableWin();
}

}   // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// tablelist_test.cpp - reading the table settings file: sections in file
// order, names, table numbers, the Windows profile conventions, and untrusted
// content.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "tablelist.h"

namespace {

struct Row {
    std::string name;
    int number;   // -100: none
    bool operator==(const Row &) const = default;
};
void PrintTo(const Row &r, std::ostream *os) { *os << "{\"" << r.name << "\", " << r.number << "}"; }

std::vector<Row> Read(const std::string &text)
{
    char dir[] = "/tmp/tablelist-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/gridmod.ini";
    {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
    std::vector<Row> rows;
    for (const auto &s : ReadTableSections(path))
        rows.push_back({s.name, s.number.value_or(-100)});
    std::filesystem::remove_all(dir);
    return rows;
}

struct Case {
    const char *what;
    std::string text;
    std::vector<Row> rows;
};

TEST(TableList, SectionsNamesAndNumbers)
{
    const std::string longName(150, 'n');
    const Case cases[] = {
        {"named and unnamed", "[table_00]\nname=Left\n[table_01]\n", {{"Left", 0}, {"Unknown", 1}}},
        {"file order, gaps", "[table_05]\nname=B\n[table_00]\nname=A\n", {{"B", 5}, {"A", 0}}},
        {"number rule",
         "[table_07]\n[table_123]\n[table_9x]\n[table_]\n[table_x1]\n[tables]\n[other]\n",
         {{"Unknown", 7},
          {"Unknown", 12},
          {"Unknown", 9},
          {"Unknown", -100},
          {"Unknown", -100},
          {"Unknown", -100},
          {"Unknown", -100}}},
        {"no sign, no huge numbers",
         "[table_-1]\n[table_99999999999999999999]\n",
         {{"Unknown", -100}, {"Unknown", 99}}},
        {"case of sections and keys", "[TABLE_03]\nNAME=Upper\n[Table_04]\nName=Mixed\n", {{"Upper", 3}, {"Mixed", 4}}},
        {"blanks trimmed", "  [ table_02 ]  \n   name   =   Spaced out  \n", {{"Spaced out", 2}}},
        {"comment lines", "; [table_09]\n[table_01]\n; name=Hidden\nname=Shown\n", {{"Shown", 1}}},
        {"';' inside a value is text", "[table_01]\nname=Left ; right\n", {{"Left ; right", 1}}},
        {"':' does not split a key", "[table_01]\nname: Colon\nname=Equals\n", {{"Equals", 1}}},
        {"indented line is a key, not a continuation", "[table_01]\nother=x\n  name=Indented\n", {{"Indented", 1}}},
        {"quotes around the value dropped", "[table_01]\nname=\" Quoted \"\n", {{" Quoted ", 1}}},
        {"first name wins, repeated section is one table",
         "[table_00]\nname=First\nname=Second\n[table_01]\n[TABLE_00]\nname=Third\n",
         {{"First", 0}, {"Unknown", 1}}},
        {"name from a repeated section",
         "[table_00]\n[table_01]\n[table_00]\nname=Later\n",
         {{"Later", 0}, {"Unknown", 1}}},
        {"CRLF and byte order mark", "\xEF\xBB\xBF[table_00]\r\nname=Crlf\r\n", {{"Crlf", 0}}},
        {"keys before any section, empty section", "name=Loose\n[]\nname=Empty\n[table_00]\n", {{"Unknown", 0}}},
        {"empty name", "[table_00]\nname=\n", {{"", 0}}},
        {"broken header", "[table_00]\n[table_01\nname=Kept\n", {{"Kept", 0}}},
        {"NUL and control bytes dropped", std::string("[table_00]\nname=A") + '\0' + "B\x01\x1f\n", {{"AB", 0}}},
        {"a name that fits the line", "[table_00]\nname=" + longName + "\n", {{longName, 0}}},
        {"overlong line is cut, its rest is no section",
         "[table_00]\nname=" + std::string(194, 'a') + "[table_50]\nname=Tail\n" + std::string(100000, 'z') +
             "\n[table_01]\n",
         {{std::string(193, 'a'), 0}, {"Unknown", 1}}},
        {"empty file", "", {}},
        {"no sections", "; nothing\nname=x\n", {}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Read(c.text), c.rows) << c.what;
}

TEST(TableList, MissingFileOrDirectoryGivesNoSections)
{
    EXPECT_TRUE(ReadTableSections("/nonexistent/configs/gridmod.ini").empty());
    EXPECT_TRUE(ReadTableSections("/tmp").empty());
}

TEST(TableList, OverlongNameIsCutAtACharacterBoundary)
{
    std::string name;
    for (int i = 0; i < 150; ++i)
        name += "\xC3\xA9";   // "é" x 150 = 300 bytes
    auto rows = Read("[table_00]\nname=" + name + "\n");
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_FALSE(rows[0].name.empty());
    EXPECT_EQ(rows[0].name.size() % 2, 0u);
    EXPECT_EQ(name.compare(0, rows[0].name.size(), rows[0].name), 0);
}

}   // namespace

// tablelist_files_test.cpp - what the table list reads from the file system:
// regular files only, opened without blocking (a FIFO, a device or a
// directory in the file's place gives no sections at once), and the bounds of
// one reload (the file's first 1 MiB, its first 1000 sections).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "tablelist.h"

namespace {

namespace fs = std::filesystem;

class TableFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/tablefiles-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string Path(const char *name) const { return (dir / name).string(); }
    void Write(const std::string &path, const std::string &text)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    // ReadTableSections on another thread; fails instead of hanging the test.
    std::vector<TableSection> ReadWithin10s(const std::string &path)
    {
        auto result = std::make_shared<std::promise<std::vector<TableSection>>>();
        auto done = result->get_future();
        std::thread([result, path] { result->set_value(ReadTableSections(path)); }).detach();
        if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << path << ": the read blocked";
            return {};
        }
        return done.get();
    }

    fs::path dir;
};

TEST_F(TableFiles, OnlyRegularFilesAreReadAndNothingBlocks)
{
    const std::string tables = "[table_00]\nname=Left\n";
    Write(Path("regular.ini"), tables);
    ASSERT_EQ(mkfifo(Path("fifo.ini").c_str(), 0600), 0);
    fs::create_directory(Path("dir.ini"));
    fs::create_symlink(Path("regular.ini"), Path("link-to-regular.ini"));
    fs::create_symlink(Path("fifo.ini"), Path("link-to-fifo.ini"));

    struct Case {
        std::string path;
        size_t sections;
    };
    const Case cases[] = {
        {Path("regular.ini"), 1},
        {Path("link-to-regular.ini"), 1},
        {Path("fifo.ini"), 0},   // no writer: a blocking open would wait for one
        {Path("link-to-fifo.ini"), 0},
        {Path("dir.ini"), 0},
        {"/dev/zero", 0},   // a device that never ends
        {"/dev/null", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ReadWithin10s(c.path).size(), c.sections) << c.path;
}

TEST_F(TableFiles, AReloadReadsTheFirstMebibyteAndTheFirstThousandSections)
{
    // 16 MiB of tiny sections: only the first 1000 are listed.
    std::string big;
    big.reserve(16u << 20);
    for (int i = 0; big.size() < (16u << 20); ++i)
        big += "[s" + std::to_string(i) + "]\n";
    Write(Path("tiny-sections.ini"), big);
    auto rows = ReadTableSections(Path("tiny-sections.ini"));
    ASSERT_EQ(rows.size(), kTableSectionLimit);
    EXPECT_EQ(rows.front().section, "s0");
    EXPECT_EQ(rows.back().section, "s999");

    // The 1000th section keeps its name when the 1001st follows.
    std::string full;
    for (int i = 0; i < 1001; ++i)
        full += "[t" + std::to_string(i) + "]\nname=N" + std::to_string(i) + "\n";
    Write(Path("thousand-and-one.ini"), full);
    rows = ReadTableSections(Path("thousand-and-one.ini"));
    ASSERT_EQ(rows.size(), kTableSectionLimit);
    EXPECT_EQ(rows.back().name, "N999");

    // A section that begins beyond the first MiB is not read.
    std::string padded = "[table_00]\nname=First\n; " + std::string(kTableFileReadLimit, 'x') +
                         "\n[table_01]\nname=Late\n";
    Write(Path("padded.ini"), padded);
    rows = ReadTableSections(Path("padded.ini"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "First");
}

}   // namespace

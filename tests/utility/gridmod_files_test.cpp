// gridmod_files_test.cpp - the table library stand-in with something other
// than a regular file in the table file's place: its calls return at once and
// leave the thing as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <sys/stat.h>

#include "gridmod.h"

namespace {

TEST(GridmodFiles, FifoOrDirectoryAsTheTableFileBlocksNoCall)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString old = QDir::currentPath();
    QDir::setCurrent(dir.path());
    std::filesystem::create_directories("configs/dir");
    ASSERT_EQ(mkfifo("configs/fifo", 0600), 0);
    for (const char *kind : {"fifo", "dir"}) {
        std::filesystem::remove("configs/gridmod.ini");
        std::filesystem::create_symlink(kind, "configs/gridmod.ini");
        // The file calls of the library on another thread; a blocked one fails
        // the test instead of hanging it.
        auto done = std::make_shared<std::promise<void>>();
        auto ready = done->get_future();
        std::thread([done] {
            _SaveTableSettings(3, "Name");
            _RemoveTable(3);
            done->set_value();
        }).detach();
        ASSERT_EQ(ready.wait_for(std::chrono::seconds(10)), std::future_status::ready) << kind;
        EXPECT_TRUE(std::filesystem::is_symlink("configs/gridmod.ini")) << kind;
    }
    EXPECT_TRUE(std::filesystem::is_fifo("configs/fifo"));
    EXPECT_TRUE(std::filesystem::is_directory("configs/dir"));
    QDir::setCurrent(old);
}

}   // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

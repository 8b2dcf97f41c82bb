// plugin_version_thread_test.cpp - a host that loads the plug-in from a worker
// thread with the wrong header version, in a process with a Qt application:
// the version box is built on the GUI thread while that thread runs an event
// loop (the worker waits for it to close), and goes to stderr when it runs
// none. Nothing of it is built on the worker.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "motorstopped.h"
#include "msgbox.h"
#include "qdxplugin.h"
#include "recording_host.h"

using namespace qdxtest;

namespace {

const std::string kText =
    "Plugin \"kinetrax\" was compiled with header files ver. 18, this version is 17, please recompile the plugin.";
const std::string kTitle = "Plugin version check failed";

// _InitQdxPlugin with version 17 on a worker thread. With `loop`, the worker
// starts once the loop runs on this thread, and the loop runs until the
// worker has returned.
int32_t InitOnWorker(QEventLoop *loop)
{
    auto result = std::make_shared<std::promise<int32_t>>();
    auto done = result->get_future();
    std::thread worker;
    auto start = [&] {
        worker = std::thread([result, loop] {
            QdxHostFuncs host = MakeHost(17);
            result->set_value(_InitQdxPlugin(&host));
            if (loop != nullptr)
                QMetaObject::invokeMethod(
                    loop, [loop] { loop->quit(); }, Qt::QueuedConnection);
        });
    };
    if (loop != nullptr) {
        QTimer::singleShot(0, loop, start);
        // A worker that never returns fails the test instead of hanging it.
        QTimer::singleShot(20000, loop, [loop] { loop->exit(1); });
        EXPECT_EQ(loop->exec(), 0) << "the worker did not return";
    } else {
        start();
    }
    if (!worker.joinable() || done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "the worker did not return";
        if (worker.joinable())
            worker.detach();
        return 0;
    }
    worker.join();
    return done.get();
}

class VersionOffThread : public ::testing::Test {
protected:
    void SetUp() override { Rec().Clear(); }
    void TearDown() override { SetMessageBoxHook({}); }
};

TEST_F(VersionOffThread, BoxIsShownOnTheGuiThreadAndTheWorkerWaitsForIt)
{
    // The real box: found on the GUI thread while it is open, then closed.
    QEventLoop loop;
    QPointer<QMessageBox> seen;
    QThread *builtOn = nullptr;
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box == nullptr || seen)
            return;
        seen = box;
        builtOn = box->thread();
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        box->button(QMessageBox::Ok)->click();
    });
    poll.start(10);
    EXPECT_EQ(InitOnWorker(&loop), -1);
    EXPECT_EQ(builtOn, QApplication::instance()->thread());
    EXPECT_EQ(title.toStdString(), kTitle);
    EXPECT_EQ(text.toStdString(), kText);
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_TRUE(Rec().Calls().empty());
    EXPECT_EQ(QdxHost, nullptr);

    // The test hook stands where the box is built: on the GUI thread, and the
    // worker returns only after it.
    std::vector<std::string> boxes;
    QThread *hookOn = nullptr;
    std::atomic<bool> hookReturned{false};
    SetMessageBoxHook([&](QWidget *owner, const std::string &t, const std::string &ti, MsgIcon i) {
        EXPECT_EQ(owner, nullptr);
        EXPECT_EQ(i, MsgIcon::Warning);
        hookOn = QThread::currentThread();
        boxes.push_back(ti + ": " + t);
        hookReturned = true;
    });
    QEventLoop loop2;
    EXPECT_EQ(InitOnWorker(&loop2), -1);
    EXPECT_TRUE(hookReturned);
    EXPECT_EQ(hookOn, QApplication::instance()->thread());
    EXPECT_EQ(boxes, std::vector<std::string>({kTitle + ": " + kText}));
}

TEST_F(VersionOffThread, WithoutAnEventLoopOnTheGuiThreadTheBoxGoesToStderr)
{
    bool hooked = false;
    SetMessageBoxHook([&](QWidget *, const std::string &, const std::string &, MsgIcon) { hooked = true; });
    testing::internal::CaptureStderr();
    const int32_t result = InitOnWorker(nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(hooked);
    EXPECT_EQ(err, kTitle + ": " + kText + "\n");
    EXPECT_TRUE(Rec().Calls().empty());
    EXPECT_EQ(QdxHost, nullptr);
}

}   // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// msgbox.cpp - the library's message box and sleep: a modal Qt message box with
// an OK button, always built on the GUI thread, a stderr fallback for clients
// without a Qt application object (or whose GUI thread runs no event loop when
// the box is asked for on another thread), and a hook that lets tests record
// the boxes instead of showing them.
#include "msgbox.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QThread>
#include <QWidget>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <time.h>

namespace {

std::mutex g_hookLock;
MessageBoxHook g_hook;   // guarded by g_hookLock

}   // namespace

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook)
{
    std::lock_guard<std::mutex> lk(g_hookLock);
    MessageBoxHook prev = std::move(g_hook);
    g_hook = std::move(hook);
    return prev;
}

namespace {

// The box itself, or the test hook in its place; on the GUI thread.
void ShowBox(QWidget *owner, const std::string &text, const std::string &title, MsgIcon icon)
{
    MessageBoxHook hook;
    {
        std::lock_guard<std::mutex> lk(g_hookLock);
        hook = g_hook;   // called without the lock: a hook may show another box
    }
    if (hook) {
        hook(owner, text, title, icon);
        return;
    }
    if (qobject_cast<QApplication *>(QCoreApplication::instance()) == nullptr) {
        std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
        return;
    }
    QMessageBox::Icon qicon = QMessageBox::NoIcon;
    switch (icon) {
    case MsgIcon::Error: qicon = QMessageBox::Critical; break;
    case MsgIcon::Warning: qicon = QMessageBox::Warning; break;
    case MsgIcon::None: qicon = QMessageBox::NoIcon; break;
    }
    QMessageBox box(qicon, QString::fromLocal8Bit(title.c_str()), QString::fromLocal8Bit(text.c_str()), QMessageBox::Ok,
                    owner);
    box.exec();
}

}   // namespace

void KxMessageBox(QWidget *owner, const std::string &text, const std::string &title, MsgIcon icon)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) {
        ShowBox(owner, text, title, icon);
        return;
    }
    // Widgets live on the GUI thread only. From any other thread the box is
    // shown there, and this thread waits until it is closed; a GUI thread that
    // runs no event loop would never show it, so the text goes to stderr.
    if (qobject_cast<QApplication *>(app) != nullptr && app->thread()->loopLevel() > 0) {
        // The handshake makes the hand-over of the arguments and of the return
        // visible to thread checkers, which don't see Qt's own locks.
        std::atomic<bool> handedOver{false}, shown{false};
        handedOver.store(true, std::memory_order_release);
        QMetaObject::invokeMethod(
            app,
            [&] {
                if (handedOver.load(std::memory_order_acquire))
                    ShowBox(owner, text, title, icon);
                shown.store(true, std::memory_order_release);
            },
            Qt::BlockingQueuedConnection);
        (void)shown.load(std::memory_order_acquire);
        return;
    }
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
}

void KxSleep(unsigned ms)
{
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000u);
    ts.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

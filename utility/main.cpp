// main.cpp - ordomat, the table-list utility: starts the application
// "Motors utility" with its main window TDlgUtil and runs until the window
// closes. SIGINT and SIGTERM close the window as the user would, so the
// driver shuts down in order.
#include <csignal>
#include <exception>

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include "mngwin.h"

namespace {

// The application's standard exception display: a box with the message, then
// the message loop goes on.
void ShowException(const QString &message)
{
    QMessageBox::critical(nullptr, QCoreApplication::applicationName(), message);
}

class UtilApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception &e) {
            ShowException(QString::fromLocal8Bit(e.what()));
        } catch (...) {
            ShowException(QString());
        }
        return false;
    }
};

int signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    char c = 1;
    ssize_t n = write(signalPipe[1], &c, 1);
    (void)n;
}

// SIGINT and SIGTERM close the main window from the message loop.
void CloseOnSignals(TDlgUtil *window)
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char buf[16];
        ssize_t n = read(signalPipe[0], buf, sizeof buf);
        (void)n;
        window->close();
    });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

}   // namespace

int main(int argc, char **argv)
{
    UtilApplication app(argc, argv);
    QApplication::setApplicationName("Motors utility");
    // Closing the main window ends the program, whatever other windows are open.
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        TDlgUtil window;
        QObject::connect(&window, &TDlgUtil::closed, &app, &QCoreApplication::quit, Qt::QueuedConnection);
        CloseOnSignals(&window);
        window.show();
        app.exec();
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
    } catch (const std::exception &e) {
        ShowException(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowException(QString());
    }
    return 0;
}

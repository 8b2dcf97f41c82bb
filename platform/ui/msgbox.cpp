// msgbox.cpp - the library's message box and sleep: a modal Qt message box with
// an OK button, a stderr fallback for clients without a Qt application object,
// and a hook that lets tests record the boxes instead of showing them.
#include "msgbox.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QWidget>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <time.h>

namespace {

std::mutex g_hookLock;
MessageBoxHook g_hook; // guarded by g_hookLock

} // namespace

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
  std::lock_guard<std::mutex> lk(g_hookLock);
  MessageBoxHook prev = std::move(g_hook);
  g_hook = std::move(hook);
  return prev;
}

void KxMessageBox(QWidget *owner, const std::string &text, const std::string &title, MsgIcon icon) {
  MessageBoxHook hook;
  {
    std::lock_guard<std::mutex> lk(g_hookLock);
    hook = g_hook; // called without the lock: a hook may show another box
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
  QMessageBox box(qicon, QString::fromLocal8Bit(title.c_str()), QString::fromLocal8Bit(text.c_str()),
                  QMessageBox::Ok, owner);
  box.exec();
}

void KxSleep(unsigned ms) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(ms / 1000u);
  ts.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// dialogs_fixture.h - shared set-up of the dialog tests: simulated boards whose
// settings files go to a temporary directory, no tick thread, a recorder of
// the message boxes, and a helper that answers a modal dialog from inside its
// event loop.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "hardware.h"
#include "kinetrax.h"
#include "records.h"
#include "msgbox.h"
#include "simbus.h"

namespace kxdlg {

struct Box {
  QWidget *owner;
  std::string text;
  std::string title;
  MsgIcon icon;
};

// Every box shown while installed, instead of showing it.
class BoxRecorder {
public:
  BoxRecorder() {
    SetMessageBoxHook([this](QWidget *owner, const std::string &text, const std::string &title, MsgIcon icon) {
      boxes.push_back({owner, text, title, icon});
    });
  }
  ~BoxRecorder() { SetMessageBoxHook({}); }
  std::vector<Box> Take() {
    std::vector<Box> out;
    out.swap(boxes);
    return out;
  }
  std::vector<Box> boxes;
};

inline SMotorSettings Record(uint8_t address, uint8_t type, const char *name, float coefficient = 1.0f,
                             int32_t length = 0, int8_t accel = 20, uint16_t minStep = 5, uint16_t maxStep = 50) {
  return MakeRecord({.address = address, .type = type, .name = name, .coefficient = coefficient,
                     .length = length, .accel = accel, .minStep = minStep, .maxStep = maxStep});
}

// Boards on the simulated bus, opened, with their settings files in `dir`.
inline bool Boards(const QTemporaryDir &dir, const char *devices) {
  _CloseAllDevices();
  SetTickTimerSuppressed(true);
  const std::string path = QDir(dir.path()).absolutePath().toStdString() + "/";
  std::memset(ConfigDir, 0, sizeof ConfigDir);
  std::strncpy(ConfigDir, path.c_str(), sizeof ConfigDir - 1);
  QDir d(dir.path());
  for (const QString &f : d.entryList({QStringLiteral("*.hws")}, QDir::Files))
    d.remove(f);
  simbus::Reset(devices);
  return _RefreshDevices() > 0;
}

// Runs `call` (which opens a modal dialog) and, from inside the dialog's event
// loop, `answer` on the active modal widget. A dialog still open 10 s later
// is rejected, so a failing test cannot hang.
template <class W, class R>
R Answer(std::function<void(W *)> answer, std::function<R()> call, bool *answered = nullptr) {
  bool seen = false;
  QTimer first; // stopped at the end: a call that opens nothing leaves nothing behind
  first.setSingleShot(true);
  QObject::connect(&first, &QTimer::timeout, [&] {
    W *w = qobject_cast<W *>(QApplication::activeModalWidget());
    if (w != nullptr) {
      seen = true;
      answer(w);
    }
  });
  first.start(0);
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] {
    if (auto *d = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
      d->reject();
  });
  guard.start(10000);
  R r = call();
  first.stop();
  guard.stop();
  if (answered != nullptr)
    *answered = seen;
  return r;
}

// Where a person can look at the screenshots: the test's build folder.
inline QString ScreenshotPath(const char *file) { return QStringLiteral(KX_SCREENSHOT_DIR "/") + QString::fromLatin1(file); }

} // namespace kxdlg

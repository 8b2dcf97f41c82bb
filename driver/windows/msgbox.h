// msgbox.h - the library's one message box and its sleep, standing in for the
// platform's MessageBoxA and Sleep.
//
// KxMessageBox shows a modal box with an OK button, owned by `owner` (nullptr:
// no owner), and returns when it is closed. Without a Qt application object it
// writes "title: text" to stderr and returns. Called on a thread other than
// the application's (GUI) thread, it shows the box on the GUI thread and waits
// for it when that thread runs an event loop, and otherwise writes "title:
// text" to stderr. Tests install a hook that records the box instead of
// showing it; the hook runs where the box would be built (on the GUI thread
// when there is a Qt application object).
#pragma once

#include <functional>
#include <string>

class QWidget;

enum class MsgIcon { None, Error, Warning };

void KxMessageBox(QWidget *owner, const std::string &text, const std::string &title, MsgIcon icon = MsgIcon::Error);

using MessageBoxHook =
    std::function<void(QWidget *owner, const std::string &text, const std::string &title, MsgIcon icon)>;
// Replaces the box; an empty hook restores it. Returns the previous hook.
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);

// Sleep of the calling thread.
void KxSleep(unsigned ms);

// dialogs_fixture.h - shared set-up of the dialog tests: simulated boards whose
// settings files go to a temporary directory, no tick thread, a recorder of
// the message boxes, and a helper that answers a modal dialog from inside its
// event loop, and a check that every text of a window fits its control.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
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
    BoxRecorder()
    {
        SetMessageBoxHook([this](QWidget *owner, const std::string &text, const std::string &title, MsgIcon icon) {
            boxes.push_back({owner, text, title, icon});
        });
    }
    ~BoxRecorder() { SetMessageBoxHook({}); }
    std::vector<Box> Take()
    {
        std::vector<Box> out;
        out.swap(boxes);
        return out;
    }
    std::vector<Box> boxes;
};

inline SMotorSettings Record(uint8_t address, uint8_t type, const char *name, float coefficient = 1.0f,
                             int32_t length = 0, int8_t accel = 20, uint16_t minStep = 5, uint16_t maxStep = 50)
{
    return MakeRecord({.address = address,
                       .type = type,
                       .name = name,
                       .coefficient = coefficient,
                       .length = length,
                       .accel = accel,
                       .minStep = minStep,
                       .maxStep = maxStep});
}

// Boards on the simulated bus, opened, with their settings files in `dir`.
inline bool Boards(const QTemporaryDir &dir, const char *devices)
{
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
template <class W, class R> R Answer(std::function<void(W *)> answer, std::function<R()> call, bool *answered = nullptr)
{
    bool seen = false;
    QTimer first;   // stopped at the end: a call that opens nothing leaves nothing behind
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

// True when the edit shows its whole text: with the cursor at the end it is
// as far from the start as in a wide edit of the same font (a text wider
// than the edit scrolls).
inline bool ShowsWholeText(QLineEdit *e)
{
    auto span = [](QLineEdit *x) {
        x->setCursorPosition(0);
        (void)x->grab();   // painting sets the scroll that keeps the cursor visible
        const int x0 = x->inputMethodQuery(Qt::ImCursorRectangle).toRect().left();
        x->end(false);
        (void)x->grab();
        return x->inputMethodQuery(Qt::ImCursorRectangle).toRect().left() - x0;
    };
    const int saved = e->cursorPosition();
    QLineEdit wide;
    wide.setFont(e->font());
    wide.setText(e->text());
    wide.resize(4000, e->height());
    const bool whole = span(e) == span(&wide);
    e->setCursorPosition(saved);
    return whole;
}

// Every text of the window against its control at the window's font: labels,
// buttons, check boxes, edits and combo boxes (each item) show their texts
// whole; no two of these controls overlap, and none reaches outside its
// parent. The problems found, one line each.
inline QStringList TextProblems(QWidget *window)
{
    QStringList out;
    auto name = [](const QWidget *w) {
        return QStringLiteral("%1 (%2)").arg(w->objectName(), QString::fromLatin1(w->metaObject()->className()));
    };
    std::vector<QWidget *> texts;
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (!w->isVisibleTo(window))
            continue;
        const QFontMetrics fm = w->fontMetrics();
        if (auto *l = qobject_cast<QLabel *>(w)) {
            if (fm.horizontalAdvance(l->text()) > l->contentsRect().width() || fm.height() > l->contentsRect().height())
                out << name(w) + QStringLiteral(" clips \"%1\"").arg(l->text());
        } else if (auto *b = qobject_cast<QPushButton *>(w)) {
            QStyleOptionButton opt;
            opt.initFrom(b);
            opt.text = b->text();
            if (b->autoDefault())
                opt.features |= QStyleOptionButton::AutoDefaultButton;
            const QRect r = b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b);
            if (fm.horizontalAdvance(b->text()) > r.width())
                out << name(w) + QStringLiteral(" clips \"%1\"").arg(b->text());
        } else if (auto *c = qobject_cast<QCheckBox *>(w)) {
            if (c->sizeHint().width() > c->width())
                out << name(w) + QStringLiteral(" clips \"%1\"").arg(c->text());
        } else if (auto *e = qobject_cast<QLineEdit *>(w)) {
            if (!ShowsWholeText(e))
                out << name(w) + QStringLiteral(" scrolls \"%1\"").arg(e->text());
        } else if (auto *cb = qobject_cast<QComboBox *>(w)) {
            QStyleOptionComboBox opt;
            opt.initFrom(cb);
            opt.editable = cb->isEditable();
            opt.frame = cb->hasFrame();
            const QRect field = cb->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField,
                                                            cb);
            for (int i = 0; i < cb->count(); ++i)
                if (fm.horizontalAdvance(cb->itemText(i)) > field.width() - 2)   // the text is drawn 1 px inside
                    out << name(w) + QStringLiteral(" clips \"%1\"").arg(cb->itemText(i));
        } else {
            continue;
        }
        texts.push_back(w);
        if (w->parentWidget() != nullptr && !w->parentWidget()->rect().contains(w->geometry()))
            out << name(w) + QStringLiteral(" reaches outside ") + name(w->parentWidget());
    }
    auto onWindow = [window](const QWidget *w) { return QRect(w->mapTo(window, QPoint(0, 0)), w->size()); };
    for (size_t i = 0; i < texts.size(); ++i)
        for (size_t j = i + 1; j < texts.size(); ++j)
            if (onWindow(texts[i]).intersects(onWindow(texts[j])))
                out << name(texts[i]) + QStringLiteral(" overlaps ") + name(texts[j]);
    return out;
}

// Where a person can look at the screenshots: the test's build folder.
inline QString ScreenshotPath(const char *file)
{
    return QStringLiteral(KX_SCREENSHOT_DIR "/") + QString::fromLatin1(file);
}

}   // namespace kxdlg

// hwrename_test.cpp - the rename dialog's form and results, and the message
// box: the real modal box (text, title, icon, owner) and the test hook.
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include "dialogs_fixture.h"
#include "hwrename.h"

namespace {

void FocusAndEnter(QWidget *w)
{
    QVERIFY(QTest::qWaitForWindowActive(w->window()));
    w->setFocus(Qt::TabFocusReason);
    QCOMPARE(QApplication::focusWidget(), w);
    QTest::keyClick(w, Qt::Key_Return);
}

}   // namespace

class TestRenameDialog : public QObject {
    Q_OBJECT

private slots:
    void form()
    {
        QCOMPARE(_DlgRename, nullptr);
        TDlgRename d(nullptr);
        QCOMPARE(d.size(), QSize(186, 70));
        QCOMPARE(d.minimumSize(), d.maximumSize());
        QCOMPARE(d.Edit1->objectName(), QStringLiteral("Edit1"));
        QCOMPARE(d.Button1->objectName(), QStringLiteral("Button1"));
        QCOMPARE(d.Button2->objectName(), QStringLiteral("Button2"));
        QCOMPARE(d.Edit1->geometry(), QRect(0, 8, 185, 21));
        QCOMPARE(d.Button1->geometry(), QRect(32, 40, 59, 21));
        QCOMPARE(d.Button2->geometry(), QRect(96, 40, 59, 21));
        QCOMPARE(d.Button1->text(), QStringLiteral("OK"));
        QCOMPARE(d.Button2->text(), QStringLiteral("Cancel"));
        QVERIFY(d.Button1->isDefault());
        QCOMPARE(d.Edit1->text(), QString());
        QCOMPARE(d.Edit1->maxLength(), 32767);
        QCOMPARE(d.Edit1->nextInFocusChain(), d.Button1);
        QCOMPARE(d.Button1->nextInFocusChain(), d.Button2);
        d.Edit1->setText(QStringLiteral("WWWWWWWWW"));
        const QStringList problems = kxdlg::TextProblems(&d);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
    }

    // The modal run: OK gives 1, everything else renames nothing.
    void results()
    {
        struct Row {
            const char *what;
            std::function<void(TDlgRename *)> act;
            int result;
        };
        const Row rows[] = {
            {"OK", [](TDlgRename *d) { d->Button1->click(); }, QDialog::Accepted},
            {"Enter", [](TDlgRename *d) { QTest::keyClick(d->Edit1, Qt::Key_Return); }, QDialog::Accepted},
            // Enter presses the focused button.
            {"Enter on OK", [](TDlgRename *d) { FocusAndEnter(d->Button1); }, QDialog::Accepted},
            {"Enter on Cancel", [](TDlgRename *d) { FocusAndEnter(d->Button2); }, QDialog::Rejected},
            {"Enter in the edit again",
             [](TDlgRename *d) {
                 d->Button2->setFocus(Qt::TabFocusReason);
                 FocusAndEnter(d->Edit1);
             },
             QDialog::Accepted},
            {"Cancel", [](TDlgRename *d) { d->Button2->click(); }, QDialog::Rejected},
            {"Esc", [](TDlgRename *d) { QTest::keyClick(d->Edit1, Qt::Key_Escape); }, QDialog::Rejected},
            {"close", [](TDlgRename *d) { d->close(); }, QDialog::Rejected},
        };
        for (const Row &row : rows) {
            QWidget owner;
            auto *d = new TDlgRename(&owner);
            d->setWindowTitle(QStringLiteral("Rename TRUV-kq40"));
            bool seen = false;
            const int r = kxdlg::Answer<TDlgRename, int>(
                [&](TDlgRename *w) {
                    QCOMPARE(w, d);
                    QCOMPARE(w->parentWidget(), &owner);
                    QTest::keyClicks(w->Edit1, QStringLiteral("Bench 1"));
                    if (row.result == QDialog::Accepted)
                        QVERIFY(w->grab().save(kxdlg::ScreenshotPath("rename.png")));
                    row.act(w);
                },
                [d] { return d->exec(); }, &seen);
            QVERIFY2(seen, row.what);
            QVERIFY2(r == row.result, row.what);
            QCOMPARE(d->Edit1->text(), QStringLiteral("Bench 1"));
            delete d;
        }
    }

    // The real box: modal, with OK, the icon, the title and the owner.
    void messageBox()
    {
        struct Row {
            MsgIcon icon;
            QMessageBox::Icon shown;
        };
        const Row rows[] = {{MsgIcon::Error, QMessageBox::Critical},
                            {MsgIcon::Warning, QMessageBox::Warning},
                            {MsgIcon::None, QMessageBox::NoIcon}};
        for (const Row &row : rows) {
            QWidget owner;
            for (QWidget *o : {&owner, static_cast<QWidget *>(nullptr)}) {
                bool seen = false;
                kxdlg::Answer<QMessageBox, int>(
                    [&](QMessageBox *b) {
                        QCOMPARE(b->text(), QStringLiteral("Can't initialize motor!"));
                        QCOMPARE(b->windowTitle(), QStringLiteral("Error"));
                        QCOMPARE(b->icon(), row.shown);
                        QCOMPARE(b->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
                        QCOMPARE(b->parentWidget(), o);
                        b->button(QMessageBox::Ok)->click();
                    },
                    [&] {
                        KxMessageBox(o, "Can't initialize motor!", "Error", row.icon);
                        return 0;
                    },
                    &seen);
                QVERIFY(seen);
            }
        }
    }

    // The hook replaces the box and is handed back when replaced.
    void hook()
    {
        int calls = 0;
        MessageBoxHook previous = SetMessageBoxHook(
            [&](QWidget *, const std::string &text, const std::string &title, MsgIcon icon) {
                ++calls;
                QCOMPARE(text, std::string("t"));
                QCOMPARE(title, std::string("T"));
                QCOMPARE(icon, MsgIcon::Warning);
            });
        QVERIFY(!previous);
        KxMessageBox(nullptr, "t", "T", MsgIcon::Warning);
        QCOMPARE(calls, 1);
        MessageBoxHook mine = SetMessageBoxHook({});
        QVERIFY(bool(mine));
    }
};

QTEST_MAIN(TestRenameDialog)
#include "hwrename_test.moc"

// msetup_test.cpp - the motor setup dialog and _SM_Setup / _SMN_Setup on the
// simulated bus: the address selector, the checks while typing, on leaving an
// edit and at OK, the conversions of OK, Cancel, records stored without a
// window, lookups by name, and the board looked up again after the dialog.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QtTest>

#include <cmath>
#include <limits>

#include "dialogs_fixture.h"
#include "motor.h"
#include "msetup.h"

using kxdlg::Record;

namespace {

SMotorSettings Info(unsigned dev, unsigned mot)
{
    SMotorSettings s;
    std::memset(&s, 0xEE, sizeof s);
    if (!_SM_GetInfo(dev, mot, &s))
        std::memset(&s, 0xEE, sizeof s);
    return s;
}

QByteArray FileBytes(const QTemporaryDir &dir, const char *serial)
{
    QFile f(dir.path() + QStringLiteral("/") + QString::fromLatin1(serial) + QStringLiteral(".hws"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

// Runs the dialog of _SM_Setup(dev, mot, NULL) and `answer` inside it.
int RunSetup(unsigned dev, int mot, std::function<void(TDlgMotorSetup *)> answer, bool *seen = nullptr)
{
    return kxdlg::Answer<TDlgMotorSetup, int>(
        std::move(answer), [&] { return _SM_Setup(dev, mot, nullptr); }, seen);
}

void SelectType(TDlgMotorSetup *d, const char *name)
{
    const int i = d->CBTyp->findText(QString::fromLatin1(name));
    QVERIFY2(i >= 0, name);
    d->CBTyp->setCurrentIndex(i);
}

}   // namespace

class TestMotorSetup : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    kxdlg::BoxRecorder *boxes_ = nullptr;

    void ExpectBoxes(const std::vector<kxdlg::Box> &got, QWidget *owner, const char *text, const char *title,
                     size_t count)
    {
        QCOMPARE(got.size(), count);
        for (const kxdlg::Box &b : got) {
            QCOMPARE(b.owner, owner);
            QCOMPARE(b.text, std::string(text));
            QCOMPARE(b.title, std::string(title));
            QCOMPARE(b.icon, MsgIcon::Error);
        }
    }

private slots:
    void initTestCase() { QVERIFY(dir_.isValid()); }
    void init()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SER1"));
        boxes_ = new kxdlg::BoxRecorder;
    }
    void cleanup()
    {
        delete boxes_;
        boxes_ = nullptr;
        _CloseAllDevices();
        QCOMPARE(_DlgMotorSetup, nullptr);
    }

    // A new motor on a board whose motors hold addresses 1 and 2.
    void addWithUsedAddresses()
    {
        SMotorSettings a = Record(1, 0x85, "Alpha"), b = Record(2, 0x01, "Beta");
        QCOMPARE(_SM_Setup(0, -1, &a), 0);
        QCOMPARE(_SM_Setup(0, -1, &b), 1);
        bool seen = false;
        const int r = RunSetup(
            0, -1,
            [&](TDlgMotorSetup *d) {
                QCOMPARE(d, _DlgMotorSetup);
                QCOMPARE(d->windowTitle(), QStringLiteral("Motor Setup"));
                const QString names[2] = {QStringLiteral("Alpha"), QStringLiteral("Beta")};
                for (int i = 0; i < 7; ++i) {
                    const bool used = i < 2;
                    QCOMPARE(d->AddrRadio(i)->isEnabled(), !used);
                    QCOMPARE(d->AddrLabel(i)->isEnabled(), !used);
                    QCOMPARE(d->AddrRadio(i)->toolTip(), used ? names[i] : QString());
                    QCOMPARE(d->AddrPanel(i)->toolTip(), used ? names[i] : QString());
                    QCOMPARE(d->AddrLabel(i)->text(), QString::number(i + 1));
                    QCOMPARE(d->AddrRadio(i)->property("Tag").toInt(), i + 1);
                }
                QCOMPARE(d->AddrLabel(7)->text(), QStringLiteral("U"));
                QCOMPARE(d->AddrLabel(7)->toolTip(), QStringLiteral("Unplugged"));
                QCOMPARE(d->AddrRadio(7)->toolTip(), QStringLiteral("Unplugged"));
                QCOMPARE(d->AddrRadio(7)->property("Tag").toInt(), 0);
                QCOMPARE(d->AddrPanel(7), nullptr);
                QCOMPARE(d->AddrRadio(8), nullptr);
                for (int i = 0; i < 8; ++i)
                    QVERIFY(!d->AddrRadio(i)->isChecked());
                // The defaults of a new motor.
                QCOMPARE(d->CBTyp->count(), int(GetMotorTypeCount()));
                QCOMPARE(d->CBTyp->currentIndex(), 0);
                QCOMPARE(d->EBName->text(), QString());
                QCOMPARE(d->EBCoef->text(), QStringLiteral("1"));
                QCOMPARE(d->EBOffset->text(), QStringLiteral("0"));
                QCOMPARE(d->EBLen->text(), QStringLiteral("5"));
                QCOMPARE(d->EBAccel->text(), QStringLiteral("20"));
                QCOMPARE(d->EBMin->text(), QStringLiteral("5"));
                QCOMPARE(d->EBMax->text(), QStringLiteral("50"));
                QCOMPARE(d->UDMin->Position(), 5);
                QCOMPARE(d->UDMax->Max(), 10000);
                QVERIFY(!d->ChSteps->isEnabled());
                QVERIFY(!d->ChFix->isEnabled());
                QCOMPARE(d->findChild<QLabel *>(QStringLiteral("Label12"))->text(),
                         QStringLiteral("Acceleration lenght:"));
                QCOMPARE(d->findChild<QLabel *>(QStringLiteral("Label1"))->text(), QStringLiteral("Typ:"));
                for (const char *n : {"PAddress", "LPokus",  "Label14",  "EBName",  "CBTyp",   "ChSteps",  "ChFix",
                                      "EBCoef",   "LbCoeff", "EBOffset", "LbStart", "EBLen",   "LbLength", "EBAccel",
                                      "EBMin",    "UDMin",   "EBMax",    "UDMax",   "Button1", "Button2"})
                    QVERIFY2(d->findChild<QWidget *>(QString::fromLatin1(n)) != nullptr, n);
                QVERIFY(d->grab().save(kxdlg::ScreenshotPath("motor_setup_new.png")));
                d->Button1->click();
            },
            &seen);
        QVERIFY(seen);
        QCOMPARE(r, 2);
        QVERIFY(boxes_->Take().empty());
        const SMotorSettings s = Info(0, 2);
        QCOMPARE(int(s.Address), 0);
        QCOMPARE(int(s.TypeCode), 0);
        QCOMPARE(float(s.Position), 0.0f);
        QCOMPARE(float(s.Zero), 0.0f);
        QCOMPARE(float(s.Coefficient), 1.0f);
        QCOMPARE(int32_t(s.TravelLength), 5);
        QCOMPARE(int(s.AccelLength), 20);
        QCOMPARE(int(s.MinStepTime), 5);
        QCOMPARE(int(s.MaxStepTime), 50);
        QCOMPARE(std::string(s.Name, 10), std::string(10, '\0'));
        QCOMPARE(FileBytes(dir_, "SER1").size(), qsizetype(sizeof(DeviceSettings)));
    }

    // An existing motor shows its settings and OK without a change keeps them.
    // The keyboard: the focus starts on the type box, Tab enters the address
    // group at its checked button only, and Enter presses the focused button
    // (OK anywhere else).
    void keyboardFocus()
    {
        SMotorSettings a = Record(3, 0x01, "Alpha");
        QCOMPARE(_SM_Setup(0, -1, &a), 0);
        QStringList chain;
        bool seen = false;
        RunSetup(
            0, 0,
            [&](TDlgMotorSetup *d) {
                QVERIFY(QTest::qWaitForWindowActive(d));
                QCOMPARE(QApplication::focusWidget(), d->CBTyp);
                for (int i = 0; i < 30; ++i) {
                    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                    chain << QApplication::focusWidget()->objectName();
                    if (QApplication::focusWidget() == d->CBTyp)
                        break;
                }
                // An arrow moves inside the group; the next Tab into it lands there.
                d->AddrRadio(2)->setFocus(Qt::TabFocusReason);
                QTest::keyClick(d->AddrRadio(2), Qt::Key_Right);
                QVERIFY(d->AddrRadio(3)->isChecked());
                d->CBTyp->setFocus(Qt::TabFocusReason);
                QTest::keyClick(d->CBTyp, Qt::Key_Backtab);
                QCOMPARE(QApplication::focusWidget(), d->AddrRadio(3));
                d->Button2->click();
            },
            &seen);
        QVERIFY(seen);
        QCOMPARE(chain, QStringList({"EBCoef", "EBOffset", "EBLen", "EBAccel", "EBMin", "EBMax", "Button1", "Button2",
                                     "EBName", "RAddr3", "CBTyp"}));
        // A new motor, addresses 1 and 3 taken: Tab enters at the first free one.
        SMotorSettings b = Record(1, 0x01, "Beta");
        QCOMPARE(_SM_Setup(0, -1, &b), 1);
        RunSetup(0, -1, [&](TDlgMotorSetup *d) {
            QCOMPARE(d->AddrRadio(1)->focusPolicy(), Qt::StrongFocus);
            for (int i : {0, 2, 3, 4, 5, 6, 7})
                QCOMPARE(d->AddrRadio(i)->focusPolicy(), Qt::ClickFocus);
            d->Button2->click();
        });
    }

    void enterKey()
    {
        SMotorSettings a = Record(3, 0x01, "Alpha");
        QCOMPARE(_SM_Setup(0, -1, &a), 0);
        struct Row {
            const char *focus;
            bool stored;
        };
        const Row rows[] = {{"Button2", false}, {"Button1", true}, {"EBCoef", true}, {"EBName", true}, {"CBTyp", true}};
        for (const Row &row : rows) {
            bool seen = false;
            const int r = RunSetup(
                0, 0,
                [&](TDlgMotorSetup *d) {
                    QVERIFY(QTest::qWaitForWindowActive(d));
                    auto *w = d->findChild<QWidget *>(QString::fromLatin1(row.focus));
                    w->setFocus(Qt::TabFocusReason);
                    QCOMPARE(QApplication::focusWidget(), w);
                    QTest::keyClick(w, Qt::Key_Return);
                },
                &seen);
            QVERIFY2(seen, row.focus);
            QVERIFY2(r == (row.stored ? 0 : -1), row.focus);
            QVERIFY(boxes_->Take().empty());
        }
    }

    // At the dialog's font every caption, value and choice shows whole, with no
    // control over another: the longest type name, a name of ten wide letters,
    // numbers with sign and exponent.
    void formFitsItsTexts()
    {
        SMotorSettings a = Record(3, 0x6D, "WWWWWWWWWW", -0.000123457f, 100, -128, 65535, 65535);
        a.StartPosition = -1234567.0f;
        QCOMPARE(_SM_Setup(0, -1, &a), 0);
        bool seen = false;
        RunSetup(
            0, 0,
            [&](TDlgMotorSetup *d) {
                QCOMPARE(d->CBTyp->currentText(), QStringLiteral("R block (synchron)"));
                QCOMPARE(d->EBName->text(), QStringLiteral("WWWWWWWWWW"));
                QCOMPARE(d->EBCoef->text(), QStringLiteral("-0.000123457"));
                QCOMPARE(d->EBOffset->text(), QStringLiteral("-1.23457e+06"));
                QCOMPARE(d->EBLen->text(), QStringLiteral("-809999"));
                QCOMPARE(d->EBAccel->text(), QStringLiteral("-128"));
                QCOMPARE(d->EBMin->text(), QStringLiteral("65535"));
                const QStringList problems = kxdlg::TextProblems(d);
                QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
                QVERIFY(d->grab().save(kxdlg::ScreenshotPath("motor_setup_long_texts.png")));
                d->Button2->click();
            },
            &seen);
        QVERIFY(seen);
    }

    void editedMotorRoundTrip()
    {
        SMotorSettings g = Record(3, 0xC8, "Gamma10chr", 0.5f, 100, 7, 12, 345);
        g.HalfSteps = 1;
        g.StartPosition = 2.5f;
        SMotorSettings u = Record(0, 0x01, "NoAddr");
        QCOMPARE(_SM_Setup(0, -1, &g), 0);
        QCOMPARE(_SM_Setup(0, -1, &u), 1);
        const SMotorSettings before = Info(0, 0);
        QCOMPARE(RunSetup(0, 0,
                          [&](TDlgMotorSetup *d) {
                              QVERIFY(d->AddrRadio(2)->isEnabled());
                              QVERIFY(d->AddrLabel(2)->isEnabled());
                              QVERIFY(d->AddrRadio(2)->isChecked());
                              QCOMPARE(d->AddrRadio(2)->toolTip(), QStringLiteral("Gamma10chr"));
                              QCOMPARE(d->EBName->text(), QStringLiteral("Gamma10chr"));
                              QCOMPARE(d->CBTyp->currentText(), QStringLiteral("R block (4wires)"));
                              QCOMPARE(d->EBCoef->text(), QStringLiteral("0.5"));
                              QCOMPARE(d->EBLen->text(), QStringLiteral("200"));
                              QCOMPARE(d->EBOffset->text(), QStringLiteral("2.5"));
                              QCOMPARE(d->EBAccel->text(), QStringLiteral("7"));
                              QCOMPARE(d->EBMin->text(), QStringLiteral("12"));
                              QCOMPARE(d->EBMax->text(), QStringLiteral("345"));
                              QCOMPARE(d->UDMax->Position(), 345);
                              QVERIFY(d->ChSteps->isChecked());
                              QVERIFY(!d->ChFix->isChecked());
                              QVERIFY(d->grab().save(kxdlg::ScreenshotPath("motor_setup_edit.png")));
                              d->Button1->click();
                          }),
                 0);
        const SMotorSettings after = Info(0, 0);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(&after), sizeof after),
                 QByteArray(reinterpret_cast<const char *>(&before), sizeof before));

        // Address 0 shows "U" checked, which keeps its hint.
        QCOMPARE(RunSetup(0, 1,
                          [&](TDlgMotorSetup *d) {
                              QVERIFY(d->AddrRadio(7)->isChecked());
                              QCOMPARE(d->AddrRadio(7)->toolTip(), QStringLiteral("Unplugged"));
                              QVERIFY(!d->AddrRadio(2)->isEnabled());
                              d->Button2->click();
                          }),
                 -1);
        QVERIFY(boxes_->Take().empty());
    }

    // Seven significant digits are shown as six, and OK stores what is shown.
    void sixDigitRounding()
    {
        SMotorSettings m = Record(1, 0x01, "Mega", 1.0f, 1000001);
        QCOMPARE(_SM_Setup(0, -1, &m), 0);
        QCOMPARE(RunSetup(0, 0,
                          [&](TDlgMotorSetup *d) {
                              QCOMPARE(d->EBLen->text(), QStringLiteral("1e+06"));
                              d->Button1->click();
                          }),
                 0);
        QCOMPARE(int32_t(Info(0, 0).TravelLength), 1000000);
    }

    // The checks while typing: the integer edits lose their last characters,
    // the number edits only complain.
    void typingChecks()
    {
        QCOMPARE(RunSetup(0, -1,
                          [&](TDlgMotorSetup *d) {
                              struct Row {
                                  QLineEdit *edit;
                                  const char *start;
                                  const char *typed;   // keys, or nullptr: the whole text set at once
                                  const char *set;
                                  const char *left;
                                  size_t messages;
                              };
                              const Row ints[] = {
                                  {d->EBAccel, "", "12a", nullptr, "12", 1},
                                  {d->EBAccel, "", nullptr, "1x2y", "1", 3},
                                  {d->EBAccel, "5", nullptr, "abc", "", 3},
                                  {d->EBAccel, "5", nullptr, "", "", 0},
                                  {d->EBMin, "5", nullptr, "-", "", 1},
                                  {d->EBMax, "5", nullptr, "99999999999", "999999999", 2},
                                  {d->EBMax, "5", nullptr, "-2147483648", "-2147483648", 0},
                              };
                              // Types or sets each row's text and checks what is left and the boxes shown.
                              auto checkRows = [&](const auto &rows, const char *message) {
                                  for (const Row &row : rows) {
                                      row.edit->setText(QString::fromLatin1(row.start));
                                      boxes_->Take();
                                      if (row.typed != nullptr)
                                          QTest::keyClicks(row.edit, QString::fromLatin1(row.typed));
                                      else
                                          row.edit->setText(QString::fromLatin1(row.set));
                                      QCOMPARE(row.edit->text(), QString::fromLatin1(row.left));
                                      ExpectBoxes(boxes_->Take(), d, message, "Type error", row.messages);
                                  }
                              };
                              checkRows(ints, "Value must be integer!");
                              const Row numbers[] = {
                                  {d->EBLen, "", "x", nullptr, "x", 1},
                                  {d->EBLen, "", nullptr, "1abc", "1abc", 0},
                                  {d->EBCoef, "1", nullptr, "", "", 0},
                                  {d->EBOffset, "1", nullptr, "   ", "   ", 0},
                                  {d->EBOffset, "1", nullptr, " -.5e1", " -.5e1", 0},
                                  {d->EBCoef, "1", nullptr, "abc", "abc", 1},
                              };
                              checkRows(numbers, "Value must be number!");
                              d->Button2->click();
                          }),
                 -1);
    }

    // The checks on leaving an edit.
    void exitChecks()
    {
        QCOMPARE(
            RunSetup(0, -1,
                     [&](TDlgMotorSetup *d) {
                         struct Row {
                             QLineEdit *edit;
                             const char *text;
                             const char *left;
                             const char *message;   // nullptr: none
                         };
                         const Row rows[] = {
                             {d->EBAccel, "0", "1", "Value must be higher then zero!"},
                             {d->EBAccel, "-3", "1", "Value must be higher then zero!"},
                             {d->EBMin, "", "1", "Value must be higher then zero!"},
                             {d->EBMax, "7", "7", nullptr},
                             {d->EBCoef, "0", "0", "Value must be different from zero!"},
                             {d->EBCoef, "", "", "Value must be different from zero!"},
                             {d->EBCoef, "1e-50", "1e-50", "Value must be different from zero!"},   // zero as a float
                             {d->EBCoef, "2", "2", nullptr},
                         };
                         for (const Row &row : rows) {
                             row.edit->setText(QString::fromLatin1(row.text));
                             boxes_->Take();
                             if (row.edit == d->EBCoef)
                                 d->EBCoefExit(row.edit);
                             else
                                 d->EBAccelExit(row.edit);
                             QCOMPARE(row.edit->text(), QString::fromLatin1(row.left));
                             const auto got = boxes_->Take();
                             if (row.message == nullptr)
                                 QVERIFY(got.empty());
                             else
                                 ExpectBoxes(got, d, row.message, "Type error", 1);
                         }
                         // The handler runs when the focus moves on to another control.
                         d->activateWindow();
                         if (QTest::qWaitForWindowActive(d)) {
                             d->EBAccel->setFocus(Qt::TabFocusReason);
                             d->EBAccel->setText(QStringLiteral("0"));
                             boxes_->Take();
                             d->EBMin->setFocus(Qt::TabFocusReason);
                             QCOMPARE(d->EBAccel->text(), QStringLiteral("1"));
                             ExpectBoxes(boxes_->Take(), d, "Value must be higher then zero!", "Type error", 1);
                         }
                         d->Button2->click();
                     }),
            -1);
    }

    // What OK stores: float coefficient, truncated length, low bits.
    void conversions()
    {
        struct Row {
            const char *what;
            std::function<void(TDlgMotorSetup *)> set;
            std::function<void(const SMotorSettings &)> check;
        };
        const Row rows[] = {
            {"0.7 x 10",
             [](TDlgMotorSetup *d) {
                 d->EBCoef->setText("0.7");
                 d->EBLen->setText("10");
             },
             [](const SMotorSettings &s) {
                 QCOMPARE(float(s.Coefficient), 0.7f);
                 QCOMPARE(int32_t(s.TravelLength), 6);
             }},
            {"empty length", [](TDlgMotorSetup *d) { d->EBLen->setText(""); },
             [](const SMotorSettings &s) { QCOMPARE(int32_t(s.TravelLength), 0); }},
            {"low bits",
             [](TDlgMotorSetup *d) {
                 d->EBAccel->setText("200");
                 d->EBMin->setText("65541");
                 d->EBMax->setText("70000");
                 d->EBLen->setText("5e9");
                 d->EBOffset->setText("1e39");
             },
             [](const SMotorSettings &s) {
                 QCOMPARE(int(s.AccelLength), -56);
                 QCOMPARE(int(s.MinStepTime), 5);
                 QCOMPARE(int(s.MaxStepTime), 70000 - 65536);
                 QCOMPARE(int32_t(s.TravelLength), int32_t(5000000000LL - 4294967296LL));
                 QVERIFY(std::isinf(s.StartPosition) && s.StartPosition > 0);
             }},
            {"huge and negative lengths", [](TDlgMotorSetup *d) { d->EBLen->setText("1e300"); },
             [](const SMotorSettings &s) { QCOMPARE(int32_t(s.TravelLength), 0); }},
            {"negative length", [](TDlgMotorSetup *d) { d->EBLen->setText("-2.9"); },
             [](const SMotorSettings &s) { QCOMPARE(int32_t(s.TravelLength), -2); }},
            {"box checked before a 2-wire type",
             [](TDlgMotorSetup *d) {
                 SelectType(d, "X (4wires)");
                 d->ChSteps->setChecked(true);
                 d->ChFix->setChecked(true);
                 SelectType(d, "X (2wires)");
             },
             [](const SMotorSettings &s) {
                 QCOMPARE(int(s.TypeCode), 0x01);
                 QCOMPARE(int(s.HalfSteps), 1);
                 QCOMPARE(int(s.AutoRelease), 1);
             }},
            {"address 5, 10-character name",
             [](TDlgMotorSetup *d) {
                 d->AddrRadio(4)->setChecked(true);
                 d->EBName->setText("abcdefghijkl");
             },
             [](const SMotorSettings &s) {
                 QCOMPARE(int(s.Address), 5);
                 QCOMPARE(std::string(s.Name, 10), std::string("abcdefghij"));
             }},
            {"UTF-8 name cut at a character",
             [](TDlgMotorSetup *d) {
                 d->EBName->setText(QString::fromUtf8("abcdefghi\xc4\x8d"));   // 10 characters, 11 bytes
             },
             [](const SMotorSettings &s) { QCOMPARE(std::string(s.Name, 10), std::string("abcdefghi\0", 10)); }},
        };
        for (const Row &row : rows) {
            QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SER1"));
            const int r = RunSetup(0, -1, [&](TDlgMotorSetup *d) {
                row.set(d);
                d->Button1->click();
            });
            QVERIFY2(r == 0, row.what);
            row.check(Info(0, 0));
            if (QTest::currentTestFailed())
                qWarning("failed row: %s", row.what);
            QVERIFY(boxes_->Take().empty());
        }
    }

    // The checks of OK keep the dialog open.
    void okChecks()
    {
        QCOMPARE(RunSetup(0, -1,
                          [&](TDlgMotorSetup *d) {
                              d->EBMin->setText("60");
                              d->EBMax->setText("50");
                              d->Button1->click();
                              QVERIFY(d->isVisible());
                              ExpectBoxes(boxes_->Take(), nullptr, "Max step time must be higher then Min step time!",
                                          "Type error", 1);
                              QCOMPARE(d->EBMin->text(), QStringLiteral("1"));
                              QCOMPARE(d->EBMax->text(), QStringLiteral("20"));

                              d->EBCoef->setText("0");
                              d->Button1->click();
                              QVERIFY(d->isVisible());
                              ExpectBoxes(boxes_->Take(), nullptr, "Coefficient must be different from zero!",
                                          "Type error", 1);
                              QCOMPARE(d->EBCoef->text(), QStringLiteral("1"));

                              d->EBCoef->setText("1e-60");   // no float holds it: zero
                              d->Button1->click();
                              ExpectBoxes(boxes_->Take(), nullptr, "Coefficient must be different from zero!",
                                          "Type error", 1);

                              d->EBCoef->setText("inf");
                              d->Button1->click();
                              QVERIFY(d->isVisible());
                              ExpectBoxes(boxes_->Take(), nullptr, "Value must be number!", "Type error", 1);
                              QCOMPARE(d->EBCoef->text(), QStringLiteral("1"));

                              d->EBMin->setText("");
                              boxes_->Take();
                              d->Button1->click();
                              QVERIFY(d->isVisible());
                              ExpectBoxes(boxes_->Take(), nullptr, "Value must be integer!", "Type error", 1);

                              d->EBMin->setText("30");
                              d->EBMax->setText("30");
                              d->EBAccel->setText("");
                              d->Button1->click();
                              QVERIFY(d->isVisible());
                              ExpectBoxes(boxes_->Take(), nullptr, "Value must be integer!", "Type error", 1);

                              d->EBAccel->setText("9");
                              d->Button1->click();   // equal step times pass
                          }),
                 0);
        const SMotorSettings s = Info(0, 0);
        QCOMPARE(int(s.MinStepTime), 30);
        QCOMPARE(int(s.MaxStepTime), 30);
        QCOMPARE(int(s.AccelLength), 9);

        // The title-bar close after a refused OK runs the checks but stores nothing.
        QCOMPARE(RunSetup(0, -1,
                          [&](TDlgMotorSetup *d) {
                              d->EBMin->setText("60");
                              d->Button1->click();
                              boxes_->Take();
                              d->EBMin->setText("70");
                              d->close();
                              QVERIFY(d->isVisible());   // 70 > 20 still refused
                              boxes_->Take();
                              d->EBMin->setText("10");
                              d->close();
                              QVERIFY(!d->isVisible());
                              QVERIFY(d->Confirmed());
                              QCOMPARE(int(d->Settings().MinStepTime), 10);
                          }),
                 -1);
        QCOMPARE(_SM_GetCount(0), 1);
    }

    // Units from the axis letter, check boxes by drive.
    void typeUnits()
    {
        QCOMPARE(
            RunSetup(0, -1,
                     [&](TDlgMotorSetup *d) {
                         struct Row {
                             const char *type;
                             bool boxes;
                             const char *coeff, *unit;
                         };
                         const Row rows[] = {
                             {"R block (4wires)", true, "step/deg", "deg"},   {"X (2wires)", false, "step/mm", "mm"},
                             {"R block (synchron)", true, "step/deg", "deg"}, {"R (2wires)", false, "step/deg", "deg"},
                             {"Z (4wires)", true, "step/mm", "mm"},           {"None", false, "step/mm", "mm"},
                         };
                         for (const Row &row : rows) {
                             SelectType(d, row.type);
                             QCOMPARE(d->ChSteps->isEnabled(), row.boxes);
                             QCOMPARE(d->ChFix->isEnabled(), row.boxes);
                             QCOMPARE(d->LbCoeff->text(), QString::fromLatin1(row.coeff));
                             QCOMPARE(d->LbStart->text(), QString::fromLatin1(row.unit));
                             QCOMPARE(d->LbLength->text(), QString::fromLatin1(row.unit));
                         }
                         d->Button2->click();
                     }),
            -1);
    }

    // The up-downs step their edit's number inside 1..10000, without wrapping.
    void upDowns()
    {
        QCOMPARE(RunSetup(0, -1,
                          [&](TDlgMotorSetup *d) {
                              const auto arrows = d->UDMin->findChildren<QToolButton *>();
                              QCOMPARE(arrows.size(), qsizetype(2));
                              QToolButton *up = arrows[0]->arrowType() == Qt::UpArrow ? arrows[0] : arrows[1];
                              QToolButton *down = up == arrows[0] ? arrows[1] : arrows[0];
                              up->click();
                              QCOMPARE(d->EBMin->text(), QStringLiteral("6"));
                              d->EBMin->setText("1");
                              down->click();
                              QCOMPARE(d->EBMin->text(), QStringLiteral("1"));
                              d->EBMax->setText("10000");
                              QTest::keyClick(d->EBMax, Qt::Key_Up);
                              QCOMPARE(d->EBMax->text(), QStringLiteral("10000"));
                              QTest::keyClick(d->EBMax, Qt::Key_Down);
                              QCOMPARE(d->EBMax->text(), QStringLiteral("9999"));
                              QCOMPARE(d->UDMax->Position(), 9999);
                              d->Button1->click();
                          }),
                 0);
        QCOMPARE(int(Info(0, 0).MinStepTime), 1);
        QCOMPARE(int(Info(0, 0).MaxStepTime), 9999);
        QVERIFY(boxes_->Take().empty());
    }

    // Cancel, Esc and the title-bar close store and save nothing.
    void cancelStoresNothing()
    {
        SMotorSettings m = Record(1, 0x85, "Keep");
        QCOMPARE(_SM_Setup(0, -1, &m), 0);
        const SMotorSettings before = Info(0, 0);
        const QByteArray file = FileBytes(dir_, "SER1");
        QVERIFY(!file.isEmpty());
        std::function<void(TDlgMotorSetup *)> ways[] = {
            [](TDlgMotorSetup *d) { d->Button2->click(); },
            [](TDlgMotorSetup *d) { QTest::keyClick(d, Qt::Key_Escape); },
            [](TDlgMotorSetup *d) { d->close(); },
        };
        for (auto &close : ways) {
            const int r = RunSetup(0, 0, [&](TDlgMotorSetup *d) {
                d->EBName->setText("Changed");
                d->EBAccel->setText("99");
                d->AddrRadio(6)->setChecked(true);
                close(d);
            });
            QCOMPARE(r, -1);
            const SMotorSettings after = Info(0, 0);
            QCOMPARE(std::memcmp(&after, &before, sizeof after), 0);
            QCOMPARE(FileBytes(dir_, "SER1"), file);
        }
        QCOMPARE(RunSetup(0, -1, [](TDlgMotorSetup *d) { d->Button2->click(); }), -1);
        QCOMPARE(_SM_GetCount(0), 1);
    }

    // Records go in without a window; bad indexes and repeated addresses fail.
    void recordWithoutWindow()
    {
        SMotorSettings a = Record(1, 0x01, "A"), b = Record(2, 0x01, "B"), dup = Record(2, 0x01, "Dup");
        SMotorSettings u1 = Record(0, 0x01, "U1"), u2 = Record(0, 0x01, "U2");
        struct Row {
            unsigned dev;
            int mot;
            const SMotorSettings *s;
            int result;
        };
        const Row rows[] = {
            {0, -1, &a, 0},      {0, -1, &b, 1},  {0, -1, &dup, -1}, {0, 0, &dup, -1},
            {0, 1, &dup, 1},     {0, 2, &a, -1},  {1, -1, &a, -1},   {1, 0, nullptr, -1},
            {0, 5, nullptr, -1}, {0, -1, &u1, 2}, {0, -7, &u2, -1},
        };
        for (const Row &row : rows) {
            bool seen = false;
            const int r = kxdlg::Answer<TDlgMotorSetup, int>([](TDlgMotorSetup *d) { d->Button2->click(); },
                                                             [&] { return _SM_Setup(row.dev, row.mot, row.s); }, &seen);
            QCOMPARE(r, row.result);
            QVERIFY(!seen);
            QCOMPARE(_DlgMotorSetup, nullptr);
        }
        QCOMPARE(_SM_GetCount(0), 3);
        QCOMPARE(std::string(Info(0, 1).Name), std::string("Dup"));
        // "U" while another motor has no address: refused by the board.
        QCOMPARE(RunSetup(0, -1,
                          [](TDlgMotorSetup *d) {
                              d->AddrRadio(7)->setChecked(true);
                              d->Button1->click();
                          }),
                 -1);
        QCOMPARE(_SM_GetCount(0), 3);
    }

    // _SMN_Setup edits the first motor of the name over all boards.
    void setupByName()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SER1,TRUV-kq4:SER2"));
        SMotorSettings o = Record(1, 0x01, "Other"), s0 = Record(2, 0x01, "Same"), s1 = Record(1, 0x01, "Same");
        QCOMPARE(_SM_Setup(0, -1, &o), 0);
        QCOMPARE(_SM_Setup(0, -1, &s0), 1);
        QCOMPARE(_SM_Setup(1, -1, &s1), 0);
        bool seen = false;
        const bool ok = kxdlg::Answer<TDlgMotorSetup, bool>(
            [](TDlgMotorSetup *d) {
                QCOMPARE(d->DeviceIndex(), 0);
                QCOMPARE(d->MotorIndex(), 1);
                QCOMPARE(d->EBName->text(), QStringLiteral("Same"));
                d->EBAccel->setText("33");
                d->Button1->click();
            },
            [] { return _SMN_Setup("Same"); }, &seen);
        QVERIFY(seen);
        QVERIFY(ok);
        QCOMPARE(int(Info(0, 1).AccelLength), 33);
        QCOMPARE(int(Info(1, 0).AccelLength), 20);
        const auto cancel = [](TDlgMotorSetup *d) { d->Button2->click(); };
        QVERIFY(!(kxdlg::Answer<TDlgMotorSetup, bool>(cancel, [] { return _SMN_Setup("Same"); })));
        QVERIFY(!(kxdlg::Answer<TDlgMotorSetup, bool>(
            cancel, [] { return _SMN_Setup("Nobody"); }, &seen)));
        QVERIFY(!seen);
        QVERIFY(!_SMN_Setup(nullptr));
    }

    // The edited motor cannot be read: a box, and the defaults.
    void cantLoadMotorInfo()
    {
        TDlgMotorSetup d(nullptr, 0, 5);
        d.show();
        ExpectBoxes(boxes_->Take(), &d, "Can't load motor info!", "Error", 1);
        QCOMPARE(d.EBCoef->text(), QStringLiteral("1"));
        QCOMPARE(d.EBLen->text(), QStringLiteral("5"));
        for (int i = 0; i < 8; ++i)
            QVERIFY(!d.AddrRadio(i)->isChecked());
        d.hide();
    }

    // The thread's timers run while the dialog is open, with no lock held: a
    // board found meanwhile is listed. A list emptied and refilled meanwhile
    // holds another board at the index, which gets nothing.
    void timersRunWhileOpen()
    {
        int fired = 0;
        QCOMPARE(RunSetup(0, -1,
                          [&](TDlgMotorSetup *d) {
                              simbus::Attach("TRUV-kq4", "SER2");
                              auto *t = new QTimer(d);
                              QObject::connect(t, &QTimer::timeout, d, [&fired, d] {
                                  if (++fired == 1)
                                      QCOMPARE(_RefreshDevices(), 2);
                                  if (fired == 3)
                                      d->Button2->click();
                              });
                              t->start(5);
                          }),
                 -1);
        QCOMPARE(fired, 3);
        QCOMPARE(_GetDevicesCount(), 2u);

        QCOMPARE(RunSetup(0, -1,
                          [&](TDlgMotorSetup *d) {
                              _CloseAllDevices();
                              simbus::Reset("TRUV-kq4:SER9");
                              QCOMPARE(_RefreshDevices(), 1);
                              d->Button1->click();
                          }),
                 -1);
        QCOMPARE(_SM_GetCount(0), 0);
    }
};

QTEST_MAIN(TestMotorSetup)
#include "msetup_test.moc"

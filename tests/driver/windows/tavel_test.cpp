// tavel_test.cpp - the control window on the offscreen platform with simulated
// boards: the refresh of the motor list (rows, cells, lamps, insert place),
// the window exports, the motor commands with their messages and the boards
// they act on, the three readings of the destination edit, the zero box and
// entry, the popup's hit test and the per-board submenus. The refresh timer
// is stopped; each test runs the refresh by calling TimerTimer.
#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <set>
#include <utility>

#include "Tavelwindow.h"
#include "dialogs_fixture.h"
#include "hwrename.h"
#include "motor.h"
#include "msetup.h"

using kxdlg::Box;
using kxdlg::Record;

namespace {

constexpr char kSelect[] = "You must select motor from the list!";

TDlgTavel *Open()
{
    _ShowSetupWin();
    TDlgTavel *w = _DlgTavel;
    if (w != nullptr)
        w->Timer->stop();   // the tests run the refresh themselves
    return w;
}

void Tick(TDlgTavel *w) { w->TimerTimer(w->Timer); }

QTreeWidgetItem *Row(TDlgTavel *w, int i) { return w->LvMotorList->topLevelItem(i); }
int Rows(TDlgTavel *w) { return w->LvMotorList->topLevelItemCount(); }
QString Cell(TDlgTavel *w, int i, int k) { return TDlgTavel::SubItem(Row(w, i), k); }

// (name, serial) of every row in order.
std::vector<std::pair<std::string, std::string>> Ids(TDlgTavel *w)
{
    std::vector<std::pair<std::string, std::string>> out;
    for (int i = 0; i < Rows(w); ++i)
        out.emplace_back(TDlgTavel::RowName(Row(w, i)), TDlgTavel::RowSerial(Row(w, i)));
    return out;
}

std::vector<int> Icons(TDlgTavel *w)
{
    std::vector<int> out;
    for (int i = 0; i < Rows(w); ++i)
        out.push_back(TDlgTavel::ImageIndex(Row(w, i)));
    return out;
}

int SelectedIndex(TDlgTavel *w)
{
    for (int i = 0; i < Rows(w); ++i)
        if (Row(w, i)->isSelected())
            return i;
    return -1;
}

void Select(TDlgTavel *w, int i) { w->LvMotorList->setCurrentItem(Row(w, i)); }

void Add(unsigned dev, const SMotorSettings &s) { QVERIFY(_SM_Setup(dev, -1, &s) >= 0); }

// Puts a motor at an absolute step position (no tick runs in these tests).
void SetSteps(unsigned dev, unsigned mot, int32_t steps)
{
    ListReadGuard list;
    USBDriver *b = DeviceList.At(dev);
    std::lock_guard lock(b->Lock);
    b->Motors[mot].Position = steps;
}

// Unplugs a board: gone from the bus, and closed as its watchdog would.
void Unplug(const char *serial)
{
    QVERIFY(simbus::Detach(serial));
    const int dev = _GetDeviceIndex(serial);
    QVERIFY(dev >= 0);
    _CloseDevice(static_cast<unsigned>(dev));
    QVERIFY(!_CheckDeviceConnection(static_cast<unsigned>(dev)));
}

// A point of the list's viewport: on row i in column `column`.
QPoint OnRow(TDlgTavel *w, int i, int column = 3)
{
    const QRect r = w->LvMotorList->visualItemRect(Row(w, i));
    QHeaderView *h = w->LvMotorList->header();
    const QPoint p(h->sectionViewportPosition(column) + h->sectionSize(column) / 2, r.center().y());
    return p;
}

void Popup(TDlgTavel *w, const QPoint &p)
{
    w->PopupMenuAt(p);
    w->PmMenu->hide();
}

// The target text, then Set target, Move abs, Move rel, Stop and the Zero box
// on the selected row.
void RowCommands(TDlgTavel *w, const char *target)
{
    w->EbDestination->setText(QString::fromLatin1(target));
    for (QAbstractButton *b :
         std::initializer_list<QAbstractButton *>{w->BttnSet, w->BttnMoveAbs, w->BttnMoveRel, w->BttnStop, w->ChBZero})
        b->click();
}

QMenu *DeviceMenu(TDlgTavel *w, int k) { return QMenu::menuInAction(w->PmDev->actions().at(k)); }
QAction *Entry(QMenu *sub, const char *caption)
{
    for (QAction *a : sub->actions())
        if (a->text() == QString::fromLatin1(caption))
            return a;
    return nullptr;
}

}   // namespace

class TestTavel : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    kxdlg::BoxRecorder *boxes_ = nullptr;

    // Boxes shown since the last call: (text, title).
    std::vector<std::pair<std::string, std::string>> Texts()
    {
        std::vector<std::pair<std::string, std::string>> out;
        for (const Box &b : boxes_->Take())
            out.emplace_back(b.text, b.title);
        return out;
    }
    // The window is deleted once the pending deletions have run.
    static bool Gone(QPointer<TDlgTavel> w)
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return w.isNull();
    }

    using Texts_t = std::vector<std::pair<std::string, std::string>>;

    // Two boards: "Alpha" (SA01) with X1, X2 and "Bravo" (SB02) with Y1..Y3.
    void TwoBoards()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01:Alpha,TRUV-RZDO:SB02:Bravo"));
        Add(0, Record(1, 0x01, "X1", 2.0f, 100));
        Add(0, Record(2, 0x81, "X2"));
        Add(1, Record(1, 0x41, "Y1"));
        Add(1, Record(2, 0x02, "Y2"));
        Add(1, Record(3, 0x03, "Y3"));
    }

    // Two boards each with a motor "M" (coefficient 10), on addresses 1 / 2.
    void LikeNamed()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01:Alpha,TRUV-RZDO:SB02:Bravo"));
        Add(0, Record(1, 0x41, "M", 10.0f, 1000));
        Add(1, Record(2, 0x41, "M", 10.0f, 1000));
    }

private slots:
    void initTestCase() { QVERIFY(dir_.isValid()); }
    void init()
    {
        boxes_ = new kxdlg::BoxRecorder;
        QLocale::setDefault(QLocale::c());
    }
    void cleanup()
    {
        _CloseSetupWin();
        QCOMPARE(_DlgTavel, nullptr);
        delete boxes_;
        boxes_ = nullptr;
        _CloseAllDevices();
        QLocale::setDefault(QLocale::c());
    }

    // ---- Form and refresh ----------------------------------------------------------

    void formBeforeTheFirstTick()
    {
        TwoBoards();
        TDlgTavel *w = Open();
        QVERIFY(w != nullptr);
        QVERIFY(w->isVisible());
        QCOMPARE(w->windowTitle(), QStringLiteral("TRUV - Stepper Motor Control Unit"));
        QCOMPARE(w->minimumSize(), QSize(490, 390));
        QCOMPARE(w->Timer->interval(), 500);
        QCOMPARE(Rows(w), 0);
        QCOMPARE(w->InsertIndex(), -1);
        QVERIFY(!w->Closed());
        const char *titles[] = {"Name",          "Device",        "Address",    "Type",        "Position",
                                "Destination",   "Length",        "Coef",       "Offset",      "Acceleration",
                                "Min step time", "Max step time", "Half steps", "Auto release"};
        QCOMPARE(w->LvMotorList->columnCount(), 14);
        for (int c = 0; c < 14; ++c)
            QCOMPARE(w->LvMotorList->headerItem()->text(c), QString::fromLatin1(titles[c]));
        // The form's widths, or more where the font needs it.
        const int widths[] = {60, 60, 40, 90, 65, 65, 70, 70, 70, 75, 80, 80, 65, 75};
        for (int c = 0; c < 14; ++c)
            QVERIFY(w->LvMotorList->columnWidth(c) >= widths[c]);
        for (QLabel *l : {w->LDev, w->LAddr, w->LTyp, w->LPos, w->LLen, w->LCoef, w->LOff, w->LAccel, w->LMin, w->LMax,
                          w->LPosReal, w->LSteps, w->LFix})
            QCOMPARE(l->text(), QString());
        QCOMPARE(w->EbDestination->text(), QStringLiteral("0"));
        // Captions and names as the form gives them.
        std::set<QString> captions;
        for (QLabel *l : w->findChildren<QLabel *>())
            captions.insert(l->text());
        for (const char *c :
             {"Device:", "Address:", "Type motor:", "Lenght:", "Coef", "Offset:", "Acceleration lenght:",
              "Min step time:", "Max step time:", "Half steps:", "Auto release:", "Position:", "Destination:"})
            QVERIFY2(captions.count(QString::fromLatin1(c)) == 1, c);
        QCOMPARE(w->GroupBox1->title(), QStringLiteral("Move to..."));
        const std::pair<QPushButton *, const char *> buttons[] = {
            {w->BttnSet, "Set target"}, {w->BttnMoveAbs, "Move abs"}, {w->BttnMoveRel, "Move rel"},
            {w->BttnStop, "Stop"},      {w->BttnRun, "Run All"},      {w->BttnStopAll, "Stop All"}};
        for (const auto &[b, caption] : buttons)
            QCOMPARE(b->text(), QString::fromLatin1(caption));
        QCOMPARE(w->ChBZero->text(), QStringLiteral("Zero"));
        for (const char *n :
             {"LvMotorList", "Panel1",      "Panel2",   "Panel3",   "GroupBox1",   "LDev",          "LAddr",
              "LTyp",        "LLen",        "LCoef",    "LOff",     "LAccel",      "LMin",          "LMax",
              "LSteps",      "LFix",        "LPos",     "LPosReal", "ChBZero",     "EbDestination", "BttnSet",
              "BttnMoveAbs", "BttnMoveRel", "BttnStop", "BttnRun",  "BttnStopAll", "PmMenu",        "PmDev"})
            QVERIFY2(w->findChild<QObject *>(QString::fromLatin1(n)) != nullptr, n);
        QCOMPARE(w->findChild<QTimer *>(QStringLiteral("Timer")), w->Timer);
        const std::tuple<QAction *, const char *, const char *, QKeySequence> entries[] = {
            {w->PmRelAll, "PmRelAll", "Release all", QKeySequence()},
            {w->PmSetup, "PmSetup", "Setup", QKeySequence(QStringLiteral("Ctrl+S"))},
            {w->PmInitialize, "PmInitialize", "Initialize", QKeySequence(QStringLiteral("Ctrl+I"))},
            {w->PmZero, "PmZero", "Set zero", QKeySequence(QStringLiteral("Ctrl+Z"))},
            {w->PmReset, "PmReset", "Reset", QKeySequence(QStringLiteral("Ctrl+R"))},
            {w->PmRelease, "PmRelease", "Release", QKeySequence(QStringLiteral("Ctrl+Alt+R"))},
            {w->PmRemove, "PmRemove", "Remove", QKeySequence(QStringLiteral("Shift+Del"))}};
        for (const auto &[a, name, caption, key] : entries) {
            QCOMPARE(a->objectName(), QString::fromLatin1(name));
            QCOMPARE(a->text(), QString::fromLatin1(caption));
            QCOMPARE(a->shortcut(), key);
            QCOMPARE(a->isEnabled(), a == w->PmRelAll);
        }
        const QList<QAction *> menu = w->PmMenu->actions();
        QCOMPARE(menu.size(), 9);
        QCOMPARE(QMenu::menuInAction(menu[0]), w->PmDev);
        QCOMPARE(w->PmDev->title(), QStringLiteral("Devices"));
        QVERIFY(menu[2]->isSeparator());
    }

    void firstTickTwoBoards()
    {
        TwoBoards();
        Add(0, Record(0, 0x01, "X3", 0.0f, 50));   // no address, coefficient 0
        _RenameDevice(1, "Bravo12345");            // 10 characters
        TDlgTavel *w = Open();
        SetSteps(1, 2, 7);
        Tick(w);
        using Id = std::pair<std::string, std::string>;
        QCOMPARE(Ids(w),
                 (std::vector<Id>{
                     {"X1", "SA01"}, {"X2", "SA01"}, {"X3", "SA01"}, {"Y1", "SB02"}, {"Y2", "SB02"}, {"Y3", "SB02"}}));
        QCOMPARE(Icons(w), std::vector<int>(6, 1));
        QCOMPARE(w->Serials().size(), size_t(6));
        // The last new row ends selected; the info labels stay as the selection
        // left them (empty cells), apart from the position labels.
        QCOMPARE(SelectedIndex(w), 5);
        QCOMPARE(w->LvMotorList->currentItem(), Row(w, 5));
        QCOMPARE(w->LPos->text(), QStringLiteral("7"));
        QCOMPARE(w->LPosReal->text(), QStringLiteral("7"));
        QCOMPARE(w->LDev->text(), QString());
        QCOMPARE(w->LTyp->text(), QString());
        QCOMPARE(w->EbDestination->text(), QString());
        QVERIFY(Texts().empty());

        // The cells of X1: coefficient 2, travel 100 steps.
        const QString x1[] = {
            "Alpha", "1",  QString::fromLatin1(GetMotorTypeName(0x01)), "0", "0", "50", "2", "0", "20", "5", "50",
            "Off",   "Off"};
        for (int k = 0; k < 13; ++k)
            QCOMPARE(Cell(w, 0, k), x1[k]);
        QCOMPARE(Row(w, 0)->text(0), QStringLiteral("X1"));
        QCOMPARE(Cell(w, 2, 1), QStringLiteral("Unplugged"));
        QCOMPARE(Cell(w, 2, 5), QStringLiteral("0"));   // length with coefficient 0
        QCOMPARE(Cell(w, 3, 0), QStringLiteral("Bravo1234"));
        QCOMPARE(Cell(w, 5, 3), QStringLiteral("7"));

        // Selecting a row fills the labels and the edit.
        Select(w, 0);
        QCOMPARE(w->LDev->text(), QStringLiteral("Alpha"));
        QCOMPARE(w->LAddr->text(), QStringLiteral("1"));
        QCOMPARE(w->LLen->text(), QStringLiteral("50"));
        QCOMPARE(w->LCoef->text(), QStringLiteral("2"));
        QCOMPARE(w->LAccel->text(), QStringLiteral("20"));
        QCOMPARE(w->LMax->text(), QStringLiteral("50"));
        QCOMPARE(w->LFix->text(), QStringLiteral("Off"));
        QCOMPARE(w->EbDestination->text(), QStringLiteral("0"));
        QCOMPARE(w->LPosReal->text(), QStringLiteral("7"));   // not touched by the selection
        QVERIFY(w->grab().save(kxdlg::ScreenshotPath("control_window.png")));
    }

    // At the window's font every text shows whole: captions beside their
    // values, the longest values (a 9-character board, a 10-character motor,
    // the longest type name, "Unplugged", numbers with sign and exponent) in
    // the side panel, the list's columns and the target edit. The window's
    // 941 x 414 includes its frame.
    void formFitsItsTexts()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01:Bravo1234"));
        SMotorSettings s = Record(0, 0x6D, "Gamma10chr", 0.000123457f, 1000, -128, 65535, 65535);
        s.StartPosition = -1234567.0f;
        Add(0, s);
        Add(0, Record(1, 0x01, "X1"));
        TDlgTavel *w = Open();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QCOMPARE(w->frameGeometry().size(), QSize(941, 414));
        SetSteps(0, 0, -1234567);
        SetSteps(0, 1, -1234567);
        Tick(w);
        Select(w, 1);
        Select(w, 0);
        QCOMPARE(w->LTyp->text(), QStringLiteral("R block (synchron)"));
        QCOMPARE(w->LAddr->text(), QStringLiteral("Unplugged"));
        QCOMPARE(w->LCoef->text(), QStringLiteral("0.000123457"));
        QCOMPARE(w->LOff->text(), QStringLiteral("-1.23457e+06"));
        QCOMPARE(w->LPos->text(), QStringLiteral("-9.99998e+09"));
        QCOMPARE(w->EbDestination->text(), QStringLiteral("-9.99998e+09"));
        const QStringList problems = kxdlg::TextProblems(w);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
        // The list: every title and every cell whole.
        QAbstractItemView *view = w->LvMotorList;
        for (int c = 0; c < 14; ++c) {
            QVERIFY2(w->LvMotorList->header()->sectionSizeHint(c) <= w->LvMotorList->columnWidth(c),
                     qPrintable(QString::number(c)));
            QVERIFY2(view->sizeHintForColumn(c) <= w->LvMotorList->columnWidth(c), qPrintable(QString::number(c)));
        }
        QVERIFY(w->grab().save(kxdlg::ScreenshotPath("control_window_long_texts.png")));
    }

    void noBoardNoRows()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01"));
        TDlgTavel *w = Open();
        Tick(w);
        QCOMPARE(Rows(w), 0);
        QCOMPARE(w->LPos->text(), QString());
        QCOMPARE(w->EbDestination->text(), QStringLiteral("0"));
    }

    void cellsRewrittenOnlyWhenChanged()
    {
        TwoBoards();
        TDlgTavel *w = Open();
        Tick(w);
        std::set<std::pair<int, int>> written;
        connect(w->LvMotorList->model(), &QAbstractItemModel::dataChanged, this,
                [&](const QModelIndex &a, const QModelIndex &b, const QList<int> &roles) {
                    if (!roles.isEmpty() && !roles.contains(Qt::DisplayRole))
                        return;
                    for (int r = a.row(); r <= b.row(); ++r)
                        for (int c = a.column(); c <= b.column(); ++c)
                            written.insert({r, c});
                });
        Tick(w);
        QVERIFY(written.empty());
        // X2 gets coefficient 4 and a travel of 40 steps from another client.
        const SMotorSettings s = Record(2, 0x81, "X2", 4.0f, 40);
        QCOMPARE(_SM_Setup(0, 1, &s), 1);
        Tick(w);
        QCOMPARE(written, (std::set<std::pair<int, int>>{{1, 6}, {1, 7}}));
        QCOMPARE(Cell(w, 1, 5), QStringLiteral("10"));
        QCOMPARE(Cell(w, 1, 6), QStringLiteral("4"));
    }

    void boardUnpluggedAndReplugged()
    {
        TwoBoards();
        TDlgTavel *w = Open();
        Tick(w);
        Select(w, 3);
        const auto ids = Ids(w);
        const QString y1Type = Cell(w, 3, 2);
        Unplug("SB02");
        Tick(w);
        QCOMPARE(Ids(w), ids);
        QCOMPARE(Icons(w), (std::vector<int>{1, 1, 0, 0, 0}));
        QCOMPARE(Cell(w, 3, 0), QStringLiteral("Bravo"));
        QCOMPARE(Cell(w, 3, 2), y1Type);
        QCOMPARE(SelectedIndex(w), 3);
        simbus::Attach("TRUV-RZDO", "SB02");
        Tick(w);
        QVERIFY(_CheckDeviceConnection(1));
        QCOMPARE(Ids(w), ids);
        QCOMPARE(Icons(w), std::vector<int>(5, 1));
        QCOMPARE(SelectedIndex(w), 3);
    }

    void runningMotorAndRenamedMotor()
    {
        TwoBoards();
        TDlgTavel *w = Open();
        Tick(w);
        QVERIFY(_SM_Move(1, 1, 30));
        Tick(w);
        QCOMPARE(Icons(w), (std::vector<int>{1, 1, 1, 2, 1}));
        QCOMPARE(Cell(w, 3, 4), QStringLiteral("30"));
        // Given a new name by another client: the old row goes red, a new row at the end.
        const SMotorSettings s = Record(1, 0x01, "X1new", 2.0f, 100);
        QCOMPARE(_SM_Setup(0, 0, &s), 0);
        Tick(w);
        QCOMPARE(Rows(w), 6);
        QCOMPARE(TDlgTavel::RowName(Row(w, 5)), std::string("X1new"));
        QCOMPARE(TDlgTavel::ImageIndex(Row(w, 0)), 0);
        QCOMPARE(TDlgTavel::ImageIndex(Row(w, 5)), 1);
    }

    // A running motor's lamp turns yellow and, once the window's Stop has
    // brought it to rest, green again.
    void lampGreenAgainWhenTheMotorStops()
    {
        TwoBoards();
        TDlgTavel *w = Open();
        Tick(w);
        QVERIFY(_SM_Move(1, 1, 30));   // Y2
        Tick(w);
        QCOMPARE(Icons(w), (std::vector<int>{1, 1, 1, 2, 1}));
        // The board's tick on a chosen clock, 1 ms apart.
        double t = 1.0;
        for (int k = 0; k < 20000 && _SM_IsRunning(1, 1); ++k) {
            {
                ListReadGuard list;
                DeviceList.At(1)->Tick(t);
            }
            t += 0.001;
            if (k == 20) {
                Tick(w);   // still on its way: stopped from the window
                QCOMPARE(TDlgTavel::ImageIndex(Row(w, 3)), 2);
                Select(w, 3);
                w->BttnStop->click();
            }
        }
        QVERIFY(!_SM_IsRunning(1, 1));
        QVERIFY(_SM_GetPosition(1, 1) > 0.0 && _SM_GetPosition(1, 1) < 30.0);
        Tick(w);
        QCOMPARE(Icons(w), std::vector<int>(5, 1));
        QCOMPARE(Texts(), Texts_t{});
    }

    // The selected row's position labels: LPos in the user's units (from the
    // zero), LPosReal from the absolute step 0.
    void positionLabelsWithAZeroOffset()
    {
        LikeNamed();   // coefficient 10 steps per unit
        TDlgTavel *w = Open();
        Tick(w);
        Select(w, 0);
        SetSteps(0, 0, 40);
        w->ChBZero->click();   // the zero at step 40
        QCOMPARE(_SM_GetZero(0, 0), 4.0);
        SetSteps(0, 0, 65);
        Tick(w);
        QCOMPARE(w->LPos->text(), QStringLiteral("2.5"));
        QCOMPARE(w->LPosReal->text(), QStringLiteral("6.5"));
        QCOMPARE(Cell(w, 0, 3), QStringLiteral("2.5"));
        SetSteps(0, 0, 10);
        Tick(w);
        QCOMPARE(w->LPos->text(), QStringLiteral("-3"));
        QCOMPARE(w->LPosReal->text(), QStringLiteral("1"));
        QCOMPARE(Texts(), Texts_t{});
    }

    // The lamps look the same on the selected row: no selection tint.
    void lampsKeepTheirColoursWhenSelected()
    {
        TwoBoards();
        TDlgTavel *w = Open();
        Tick(w);
        for (const QIcon &icon : w->ImageList1)
            QCOMPARE(icon.pixmap(16, QIcon::Selected).toImage(), icon.pixmap(16, QIcon::Normal).toImage());
        Select(w, 0);
        QVERIFY(Row(w, 0)->isSelected() && !Row(w, 1)->isSelected());
        // The lamp's opaque colours, counted in the icon end of two green rows.
        const QImage lamp = w->ImageList1[1].pixmap(16).toImage().convertToFormat(QImage::Format_ARGB32);
        std::set<QRgb> colours;
        for (int y = 0; y < lamp.height(); ++y)
            for (int x = 0; x < lamp.width(); ++x)
                if (qAlpha(lamp.pixel(x, y)) == 255)
                    colours.insert(lamp.pixel(x, y) | 0xff000000u);
        const QImage shot = w->LvMotorList->viewport()->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        auto count = [&](int row) {
            const QRect cell = w->LvMotorList->visualRect(w->LvMotorList->model()->index(row, 0));
            int n = 0;
            for (int y = cell.top(); y <= cell.bottom(); ++y)
                for (int x = cell.left(); x < cell.left() + 24; ++x)
                    n += colours.count(shot.pixel(x, y) | 0xff000000u) != 0 ? 1 : 0;
            return n;
        };
        QVERIFY(count(1) > 50);
        QCOMPARE(count(0), count(1));
    }

    void likeNamedMotorsOnTwoBoards()
    {
        LikeNamed();
        TDlgTavel *w = Open();
        Tick(w);
        using Id = std::pair<std::string, std::string>;
        QCOMPARE(Ids(w), (std::vector<Id>{{"M", "SA01"}, {"M", "SB02"}}));
        QCOMPARE(Cell(w, 0, 1), QStringLiteral("1"));
        QCOMPARE(Cell(w, 1, 1), QStringLiteral("2"));
        Tick(w);
        QCOMPARE(Rows(w), 2);
    }

    // ---- Window exports -------------------------------------------------------------

    void showTwiceGivesOneWindow()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01"));
        QVERIFY(!_IsSetupWinOpened());
        QVERIFY(!_IsSetupWinVisible());
        TDlgTavel *w = Open();
        _ShowSetupWin();
        QCOMPARE(_DlgTavel, w);
        QVERIFY(_IsSetupWinOpened());
        QVERIFY(_IsSetupWinVisible());
        int windows = 0;
        for (QWidget *top : QApplication::topLevelWidgets())
            windows += qobject_cast<TDlgTavel *>(top) != nullptr ? 1 : 0;
        QCOMPARE(windows, 1);
        _CloseSetupWin();
        QCOMPARE(_DlgTavel, nullptr);
        QVERIFY(!_IsSetupWinOpened());
        _CloseSetupWin();   // no window: only the clearing
    }

    void closeThenShowResumesTheRefresh()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01"));
        Add(0, Record(1, 0x01, "A"));
        TDlgTavel *w = Open();
        Tick(w);
        QVERIFY(w->close());
        QVERIFY(w->Closed());
        QVERIFY(_IsSetupWinOpened());
        QVERIFY(!_IsSetupWinVisible());
        Add(0, Record(2, 0x01, "B"));
        Tick(w);
        QCOMPARE(Rows(w), 1);   // no refresh while hidden
        _ShowSetupWin();
        QCOMPARE(_DlgTavel, w);
        QVERIFY(_IsSetupWinVisible());
        QVERIFY(!w->Closed());
        Tick(w);
        QCOMPARE(Rows(w), 2);
        QCOMPARE(Cell(w, 0, 0), Cell(w, 1, 0));   // the first row's serial entry is still good
        QCOMPARE(std::string(TDlgTavel::RowSerial(Row(w, 0))), std::string("SA01"));
    }

    // The window's own timer runs the refresh (every other test calls it).
    void timerRunsTheRefresh()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01"));
        Add(0, Record(1, 0x01, "A"));
        _ShowSetupWin();
        TDlgTavel *w = _DlgTavel;
        QVERIFY(w->Timer->isActive());
        QTRY_COMPARE_WITH_TIMEOUT(Rows(w), 1, 5000);
    }

    void exitThenShow()
    {
        TwoBoards();
        TDlgTavel *w = Open();
        Tick(w);
        QCOMPARE(Rows(w), 5);
        KxExit();
        QCOMPARE(_DlgTavel, nullptr);
        QVERIFY(!_IsSetupWinOpened());
        QCOMPARE(_SM_GetCountInAll(), 0u);
        w = Open();
        QVERIFY(w != nullptr);
        QCOMPARE(Rows(w), 0);
        QCOMPARE(w->InsertIndex(), -1);
        QVERIFY(!w->Closed());
        Tick(w);   // opens the boards again from their settings files
        QCOMPARE(Rows(w), 5);
        QCOMPARE(Icons(w), std::vector<int>(5, 1));
    }

    // ---- Motor commands ---------------------------------------------------------------

    void noSelection()
    {
        TwoBoards();
        TDlgTavel *w = Open();
        Tick(w);
        w->LvMotorList->clearSelection();
        for (QAction *a : {w->PmSetup, w->PmInitialize, w->PmZero, w->PmReset, w->PmRelease, w->PmRemove})
            a->setEnabled(true);
        const std::pair<std::function<void()>, const char *> cases[] = {
            {[&] { w->BttnSet->click(); }, "Error"},
            {[&] { w->BttnMoveAbs->click(); }, "Error"},
            {[&] { w->BttnMoveRel->click(); }, "Error"},
            {[&] { w->BttnStop->click(); }, "Error"},
            {[&] { w->ChBZero->click(); }, "Error"},
            {[&] { w->PmInitialize->trigger(); }, "Error"},
            {[&] { w->PmZero->trigger(); }, "Error"},
            {[&] { w->PmReset->trigger(); }, "Error"},
            {[&] { w->PmRemove->trigger(); }, "Error"},
            {[&] { w->PmRelease->trigger(); }, "Error"},
            {[&] { w->PmSetup->trigger(); }, "Isn't selected item"},
            {[&] { QTest::mouseDClick(w->LvMotorList->viewport(), Qt::LeftButton, {}, QPoint(20, 350)); },
             "Isn't selected item"},
        };
        for (const auto &[run, title] : cases) {
            run();
            const std::vector<Box> got = boxes_->Take();
            QCOMPARE(got.size(), size_t(1));
            QCOMPARE(got[0].text, std::string(kSelect));
            QCOMPARE(got[0].title, std::string(title));
            QCOMPARE(got[0].icon, MsgIcon::Error);
            QCOMPARE(got[0].owner, static_cast<QWidget *>(w));
        }
        QCOMPARE(Rows(w), 5);
        // The box kept its click, the entry's mark did not follow.
        QVERIFY(w->ChBZero->isChecked());
        QVERIFY(!w->PmZero->isChecked());
        // Run All, Stop All and Release all need no selection.
        w->BttnRun->click();
        w->BttnStopAll->click();
        w->PmRelAll->trigger();
        QCOMPARE(Texts(), Texts_t{});
    }

    void unpluggedRow()
    {
        TwoBoards();
        _RenameDevice(1, "Bravo12345");
        TDlgTavel *w = Open();
        Tick(w);
        Unplug("SB02");
        Tick(w);
        Select(w, 2);   // Y1 on the closed board
        RowCommands(w, "5");
        QCOMPARE(Texts(), (Texts_t{{"Can't set destination for motor Y1!\nDevice is unpluged", "Error"},
                                   {"Can't move with motor Y1!\nDevice is unpluged", "Error"},
                                   {"Can't move with motor Y1!\nDevice is unpluged", "Error"},
                                   {"Can't stop motor Y1!\nDevice is unpluged", "Error"},
                                   {"Can't reset motor Y1!\nDevice is unpluged", "Error"}}));
        // The popup entries find no motor: silent; Release finds none by name.
        w->PmInitializeClick(w->PmInitialize);
        w->PmZeroClick(w->PmZero);
        w->PmResetClick(w->PmReset);
        w->PmRemoveClick(w->PmRemove);
        QCOMPARE(Rows(w), 5);
        w->PmReleaseClick(w->PmRelease);
        QCOMPARE(Texts(), (Texts_t{{"Can't release selected motor!", "Error"}}));
        // The box was clicked with a selected row: the entry's mark followed it,
        // though the row failed.
        QVERIFY(w->ChBZero->isChecked());
        QVERIFY(w->PmZero->isChecked());
    }

    // The per-row failures of the commands: a motor without an address, a
    // target beyond any step position, and a motor renamed by another client
    // since the last refresh (its row still green).
    void perRowFailures()
    {
        TwoBoards();
        Add(0, Record(0, 0x01, "X3"));   // no address
        TDlgTavel *w = Open();
        Tick(w);
        QCOMPARE(TDlgTavel::RowName(Row(w, 2)), std::string("X3"));

        Select(w, 2);
        w->EbDestination->setText(QStringLiteral("5"));
        w->BttnMoveAbs->click();
        w->BttnMoveRel->click();
        QCOMPARE(Texts(), (Texts_t{{"Can't move with motor X3!", "Error"}, {"Can't move with motor X3!", "Error"}}));
        QCOMPARE(TDlgTavel::ImageIndex(Row(w, 2)), 1);

        Select(w, 0);
        w->EbDestination->setText(QStringLiteral("1e300"));
        w->BttnSet->click();
        w->BttnMoveAbs->click();
        w->BttnMoveRel->click();
        QCOMPARE(Texts(), (Texts_t{{"Can't set destination for motor X1!", "Error"},
                                   {"Can't move with motor X1!", "Error"},
                                   {"Can't move with motor X1!", "Error"}}));
        QCOMPARE(Cell(w, 0, 4), QStringLiteral("0"));   // the row keeps its destination
        QVERIFY(!_SM_IsRunning(0, 0));

        // X2 becomes "X2b".
        const SMotorSettings renamed = Record(2, 0x81, "X2b");
        QCOMPARE(_SM_Setup(0, 1, &renamed), 1);
        Select(w, 1);
        QCOMPARE(TDlgTavel::ImageIndex(Row(w, 1)), 1);
        RowCommands(w, "5");
        QCOMPARE(Texts(), (Texts_t{{"Can't set destination for motor X2!", "Error"},
                                   {"Can't move with motor X2!", "Error"},
                                   {"Can't move with motor X2!", "Error"},
                                   {"Can't stop motor X2!", "Error"},
                                   {"Motor X2 is running!\nStop the motor before reset please.", "Can't reset"}}));
        // The popup entries look the motor up by name and board: not found, no
        // message (and Initialize never gets to fail); Release by name fails.
        for (QAction *a : {w->PmInitialize, w->PmZero, w->PmReset, w->PmRemove})
            a->setEnabled(true);
        for (QAction *a : {w->PmInitialize, w->PmZero, w->PmReset, w->PmRemove})
            a->trigger();
        QCOMPARE(Texts(), Texts_t{});
        QCOMPARE(Rows(w), 6);
        w->PmRelease->setEnabled(true);
        w->PmRelease->trigger();
        QCOMPARE(Texts(), (Texts_t{{"Can't release selected motor!", "Error"}}));
        QCOMPARE(_SM_GetTarget(0, 1), 0.0);
    }

    // Run All reports each board whose start is refused (a motor without an
    // address) by its first 9 characters, and goes on with the next board.
    void runAllReportsEachFailingBoard()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01:Alpha,TRUV-RZDO:SB02:Bravo12345,TRUV-kq4:SC03:Charlie"));
        Add(0, Record(0, 0x01, "A"));
        Add(1, Record(0, 0x01, "B"));
        Add(2, Record(1, 0x01, "C"));
        TDlgTavel *w = Open();
        for (unsigned d = 0; d < 3; ++d)
            QVERIFY(_SM_SetDestination(d, 0, 5));
        w->BttnRun->click();
        QCOMPARE(Texts(), (Texts_t{{"Can't move with motors on device Alpha", "Error"},
                                   {"Can't move with motors on device Bravo1234", "Error"}}));
        QVERIFY(_SM_IsRunning(2, 0));
        w->BttnStopAll->click();
        QCOMPARE(Texts(), Texts_t{});
    }

    void redLampMakesNoDriverCall()
    {
        LikeNamed();
        TDlgTavel *w = Open();
        Tick(w);
        Select(w, 0);
        w->SetImageIndex(Row(w, 0), 0);   // as if unplugged, while the motor is there
        w->EbDestination->setText(QStringLiteral("5"));
        w->BttnSet->click();
        w->BttnMoveAbs->click();
        QCOMPARE(Texts().size(), size_t(2));
        QCOMPARE(_SM_GetTarget(0, 0), 0.0);
        QVERIFY(!_SM_IsRunning(0, 0));
    }

    // Only a double click of the left button opens the setup dialog.
    void doubleClickLeftButtonOnly()
    {
        TwoBoards();
        TDlgTavel *w = Open();
        Tick(w);
        Select(w, 1);
        for (Qt::MouseButton b : {Qt::RightButton, Qt::MiddleButton, Qt::LeftButton}) {
            bool seen = false;
            kxdlg::Answer<TDlgMotorSetup, int>([](TDlgMotorSetup *d) { d->Button2->click(); },
                                               [&] {
                                                   QTest::mouseDClick(w->LvMotorList->viewport(), b, {}, OnRow(w, 1));
                                                   return 0;
                                               },
                                               &seen);
            QCOMPARE(seen, b == Qt::LeftButton);
        }
        QCOMPARE(Texts(), Texts_t{});
    }

    void likeNamedMotorsWhichBoard()
    {
        LikeNamed();
        TDlgTavel *w = Open();
        Tick(w);
        Select(w, 1);   // M on the second board

        // Set target: the row's board.
        w->EbDestination->setText(QStringLiteral("5"));
        w->BttnSet->click();
        QCOMPARE(_SM_GetTarget(1, 0), 5.0);
        QCOMPARE(_SM_GetTarget(0, 0), 0.0);
        QCOMPARE(Cell(w, 1, 3), QStringLiteral("5"));

        // Zero: the row's board.
        SetSteps(0, 0, 40);
        SetSteps(1, 0, 60);
        w->ChBZero->click();
        QCOMPARE(_SM_GetZero(1, 0), 6.0);
        QCOMPARE(_SM_GetZero(0, 0), 0.0);
        // Set zero: the row's board (toggles back; the box already agrees).
        w->PmZero->setEnabled(true);
        w->PmZero->trigger();
        QCOMPARE(_SM_GetZero(1, 0), 0.0);
        QCOMPARE(_SM_GetZero(0, 0), 0.0);
        // Reset: the row's board.
        w->PmResetClick(w->PmReset);
        QCOMPARE(_SM_GetRealPosition(1, 0), 0.0);
        QCOMPARE(_SM_GetRealPosition(0, 0), 4.0);

        // Move abs: the first board's motor of that name, written back to this row.
        w->EbDestination->setText(QStringLiteral("3"));
        w->BttnMoveAbs->click();
        QCOMPARE(_SM_GetTarget(0, 0), 3.0);
        QVERIFY(_SM_IsRunning(0, 0));
        QVERIFY(!_SM_IsRunning(1, 0));
        QCOMPARE(TDlgTavel::ImageIndex(Row(w, 1)), 2);
        QCOMPARE(Cell(w, 1, 4), QStringLiteral("3"));
        // Move rel: by the value, from the first board's motor's own position.
        w->BttnMoveRel->click();
        QCOMPARE(_SM_GetTarget(0, 0), 7.0);
        // Stop: the row's board (the first board's motor goes on running).
        w->BttnStop->click();
        QVERIFY(_SM_IsRunning(0, 0));
        QCOMPARE(Texts(), Texts_t{});

        // Initialize (homing of a block motor): the row's board.
        _SM_Stop(0, 0);
        w->PmInitializeClick(w->PmInitialize);
        QVERIFY(_SM_IsRunning(1, 0));

        // Setup: by name, the first board's motor.
        int seenDevice = -2;
        kxdlg::Answer<TDlgMotorSetup, int>(
            [&](TDlgMotorSetup *d) {
                seenDevice = d->DeviceIndex();
                d->Button2->click();
            },
            [&] {
                w->LvMotorListDblClick(w->LvMotorList);
                return 0;
            });
        QCOMPARE(seenDevice, 0);
        QCOMPARE(Rows(w), 2);

        // Remove: the row's board (its motor is running: refused).
        w->PmRemoveClick(w->PmRemove);
        QCOMPARE(Texts(), (Texts_t{{"Can't remove selected motor!", "Error"}}));
        QCOMPARE(_SM_GetCount(0), 1);
        QCOMPARE(_SM_GetCount(1), 1);
    }

    void releaseByNameActsOnTheFirstBoard()
    {
        LikeNamed();
        TDlgTavel *w = Open();
        Tick(w);
        Select(w, 1);
        simbus::ClearCalls();
        w->PmReleaseClick(w->PmRelease);
        QCOMPARE(Texts(), Texts_t{});
        QVERIFY(!simbus::Writes("SA01").empty());
        QVERIFY(simbus::Writes("SB02").empty());
    }

    void destinationReadings_data()
    {
        QTest::addColumn<bool>("comma");
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("moved");    // target after Move abs
        QTest::addColumn<double>("target");   // target after Set target; NaN: conversion error
        const double err = std::numeric_limits<double>::quiet_NaN();
        QTest::newRow("12abc") << false << "12abc" << 12.0 << err;
        QTest::newRow("1.5") << false << "1.5" << 1.5 << 1.5;
        QTest::newRow("blank") << false << "  " << 0.0 << err;
        QTest::newRow("-2e1") << false << " -2e1 " << -20.0 << -20.0;
        QTest::newRow("comma 1.5") << true << "1.5" << 1.5 << err;
        QTest::newRow("comma 1,5") << true << "1,5" << 1.0 << 1.5;
    }
    void destinationReadings()
    {
        QFETCH(bool, comma);
        QFETCH(QString, text);
        QFETCH(double, moved);
        QFETCH(double, target);
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01"));
        Add(0, Record(1, 0x01, "M", 10.0f));
        if (comma)
            QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        TDlgTavel *w = Open();
        Tick(w);
        Select(w, 0);
        w->EbDestination->setText(text);
        QCOMPARE(w->EbDestination->text(), text);   // passes the check
        QCOMPARE(Texts(), Texts_t{});

        w->BttnSet->click();
        if (std::isnan(target)) {
            QCOMPARE(Texts(), (Texts_t{{"'" + text.toStdString() + "' is not a valid floating point value", "Error"}}));
            QCOMPARE(_SM_GetTarget(0, 0), 0.0);
        } else {
            QCOMPARE(Texts(), Texts_t{});
            QCOMPARE(_SM_GetTarget(0, 0), target);
            QCOMPARE(Cell(w, 0, 3), text);
        }
        // The window stays usable.
        w->BttnMoveAbs->click();
        QCOMPARE(Texts(), Texts_t{});
        QCOMPARE(_SM_GetTarget(0, 0), moved);
        QCOMPARE(Cell(w, 0, 4), tavel::FloatToStr(moved));
        if (comma && moved == 1.5)
            QCOMPARE(Cell(w, 0, 4), QStringLiteral("1,5"));
    }

    void numberTexts()
    {
        const std::pair<const char *, double> ok[] = {{"1.5", 1.5}, {" +2 ", 2.0},   {"-.5", -0.5},
                                                      {"3.", 3.0},  {"1e3", 1000.0}, {"1E-2", 0.01}};
        for (const auto &[t, v] : ok) {
            double got = -99;
            QVERIFY2(tavel::TextToFloat(QString::fromLatin1(t), &got), t);
            QCOMPARE(got, v);
        }
        for (const char *t :
             {"", " ", "abc", "12abc", "1.2.3", "1e", "e5", "+", ".", "inf", "nan", "0x10", "1,5", "1e999", "1 2"})
            QVERIFY2(!tavel::TextToFloat(QString::fromLatin1(t), nullptr), t);
        const std::pair<double, const char *> out[] = {{1.5, "1.5"},
                                                       {3.0, "3"},
                                                       {0.1, "0.1"},
                                                       {0.00001, "0.00001"},
                                                       {0.000015, "0.000015"},
                                                       {0.000001, "1E-6"},
                                                       {1.5e-7, "1.5E-7"},
                                                       {1e20, "1E20"},
                                                       {123456789012345.0, "123456789012345"},
                                                       {-2.25, "-2.25"},
                                                       {double(0.1f), "0.100000001490116"}};
        for (const auto &[v, t] : out)
            QCOMPARE(tavel::FloatToStr(v), QString::fromLatin1(t));
        float f = -1;
        QCOMPARE(tavel::ScanFloat(QStringLiteral("12abc"), &f), 1);
        QCOMPARE(f, 12.0f);
        QCOMPARE(tavel::ScanFloat(QStringLiteral("  "), &f), -1);
        QCOMPARE(tavel::ScanFloat(QStringLiteral("-"), &f), 0);
        QCOMPARE(tavel::ScanFloat(QStringLiteral("1,5"), &f), 1);
        QCOMPARE(f, 1.0f);
    }

    void destinationCheck()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01"));
        TDlgTavel *w = Open();
        const Texts_t one = {{"Value must be number!", "Type error"}};
        // Pasting abc: three messages, the edit ends empty.
        w->EbDestination->selectAll();
        w->EbDestination->insert(QStringLiteral("abc"));
        QCOMPARE(w->EbDestination->text(), QString());
        QCOMPARE(Texts(), (Texts_t{one[0], one[0], one[0]}));
        // A sign typed into the empty edit goes again; in front of digits it stays.
        QTest::keyClicks(w->EbDestination, QStringLiteral("-"));
        QCOMPARE(w->EbDestination->text(), QString());
        QCOMPARE(Texts(), one);
        QTest::keyClicks(w->EbDestination, QStringLiteral("25"));
        QTest::keyClick(w->EbDestination, Qt::Key_Home);
        QTest::keyClicks(w->EbDestination, QStringLiteral("-"));
        QCOMPARE(w->EbDestination->text(), QStringLiteral("-25"));
        // 12abc and blanks pass; an emptied edit shows nothing.
        w->EbDestination->setText(QStringLiteral("12abc"));
        w->EbDestination->setText(QStringLiteral("   "));
        w->EbDestination->clear();
        QCOMPARE(Texts(), Texts_t{});
        // Text after a failing start is cut down to its first number-like start.
        w->EbDestination->setText(QStringLiteral("x5"));
        QCOMPARE(w->EbDestination->text(), QString());
        QCOMPARE(Texts().size(), size_t(2));
    }

    void setupConfirmedAndCancelled()
    {
        TwoBoards();
        TDlgTavel *w = Open();
        Tick(w);
        Select(w, 1);   // X2
        bool seen = false;
        kxdlg::Answer<TDlgMotorSetup, int>([](TDlgMotorSetup *d) { d->Button2->click(); },
                                           [&] {
                                               QTest::mouseDClick(w->LvMotorList->viewport(), Qt::LeftButton, {},
                                                                  OnRow(w, 1));
                                               return 0;
                                           },
                                           &seen);
        QVERIFY(seen);
        QCOMPARE(Rows(w), 5);
        QCOMPARE(w->InsertIndex(), -1);
        QCOMPARE(Texts(), Texts_t{});

        seen = false;
        Add(1, Record(4, 0x01, "Y4"));   // a second new motor in the same pass
        kxdlg::Answer<TDlgMotorSetup, int>(
            [](TDlgMotorSetup *d) {
                d->EBName->setText(QStringLiteral("X2b"));
                d->Button1->click();
            },
            [&] {
                w->PmSetup->setEnabled(true);
                w->PmSetup->trigger();
                return 0;
            },
            &seen);
        QVERIFY(seen);
        QCOMPARE(Rows(w), 4);
        QCOMPARE(w->InsertIndex(), 1);
        QCOMPARE(SelectedIndex(w), -1);
        Tick(w);
        QCOMPARE(w->InsertIndex(), -1);
        using Id = std::pair<std::string, std::string>;
        QCOMPARE(Ids(w),
                 (std::vector<Id>{
                     {"X1", "SA01"}, {"X2b", "SA01"}, {"Y1", "SB02"}, {"Y2", "SB02"}, {"Y3", "SB02"}, {"Y4", "SB02"}}));
        QCOMPARE(SelectedIndex(w), 5);
    }

    void removeRefusedAndDone()
    {
        TwoBoards();
        TDlgTavel *w = Open();
        Tick(w);
        QVERIFY(_SM_Move(0, 0, 10));   // X1 runs: its removal is refused
        Select(w, 0);
        w->PmRemove->setEnabled(true);
        w->PmRemove->trigger();
        QCOMPARE(Texts(), (Texts_t{{"Can't remove selected motor!", "Error"}}));
        QCOMPARE(Rows(w), 4);
        QCOMPARE(SelectedIndex(w), -1);
        Tick(w);
        QCOMPARE(Rows(w), 5);
        QCOMPARE(TDlgTavel::RowName(Row(w, 4)), std::string("X1"));
        // Done: Y3 (the last one of its board) goes for good.
        Select(w, 3);
        w->PmRemoveClick(w->PmRemove);
        QCOMPARE(Texts(), Texts_t{});
        Tick(w);
        QCOMPARE(Rows(w), 4);
        QCOMPARE(_SM_GetCount(1), 2);
    }

    void zeroBoxAndEntry()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01"));
        Add(0, Record(1, 0x01, "M"));
        TDlgTavel *w = Open();
        Tick(w);
        SetSteps(0, 0, 40);
        Select(w, 0);
        w->PmZero->setEnabled(true);
        QVERIFY(!w->ChBZero->isChecked() && !w->PmZero->isChecked());

        w->ChBZero->click();   // zero at 40, the entry follows the box
        QCOMPARE(_SM_GetZero(0, 0), 40.0);
        QVERIFY(w->ChBZero->isChecked() && w->PmZero->isChecked());

        w->LvMotorList->clearSelection();
        w->ChBZero->click();   // no row: only the message, box and entry differ
        QCOMPARE(Texts(), (Texts_t{{kSelect, "Error"}}));
        QVERIFY(!w->ChBZero->isChecked() && w->PmZero->isChecked());
        QCOMPARE(_SM_GetZero(0, 0), 40.0);

        Select(w, 0);
        w->PmZero->trigger();   // toggles, then the box follows the entry and toggles again
        QVERIFY(w->ChBZero->isChecked() && w->PmZero->isChecked());
        QCOMPARE(_SM_GetZero(0, 0), 40.0);
        QCOMPARE(Texts(), Texts_t{});

        w->PmZero->trigger();   // they agree: one toggle only
        QCOMPARE(_SM_GetZero(0, 0), 0.0);
        QVERIFY(w->ChBZero->isChecked() && w->PmZero->isChecked());
    }

    // A motor that never stops (no tick runs): Set zero waits 10 s, then fails.
    void setZeroOfARunningMotorFails()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01"));
        Add(0, Record(1, 0x01, "M"));
        TDlgTavel *w = Open();
        Tick(w);
        Select(w, 0);
        QVERIFY(_SM_Move(0, 0, 10));
        w->PmZeroClick(w->PmZero);
        const std::vector<Box> got = boxes_->Take();
        QCOMPARE(got.size(), size_t(1));
        QCOMPARE(got[0].text,
                 std::string("Attempt to reset running motor failed.\rStop the motor before reset please."));
        QCOMPARE(got[0].title, std::string("Can't reset"));
        QCOMPARE(got[0].icon, MsgIcon::None);
        QVERIFY(!w->ChBZero->isChecked() && !w->PmZero->isChecked());
    }

    // ---- Popup and device menus --------------------------------------------------------

    void popupHitTest()
    {
        TwoBoards();   // X2 is 4-wire, Y1 a block motor
        TDlgTavel *w = Open();
        Tick(w);
        QAction *six[] = {w->PmSetup, w->PmInitialize, w->PmReset, w->PmZero, w->PmRemove, w->PmRelease};
        auto states = [&] {
            std::vector<bool> s;
            for (QAction *a : six)
                s.push_back(a->isEnabled());
            return s;
        };
        const std::vector<bool> all(6, true), none(6, false), noInit = {true, false, true, true, true, true};

        Popup(w, OnRow(w, 2));   // block motor
        QCOMPARE(states(), all);
        Popup(w, OnRow(w, 1, 0));   // 4-wire motor, on its label
        QCOMPARE(states(), noInit);
        Popup(w, QPoint(4, OnRow(w, 2).y()));   // only its icon: kept
        QCOMPARE(states(), noInit);
        w->PmRelAll->setEnabled(false);
        Popup(w, QPoint(20, w->LvMotorList->viewport()->height() - 5));   // empty space
        QCOMPARE(states(), none);
        QVERIFY(!w->PmRelAll->isEnabled());
        Popup(w, QPoint(20, -10));   // above the rows (on the header): kept
        QCOMPARE(states(), none);
        w->PmRelAll->setEnabled(true);

        // A motor that the lookup cannot find: Initialize keeps its state.
        QVERIFY(_SM_Remove(1, 0));
        Tick(w);
        QCOMPARE(TDlgTavel::ImageIndex(Row(w, 2)), 0);
        Popup(w, OnRow(w, 2));
        QCOMPARE(states(), noInit);
    }

    void deviceSubmenus()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01:Alpha,TRUV-RZDO:SB02:Bravo12345"));
        TDlgTavel *w = Open();
        Popup(w, QPoint(20, 20));
        QCOMPARE(w->PmDev->actions().size(), 2);
        const char *serials[] = {"SA01", "SB02"};
        const char *captions[] = {"Alpha", "Bravo1234"};
        for (int k = 0; k < 2; ++k) {
            QMenu *sub = DeviceMenu(w, k);
            QVERIFY(sub != nullptr);
            QCOMPARE(sub->objectName(), QString::fromLatin1(serials[k]));
            QCOMPARE(sub->title(), QString::fromLatin1(captions[k]));
            QCOMPARE(w->FindDeviceMenu(serials[k]), k);
            const QList<QAction *> e = sub->actions();
            QCOMPARE(e.size(), 7);
            const char *texts[] = {"Open", "Close", "", "Rename...", "", "Add motor...", "Release all motors"};
            for (int i = 0; i < 7; ++i) {
                QCOMPARE(e[i]->isSeparator(), texts[i][0] == '\0');
                if (!e[i]->isSeparator()) {
                    QCOMPARE(e[i]->text(), QString::fromLatin1(texts[i]));
                    QCOMPARE(e[i]->isEnabled(), i != 0);   // the board is open
                }
            }
            QCOMPARE(e[0]->property("Tag").toInt(), 0);
            QCOMPARE(e[6]->property("Tag").toInt(), 4);
        }
        QCOMPARE(w->FindDeviceMenu("SC03"), -1);

        // Close through the menu: the entries keep their states, no new submenu.
        Entry(DeviceMenu(w, 0), "Close")->trigger();
        QVERIFY(!_CheckDeviceConnection(0));
        Popup(w, QPoint(20, 20));
        QCOMPARE(w->PmDev->actions().size(), 2);
        QVERIFY(!Entry(DeviceMenu(w, 0), "Open")->isEnabled());
        QVERIFY(Entry(DeviceMenu(w, 0), "Close")->isEnabled());

        // A third board attached later: its submenu at the end at the next popup.
        simbus::Attach("TRUV-kq4", "1-SC03", "Charlie");
        Popup(w, QPoint(20, 20));
        QCOMPARE(w->PmDev->actions().size(), 3);
        QCOMPARE(DeviceMenu(w, 2)->objectName(), QStringLiteral("1-SC03"));
        QCOMPARE(DeviceMenu(w, 2)->title(), QStringLiteral("Charlie"));
        QCOMPARE(DeviceMenu(w, 0)->objectName(), QStringLiteral("SA01"));

        // Open a closed board; a submenu whose board is gone does nothing.
        _CloseDevice(2);
        Entry(DeviceMenu(w, 2), "Open")->setEnabled(true);
        Entry(DeviceMenu(w, 2), "Open")->trigger();
        QVERIFY(_CheckDeviceConnection(2));
        _CloseAllDevices();
        Entry(DeviceMenu(w, 2), "Close")->trigger();
        QCOMPARE(Texts(), Texts_t{});
    }

    void renameDialog()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01:Alpha,TRUV-RZDO:SB02:Bravo12345"));
        TDlgTavel *w = Open();
        Popup(w, QPoint(20, 20));
        QAction *rename = Entry(DeviceMenu(w, 1), "Rename...");
        auto run = [&](std::function<void(TDlgRename *)> answer) {
            bool seen = false;
            kxdlg::Answer<TDlgRename, int>(
                [&](TDlgRename *d) {
                    QCOMPARE(d->windowTitle(), QStringLiteral("Rename Bravo1234"));
                    QCOMPARE(_DlgRename, d);
                    QCOMPARE(d->Edit1->text(), QString());
                    answer(d);
                },
                [&] {
                    rename->trigger();
                    return 0;
                },
                &seen);
            QVERIFY(seen);
            QCOMPARE(_DlgRename, nullptr);
        };
        run([](TDlgRename *d) {
            d->Edit1->setText(QStringLiteral("Nothing"));
            d->Button2->click();
        });
        // Enter on the focused Cancel cancels too.
        run([](TDlgRename *d) {
            d->Edit1->setText(QStringLiteral("Nothing"));
            QVERIFY(QTest::qWaitForWindowActive(d));
            d->Button2->setFocus(Qt::TabFocusReason);
            QTest::keyClick(d->Button2, Qt::Key_Return);
        });
        char name[32] = {};
        QVERIFY(_GetDeviceName(1, name, sizeof name));
        QCOMPARE(std::string(name), std::string("Bravo12345"));

        run([](TDlgRename *d) { d->Button1->click(); });   // empty text
        QVERIFY(_GetDeviceName(1, name, sizeof name));
        QCOMPARE(std::string(name), std::string());

        QCOMPARE(_RenameDevice(1, "LongName10"), true);
        Popup(w, QPoint(20, 20));
        QCOMPARE(DeviceMenu(w, 1)->title(), QStringLiteral("LongName1"));
        QCOMPARE(Texts(), Texts_t{});
    }

    // The window destroyed while its rename dialog is open: nothing is renamed
    // and nothing of the window is touched afterwards.
    void windowClosedDuringRename()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01:Alpha"));
        TDlgTavel *w = Open();
        QPointer<TDlgTavel> window(w);
        Popup(w, QPoint(20, 20));
        QAction *rename = Entry(DeviceMenu(w, 0), "Rename...");
        bool seen = false;
        kxdlg::Answer<TDlgRename, int>(
            [](TDlgRename *d) {
                d->Edit1->setText(QStringLiteral("Other"));
                _CloseSetupWin();
            },
            [&] {
                rename->trigger();
                return 0;
            },
            &seen);
        QVERIFY(seen);
        QCOMPARE(_DlgTavel, nullptr);
        QCOMPARE(_DlgRename, nullptr);
        QVERIFY(Gone(window));
        char name[16] = {};
        QVERIFY(_GetDeviceName(0, name, sizeof name));
        QCOMPARE(std::string(name), std::string("Alpha"));
        QCOMPARE(Texts(), Texts_t{});
    }

    // The window destroyed while the setup dialog of a double-clicked row is
    // open: the double click goes no further into the deleted list.
    void windowClosedDuringDoubleClickSetup()
    {
        TwoBoards();
        TDlgTavel *w = Open();
        QPointer<TDlgTavel> window(w);
        Tick(w);
        Select(w, 1);   // X2
        bool seen = false;
        kxdlg::Answer<TDlgMotorSetup, int>(
            [](TDlgMotorSetup *d) {
                _CloseSetupWin();
                d->Button2->click();
            },
            [&] {
                QTest::mouseDClick(w->LvMotorList->viewport(), Qt::LeftButton, {}, OnRow(w, 1));
                return 0;
            },
            &seen);
        QVERIFY(seen);
        QCOMPARE(_DlgTavel, nullptr);
        QCOMPARE(_SM_GetCountInAll(), 5u);
        QVERIFY(Gone(window));
        QCOMPARE(Texts(), Texts_t{});
    }

    // The window closed from inside the "Value must be number!" box, while the
    // edit is still emitting its change: the edit's own code that follows the
    // handler must find it alive; the window goes once that code has returned.
    void windowClosedDuringTypeErrorBox()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01"));
        TDlgTavel *w = Open();
        w->EbDestination->setText(QString());
        QCOMPARE(Texts(), Texts_t{});
        std::vector<std::string> shown;
        SetMessageBoxHook([&](QWidget *, const std::string &text, const std::string &, MsgIcon) {
            shown.push_back(text);
            _CloseSetupWin();
            QCOMPARE(_DlgTavel, nullptr);
            QVERIFY(!_IsSetupWinOpened());
        });
        QPointer<TDlgTavel> window(w);
        QTest::keyClick(w->EbDestination, Qt::Key_A);
        SetMessageBoxHook({});
        delete boxes_;
        boxes_ = new kxdlg::BoxRecorder;
        QCOMPARE(shown, std::vector<std::string>{"Value must be number!"});
        QVERIFY(window);
        QVERIFY(!window->isVisible());
        QVERIFY(!window->Timer->isActive());
        QCOMPARE(window->EbDestination->text(), QString());
        QVERIFY(Gone(window));
        // A new window is a new instance, as after any close.
        QVERIFY(Open() != nullptr);
    }

    void addMotorFromTheMenu()
    {
        TwoBoards();
        TDlgTavel *w = Open();
        Tick(w);
        Popup(w, QPoint(20, 20));
        bool seen = false;
        kxdlg::Answer<TDlgMotorSetup, int>(
            [](TDlgMotorSetup *d) {
                d->EBName->setText(QStringLiteral("New"));
                d->Button1->click();
            },
            [&] {
                Entry(DeviceMenu(w, 0), "Add motor...")->trigger();
                return 0;
            },
            &seen);
        QVERIFY(seen);
        QCOMPARE(_SM_GetCount(0), 3);
        Tick(w);
        QCOMPARE(TDlgTavel::RowName(Row(w, 5)), std::string("New"));
    }

    void releaseAllMotorsReleasesMotorZeroOnly()
    {
        QVERIFY(kxdlg::Boards(dir_, "TRUV-kq4:SA01"));
        Add(0, Record(3, 0x01, "A"));
        Add(0, Record(1, 0x81, "B"));
        Add(0, Record(2, 0x21, "C"));
        TDlgTavel *w = Open();
        Popup(w, QPoint(20, 20));
        simbus::ClearCalls();
        Entry(DeviceMenu(w, 0), "Release all motors")->trigger();
        const auto writes = simbus::Writes("SA01");
        QCOMPARE(writes.size(), size_t(1));
        QCOMPARE(writes[0], (std::vector<uint8_t>{ReleaseCode(3), 0xF0}));
        QCOMPARE(Texts(), Texts_t{});
    }
};

QTEST_MAIN(TestTavel)
#include "tavel_test.moc"

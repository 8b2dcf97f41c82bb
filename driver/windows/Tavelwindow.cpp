// Tavelwindow.cpp - the control window: its form, the 500 ms refresh of the
// motor list, the motor commands of the "Move to..." group and of the popup
// menu, the per-board device submenus with the rename dialog, and the window
// and shut-down exports of the library.
#include "Tavelwindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCursor>
#include <QDialog>
#include <QEvent>
#include <QFont>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QRadialGradient>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <locale.h>
#include <mutex>
#include <stdexcept>
#include <stdlib.h>

#include "formmetrics.h"
#include "hardware.h"
#include "hwrename.h"
#include "lifetime.h"
#include "motor.h"
#include "msetup.h"

TDlgTavel *_DlgTavel = nullptr;

namespace {

// Shut-downs from threads other than the window's (CloseFromOtherThread),
// counted. A window stops refreshing once the count differs from the one it
// was created under. The refresh checks that under WindowLock around its
// device-list calls that may open boards (StillRefreshing), and the count is
// raised under the same lock, so once a shut-down has raised it no refresh is
// running and none starts. See the lock order in hardware.h. It guards no
// field (the count is atomic); the analysis checks that it is taken before the
// device list's lock.
kx::Mutex WindowLock ACQUIRED_BEFORE(DeviceListLock);
std::atomic<unsigned> OtherThreadCloses{0};

// Item data of a row of LvMotorList (column 0).
constexpr int kSerialRole = Qt::UserRole;      // quintptr: const char* into FSerials
constexpr int kNameRole = Qt::UserRole + 1;    // QByteArray: the motor name's bytes
constexpr int kImageRole = Qt::UserRole + 2;   // int: MotorStateIcon

constexpr int kColumns = 14;

const char *const kColumnTitles[kColumns] = {
    "Name", "Device", "Address",      "Type",          "Position",      "Destination", "Length",
    "Coef", "Offset", "Acceleration", "Min step time", "Max step time", "Half steps",  "Auto release",
};
const int kColumnWidths[kColumns] = {60, 60, 40, 90, 65, 65, 70, 70, 70, 75, 80, 80, 65, 75};

constexpr char kSelectMotor[] = "You must select motor from the list!";
constexpr char kError[] = "Error";
constexpr char kUnplugged[] = "!\nDevice is unpluged";
constexpr char kCantReset[] = "Can't reset";
constexpr char kResetRunning[] = "Attempt to reset running motor failed.\rStop the motor before reset please.";

// The error a command lets escape when a text is not a floating point number.
class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const std::string &text) : std::runtime_error(text) {}
};

using msetup::CLocale;
using msetup::CLocaleScope;
using msetup::OnGuiThread;

QString G6(double v) { return QString::fromStdString(msetup::FormatG6(v)); }

// A 16 x 16 lamp of the given colour.
QIcon Lamp(const QColor &colour)
{
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient g(QPointF(6, 6), 8);
    g.setColorAt(0, colour.lighter(170));
    g.setColorAt(1, colour.darker(130));
    p.setBrush(g);
    p.setPen(QPen(colour.darker(200), 1));
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    p.end();
    // The same picture on a selected row: the style would tint it otherwise.
    QIcon icon;
    icon.addPixmap(pm, QIcon::Normal);
    icon.addPixmap(pm, QIcon::Selected);
    return icon;
}

// Watches the window across a call that may close it: false once the window
// was destroyed or closed for good meanwhile (the caller must return at once).
class Alive {
public:
    explicit Alive(TDlgTavel *w) : w_(w) {}
    explicit operator bool() const { return w_ && !w_->Retired(); }
    bool operator!() const { return !static_cast<bool>(*this); }

private:
    QPointer<TDlgTavel> w_;
};

// A menu caption shown as it stands: '&' marks no accelerator.
QString MenuText(const QByteArray &caption)
{
    QString s = QString::fromUtf8(caption);
    s.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return s;
}

QLabel *MakeLabel(QWidget *parent, const char *name, const QString &text, int x, int y, int w = -1)
{
    auto *l = new QLabel(text, parent);
    if (name != nullptr)
        l->setObjectName(QString::fromLatin1(name));
    if (w < 0) {
        l->adjustSize();
        l->move(x, y);
    } else {
        l->setGeometry(x, y, w, 13);
    }
    return l;
}

QPushButton *MakeButton(QWidget *parent, const char *name, const char *text, int x, int y, int w)
{
    auto *b = new QPushButton(QString::fromLatin1(text), parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(x, y, w, 21);
    b->setAutoDefault(false);
    return b;
}

}   // namespace

// ---- Number texts --------------------------------------------------------------

QString tavel::DecimalSeparator()
{
    const QString sep = QLocale().decimalPoint();
    return sep.isEmpty() ? QStringLiteral(".") : sep;
}

int tavel::ScanFloat(const QString &text, float *value)
{
    const QByteArray bytes = text.toUtf8();
    float v = 0.0f;
    int n;
    {
        CLocaleScope c;
        n = std::sscanf(bytes.constData(), "%g", &v);
    }
    if (n == 1 && value != nullptr)
        *value = v;
    return n;
}

bool tavel::TextToFloat(const QString &text, double *value)
{
    const QString sep = DecimalSeparator();
    const qsizetype n = text.size();
    qsizetype i = 0;
    std::string buf;   // the number in C form
    auto digit = [&](qsizetype k) { return k < n && text[k] >= QLatin1Char('0') && text[k] <= QLatin1Char('9'); };
    while (i < n && text[i] == QLatin1Char(' '))
        ++i;
    if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
        buf += static_cast<char>(text[i++].unicode());
    int digits = 0;
    bool separator = false;
    for (;;) {
        if (digit(i)) {
            buf += static_cast<char>(text[i++].unicode());
            ++digits;
        } else if (!separator && QStringView(text).mid(i).startsWith(sep)) {
            buf += '.';
            separator = true;
            i += sep.size();
        } else {
            break;
        }
    }
    if (digits == 0)
        return false;
    if (i < n && (text[i] == QLatin1Char('e') || text[i] == QLatin1Char('E'))) {
        buf += 'e';
        ++i;
        if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
            buf += static_cast<char>(text[i++].unicode());
        int exponentDigits = 0;
        while (digit(i)) {
            buf += static_cast<char>(text[i++].unicode());
            ++exponentDigits;
        }
        if (exponentDigits == 0)
            return false;
    }
    while (i < n && text[i] == QLatin1Char(' '))
        ++i;
    if (i != n)
        return false;
    const double v = strtod_l(buf.c_str(), nullptr, CLocale());
    if (!std::isfinite(v))
        return false;   // beyond the double range
    if (value != nullptr)
        *value = v;
    return true;
}

QString tavel::FloatToStr(double value)
{
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("INF") : QStringLiteral("-INF");
    char buf[64];
    {
        CLocaleScope c;
        std::snprintf(buf, sizeof buf, "%.15g", value);
        const char *e = std::strchr(buf, 'e');
        if (e != nullptr && std::atoi(e + 1) == -5) {
            // 0.00001 up to 0.0001 stays in fixed notation: 15 significant digits.
            std::snprintf(buf, sizeof buf, "%.19f", value);
            char *end = buf + std::strlen(buf);
            while (end > buf && end[-1] == '0')
                *--end = '\0';
            if (end > buf && end[-1] == '.')
                *--end = '\0';
        }
    }
    std::string s(buf);
    const size_t e = s.find('e');
    if (e != std::string::npos) {
        // "1.5e-07" -> "1.5E-7", "1e+20" -> "1E20"
        std::string mantissa = s.substr(0, e);
        const int exponent = std::atoi(s.c_str() + e + 1);
        s = mantissa + "E" + std::to_string(exponent);
    }
    QString out = QString::fromLatin1(s.c_str());
    const QString sep = DecimalSeparator();
    if (sep != QStringLiteral("."))
        out.replace(QLatin1Char('.'), sep);
    return out;
}

// ---- Form ------------------------------------------------------------------------

TDlgTavel::TDlgTavel(QWidget *Owner) : QWidget(Owner, Qt::Window)
{
    setObjectName(QStringLiteral("DlgTavel"));
    setAttribute(Qt::WA_QuitOnClose, false);   // closing only hides it
    BuildForm();
    BuildMenu();

    // Event bindings. Every handler runs through the window's event dispatch.
    connect(Timer, &QTimer::timeout, this, [this] { Dispatch([this] { TimerTimer(Timer); }); });
    connect(LvMotorList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection &selected, const QItemSelection &deselected) {
                Dispatch([&] {
                    for (const QModelIndex &ix : deselected.indexes())
                        if (ix.column() == 0)
                            LvMotorListSelectItem(LvMotorList, LvMotorList->topLevelItem(ix.row()), false);
                    for (const QModelIndex &ix : selected.indexes())
                        if (ix.column() == 0)
                            LvMotorListSelectItem(LvMotorList, LvMotorList->topLevelItem(ix.row()), true);
                });
            });
    LvMotorList->viewport()->installEventFilter(this);
    connect(LvMotorList, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) { PopupMenuAt(pos); });
    connect(EbDestination, &QLineEdit::textChanged, this,
            [this] { Dispatch([this] { EbDestinationChange(EbDestination); }); });
    connect(BttnSet, &QPushButton::clicked, this, [this] { Dispatch([this] { BttnSetClick(BttnSet); }); });
    connect(BttnMoveAbs, &QPushButton::clicked, this, [this] { Dispatch([this] { BttnMoveAbsClick(BttnMoveAbs); }); });
    connect(BttnMoveRel, &QPushButton::clicked, this, [this] { Dispatch([this] { BttnMoveAbsClick(BttnMoveRel); }); });
    connect(BttnStop, &QPushButton::clicked, this, [this] { Dispatch([this] { BttnStopClick(BttnStop); }); });
    // A change of the box's state, by a click or by the program, is its click.
    connect(ChBZero, &QCheckBox::toggled, this, [this] { Dispatch([this] { ChBZeroClick(ChBZero); }); });
    connect(BttnRun, &QPushButton::clicked, this, [this] { Dispatch([this] { BttnRunClick(BttnRun); }); });
    connect(BttnStopAll, &QPushButton::clicked, this, [this] { Dispatch([this] { BttnStopAllClick(BttnStopAll); }); });
    connect(PmMenu, &QMenu::aboutToShow, this, [this] { Dispatch([this] { PmMenuPopup(PmMenu); }); });
    connect(PmRelAll, &QAction::triggered, this, [this] { Dispatch([this] { PmRelAllClick(PmRelAll); }); });
    connect(PmSetup, &QAction::triggered, this, [this] { Dispatch([this] { LvMotorListDblClick(PmSetup); }); });
    connect(PmInitialize, &QAction::triggered, this, [this] { Dispatch([this] { PmInitializeClick(PmInitialize); }); });
    connect(PmZero, &QAction::triggered, this, [this](bool checked) {
        // A click on the entry leaves its check mark as it was.
        PmZero->setChecked(!checked);
        Dispatch([this] { PmZeroClick(PmZero); });
    });
    connect(PmReset, &QAction::triggered, this, [this] { Dispatch([this] { PmResetClick(PmReset); }); });
    connect(PmRelease, &QAction::triggered, this, [this] { Dispatch([this] { PmReleaseClick(PmRelease); }); });
    connect(PmRemove, &QAction::triggered, this, [this] { Dispatch([this] { PmRemoveClick(PmRemove); }); });

    FClosed = false;
    FInsertIndex = -1;
    FCloseCount = OtherThreadCloses.load(std::memory_order_acquire);
    ClearInfo();
    Timer->start();
}

TDlgTavel::~TDlgTavel()
{
    if (_DlgTavel == this)
        _DlgTavel = nullptr;
    Timer->stop();
    FormDestroy(this);
}

void TDlgTavel::BuildForm()
{
    setWindowTitle(QStringLiteral("TRUV - Stepper Motor Control Unit"));
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    resize(941, 414);
    setMinimumSize(490, 390);

    ImageList1 = {Lamp(QColor(220, 30, 30)), Lamp(QColor(30, 190, 40)), Lamp(QColor(240, 210, 20))};
    setWindowIcon(ImageList1[1]);

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    LvMotorList = new QTreeWidget(this);
    LvMotorList->setObjectName(QStringLiteral("LvMotorList"));
    LvMotorList->resize(711, 380);
    LvMotorList->setColumnCount(kColumns);
    QStringList titles;
    for (const char *t : kColumnTitles)
        titles << QString::fromLatin1(t);
    LvMotorList->setHeaderLabels(titles);
    LvMotorList->setRootIsDecorated(false);
    LvMotorList->setItemsExpandable(false);
    LvMotorList->setUniformRowHeights(true);
    LvMotorList->setSelectionMode(QAbstractItemView::SingleSelection);
    LvMotorList->setSelectionBehavior(QAbstractItemView::SelectRows);
    LvMotorList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    LvMotorList->setAllColumnsShowFocus(true);
    LvMotorList->setIconSize(QSize(16, 16));
    LvMotorList->setContextMenuPolicy(Qt::CustomContextMenu);
    FitColumns();
    {
        // The selection stays visible when the list loses the focus.
        QPalette pal = LvMotorList->palette();
        pal.setColor(QPalette::Inactive, QPalette::Highlight, pal.color(QPalette::Active, QPalette::Highlight));
        pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     pal.color(QPalette::Active, QPalette::HighlightedText));
        LvMotorList->setPalette(pal);
    }
    layout->addWidget(LvMotorList, 1);

    // The side panel. Its pixel positions hold while the texts fit at the
    // window's font; where they don't, values go right of the widest caption,
    // and controls and the panel grow to the longest text they show.
    const QFontMetrics fm = fontMetrics();
    const int lineH = std::max(13, fm.height());
    const int rowH = std::max(16, lineH + 3);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    layout->addWidget(Panel1);
    auto *side = new QVBoxLayout(Panel1);
    side->setContentsMargins(0, 0, 0, 0);
    side->setSpacing(0);

    Panel2 = new QFrame(Panel1);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    side->addWidget(Panel2);
    side->addStretch(1);

    // The info labels: captions at x 24, values at x 128, one row every 16 px.
    struct InfoRow {
        const char *caption;
        const char *name;
        QLabel **label;
    };
    const InfoRow rows[] = {
        {"Device:", "LDev", &LDev},
        {"Address:", "LAddr", &LAddr},
        {"Type motor:", "LTyp", &LTyp},
        {"Lenght:", "LLen", &LLen},
        {"Coef", "LCoef", &LCoef},
        {"Offset:", "LOff", &LOff},
        {"Acceleration lenght:", "LAccel", &LAccel},
        {"Min step time:", "LMin", &LMin},
        {"Max step time:", "LMax", &LMax},
        {"Half steps:", "LSteps", &LSteps},
        {"Auto release:", "LFix", &LFix},
    };
    int captionW = 0;
    for (const InfoRow &r : rows)
        captionW = std::max(captionW, fm.horizontalAdvance(QString::fromLatin1(r.caption)));
    const int valueX = std::max(128, 24 + captionW + 6);
    const int valueW = std::max(
        90, formmetrics::WidestText(fm, formmetrics::MotorTypeNames() + formmetrics::NumberSamples() +
                                            QStringList{QStringLiteral("Unplugged"), formmetrics::BoardNameSample()}));
    int y = 16;
    int n = 1;
    for (const InfoRow &r : rows) {
        MakeLabel(Panel2, QStringLiteral("Label%1").arg(n++).toLatin1().constData(), QString::fromLatin1(r.caption), 24,
                  y);
        *r.label = MakeLabel(Panel2, r.name, QString::fromLatin1(r.name), valueX, y, valueW);
        (*r.label)->resize(valueW, lineH);
        y += rowH;
    }
    const int infoW = valueX + valueW + 4;

    // "Move to...": three columns (captions and Move abs / position, target
    // edit and Move rel / Zero, Set target and Stop), 7 px apart.
    GroupBox1 = new QGroupBox(QStringLiteral("Move to..."), Panel2);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    QLabel *positionCaption = MakeLabel(GroupBox1, "Label12", QStringLiteral("Position:"), 16, 24);
    LPos = MakeLabel(GroupBox1, "LPos", QStringLiteral("LPos"), 80, 24, 62);
    QFont bold = LPos->font();
    bold.setBold(true);
    LPos->setFont(bold);
    LPosReal = MakeLabel(GroupBox1, "LPosReal", QStringLiteral("LPosReal"), 80, 40, 62);
    Panel3 = new QFrame(GroupBox1);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    ChBZero = new QCheckBox(QStringLiteral("Zero"), Panel3);
    ChBZero->setObjectName(QStringLiteral("ChBZero"));
    QLabel *destinationCaption = MakeLabel(GroupBox1, "Label13", QStringLiteral("Destination:"), 16, 76);
    EbDestination = new QLineEdit(QStringLiteral("0"), GroupBox1);
    EbDestination->setObjectName(QStringLiteral("EbDestination"));
    EbDestination->resize(57, 21);
    BttnSet = MakeButton(GroupBox1, "BttnSet", "Set target", 144, 68, 59);
    BttnMoveAbs = MakeButton(GroupBox1, "BttnMoveAbs", "Move abs", 16, 106, 57);
    BttnMoveRel = MakeButton(GroupBox1, "BttnMoveRel", "Move rel", 80, 106, 57);
    BttnStop = MakeButton(GroupBox1, "BttnStop", "Stop", 144, 106, 57);

    const int moveAbsW = formmetrics::ButtonWidth(BttnMoveAbs, 57);
    const int col2X = std::max(
        {80, 16 + std::max(positionCaption->width(), destinationCaption->width()) + 6, 16 + moveAbsW + 7});
    const int posW = std::max(62, formmetrics::WidestText(LPos->fontMetrics(), formmetrics::NumberSamples()));
    const int editW = formmetrics::EditWidth(EbDestination, formmetrics::NumberSamples(), 57);
    const int moveRelW = formmetrics::ButtonWidth(BttnMoveRel, 57);
    const int col3X = std::max({144, col2X + posW + 2, col2X + editW + 7, col2X + moveRelW + 7});
    const int zeroW = formmetrics::CheckBoxWidth(ChBZero, 57);
    const int setW = formmetrics::ButtonWidth(BttnSet, 59);
    const int stopW = formmetrics::ButtonWidth(BttnStop, 57);
    const int groupW = std::max(222, col3X + std::max({zeroW, setW, stopW}) + 19);
    BttnMoveAbs->resize(moveAbsW, 21);
    LPos->setGeometry(col2X, 24, posW, lineH);
    LPosReal->setGeometry(col2X, 40, posW, lineH);
    EbDestination->move(col2X, 68);
    EbDestination->resize(editW, 21);
    BttnMoveRel->setGeometry(col2X, 106, moveRelW, 21);
    Panel3->setGeometry(col3X, 24, zeroW, 17);
    ChBZero->setGeometry(0, 0, zeroW, 17);
    BttnSet->setGeometry(col3X, 68, setW, 21);
    BttnStop->setGeometry(col3X, 106, stopW, 21);

    const int panelW = std::max(infoW, groupW);
    const int groupY = std::max(348 - 142, y + 14);
    GroupBox1->setGeometry(0, groupY, panelW, 142);
    Panel1->setFixedWidth(panelW);
    Panel2->setFixedSize(panelW, groupY + 142);
    setTabOrder(EbDestination, BttnSet);
    setTabOrder(BttnSet, BttnMoveAbs);
    setTabOrder(BttnMoveAbs, BttnStop);
    setTabOrder(BttnStop, BttnMoveRel);
    setTabOrder(BttnMoveRel, ChBZero);

    // Run All / Stop All, kept at the bottom edge.
    auto *bottom = new QWidget(Panel1);
    bottom->setFixedSize(panelW, 32);
    side->addWidget(bottom);
    BttnRun = MakeButton(bottom, "BttnRun", "Run All", 32, 7, 75);
    BttnStopAll = MakeButton(bottom, "BttnStopAll", "Stop All", 126, 7, 75);
    BttnRun->resize(formmetrics::ButtonWidth(BttnRun, 75), 21);
    BttnStopAll->setGeometry(std::max(126, BttnRun->geometry().right() + 20), 7,
                             formmetrics::ButtonWidth(BttnStopAll, 75), 21);

    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setInterval(500);
}

void TDlgTavel::FitColumns()
{
    // A row of the longest texts each column shows, measured as the list
    // measures its rows, then taken away again.
    QStringList sample = {formmetrics::MotorNameSample(), formmetrics::BoardNameSample(), QStringLiteral("Unplugged")};
    const QFontMetrics fm = LvMotorList->fontMetrics();
    QString type;
    for (const QString &t : formmetrics::MotorTypeNames())
        if (fm.horizontalAdvance(t) > fm.horizontalAdvance(type))
            type = t;
    QString number;
    for (const QString &t : formmetrics::NumberSamples())
        if (fm.horizontalAdvance(t) > fm.horizontalAdvance(number))
            number = t;
    sample << type;
    for (int k = 0; k < 5; ++k)
        sample << number;
    sample << QStringLiteral("-128") << QStringLiteral("65535") << QStringLiteral("65535") << QStringLiteral("Off")
           << QStringLiteral("Off");
    auto *row = new QTreeWidgetItem(sample);
    row->setIcon(0, ImageList1[1]);
    LvMotorList->addTopLevelItem(row);
    QAbstractItemView *view = LvMotorList;
    for (int c = 0; c < kColumns; ++c)
        LvMotorList->setColumnWidth(
            c, std::max({kColumnWidths[c], LvMotorList->header()->sectionSizeHint(c), view->sizeHintForColumn(c)}));
    delete row;
}

void TDlgTavel::BuildMenu()
{
    PmMenu = new QMenu(this);
    PmMenu->setObjectName(QStringLiteral("PmMenu"));
    PmDev = new QMenu(QStringLiteral("Devices"), PmMenu);
    PmDev->setObjectName(QStringLiteral("PmDev"));
    PmMenu->addMenu(PmDev);
    auto entry = [this](const char *name, const char *caption, const QKeySequence &key, bool enabled) {
        auto *a = new QAction(QString::fromLatin1(caption), PmMenu);
        a->setObjectName(QString::fromLatin1(name));
        if (!key.isEmpty()) {
            a->setShortcut(key);
            a->setShortcutContext(Qt::WidgetShortcut);
        }
        a->setEnabled(enabled);
        PmMenu->addAction(a);
        // The popup's shortcuts work while the list has the focus.
        LvMotorList->addAction(a);
        return a;
    };
    PmRelAll = entry("PmRelAll", "Release all", QKeySequence(), true);
    N1 = PmMenu->addSeparator();
    N1->setObjectName(QStringLiteral("N1"));
    PmSetup = entry("PmSetup", "Setup", QKeySequence(Qt::CTRL | Qt::Key_S), false);
    PmInitialize = entry("PmInitialize", "Initialize", QKeySequence(Qt::CTRL | Qt::Key_I), false);
    PmZero = entry("PmZero", "Set zero", QKeySequence(Qt::CTRL | Qt::Key_Z), false);
    PmZero->setCheckable(true);
    PmReset = entry("PmReset", "Reset", QKeySequence(Qt::CTRL | Qt::Key_R), false);
    PmRelease = entry("PmRelease", "Release", QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_R), false);
    PmRemove = entry("PmRemove", "Remove", QKeySequence(Qt::SHIFT | Qt::Key_Delete), false);
}

void TDlgTavel::closeEvent(QCloseEvent *event)
{
    CloseAction action = CloseAction::caHide;
    FormClose(this, action);
    switch (action) {
    case CloseAction::caNone: event->ignore(); break;
    case CloseAction::caMinimize:
        event->ignore();
        showMinimized();
        break;
    case CloseAction::caHide:
    case CloseAction::caFree: event->accept(); break;
    }
}

void TDlgTavel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (FFirstShow) {
        FFirstShow = false;
        // 941 x 414 is the size with the frame, known once the window is shown.
        const QSize frame = frameGeometry().size() - size();
        resize(QSize(941, 414) - frame);
        if (QScreen *screen = QGuiApplication::primaryScreen()) {
            QRect r = frameGeometry();
            r.moveCenter(screen->availableGeometry().center());
            move(r.topLeft());
        }
    }
    // Shown again after the user closed it: the refresh resumes.
    FClosed = false;
}

bool TDlgTavel::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == LvMotorList->viewport() && event->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        Alive self(this);
        Dispatch([this] { LvMotorListDblClick(LvMotorList); });
        // The window was closed for good while the setup dialog ran: the event
        // must go no further.
        if (!self)
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

template <class F> void TDlgTavel::Dispatch(F &&handler)
{
    if (FRetired)
        return;   // closed for good: it only waits for its deletion
    ++FHandlerDepth;
    QPointer<TDlgTavel> window(this);
    Alive self(this);
    try {
        handler();
    } catch (const std::exception &e) {
        if (self)
            KxMessageBox(this, e.what(), kError, MsgIcon::Error);
    } catch (...) {
        if (self)
            KxMessageBox(this, "Unknown error", kError, MsgIcon::Error);
    }
    if (!window)
        return;   // deleted by the end of the application meanwhile
    // The outermost handler of a window closed meanwhile: it goes once the Qt
    // code that emitted the signal or delivered the event has unwound.
    if (--FHandlerDepth == 0 && FRetired)
        deleteLater();
}

void TDlgTavel::CloseForGood()
{
    if (_DlgTavel == this)
        _DlgTavel = nullptr;
    if (FHandlerDepth == 0) {
        delete this;
        return;
    }
    if (FRetired)
        return;
    FRetired = true;
    FClosed = true;
    Timer->stop();
    hide();
    // Its open boxes and dialogs return from their loops, its menus close.
    for (QDialog *d : findChildren<QDialog *>())
        if (d->isVisible())
            d->reject();
    for (QMenu *m : findChildren<QMenu *>())
        if (m->isVisible())
            m->hide();
}

bool TDlgTavel::Report(const std::string &text, const std::string &title, MsgIcon icon)
{
    Alive self(this);
    KxMessageBox(this, text, title, icon);
    return static_cast<bool>(self);
}

// ---- Rows --------------------------------------------------------------------------

std::string TDlgTavel::RowName(const QTreeWidgetItem *row)
{
    return row->data(0, kNameRole).toByteArray().toStdString();
}

const char *TDlgTavel::RowSerial(const QTreeWidgetItem *row)
{
    const auto p = row->data(0, kSerialRole).value<quintptr>();
    return p != 0 ? reinterpret_cast<const char *>(p) : "";
}

int TDlgTavel::ImageIndex(const QTreeWidgetItem *row)
{
    bool ok = false;
    const int v = row->data(0, kImageRole).toInt(&ok);
    return ok ? v : -1;
}

void TDlgTavel::SetImageIndex(QTreeWidgetItem *row, int index)
{
    row->setData(0, kImageRole, index);
    row->setIcon(0, index >= 0 && index < ImageList1.size() ? ImageList1[index] : QIcon());
}

QString TDlgTavel::SubItem(const QTreeWidgetItem *row, int k) { return row->text(k + 1); }

void TDlgTavel::SetCell(QTreeWidgetItem *row, int k, const QString &text)
{
    if (row->text(k + 1) != text)
        row->setText(k + 1, text);
}

void TDlgTavel::SetRowName(QTreeWidgetItem *row, const std::string &name)
{
    row->setData(0, kNameRole, QByteArray(name.data(), static_cast<qsizetype>(name.size())));
    row->setText(0, QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
}

std::vector<QTreeWidgetItem *> TDlgTavel::SelectedRows() const
{
    std::vector<QTreeWidgetItem *> rows;
    const int n = LvMotorList->topLevelItemCount();
    for (int i = 0; i < n; ++i) {
        QTreeWidgetItem *row = LvMotorList->topLevelItem(i);
        if (row->isSelected())
            rows.push_back(row);
    }
    return rows;
}

// ---- Refresh ---------------------------------------------------------------------------

void TDlgTavel::ClearInfo()
{
    for (QLabel *l : {LDev, LAddr, LTyp, LPos, LLen, LCoef, LOff, LAccel, LMin, LMax, LPosReal, LSteps, LFix})
        l->setText(QString());
    EbDestination->setText(QStringLiteral("0"));
}

bool TDlgTavel::Stopped() const { return FCloseCount != OtherThreadCloses.load(std::memory_order_acquire); }

bool TDlgTavel::StillRefreshing(const std::function<void()> &call)
{
    kx::LockGuard<kx::Mutex> lock(WindowLock);
    if (Stopped())
        return false;
    call();
    return true;
}

void TDlgTavel::CloseFromOtherThread()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (qobject_cast<QApplication *>(app) == nullptr)
        return;   // no application, no window
    {
        std::unique_lock<kx::Mutex> lock(WindowLock, std::defer_lock);
        // A host handler inside a tick doesn't wait for a refresh in progress:
        // that refresh may be starting the tick and so waiting for this thread.
        if (OnTickThread())
            (void)lock.try_lock();
        else
            lock.lock();
        OtherThreadCloses.fetch_add(1, std::memory_order_acq_rel);
    }
    QMetaObject::invokeMethod(
        app,
        [] {
            if (_DlgTavel != nullptr && _DlgTavel->Stopped()) {
                TDlgTavel *w = _DlgTavel;
                _DlgTavel = nullptr;
                w->CloseForGood();
            }
        },
        Qt::QueuedConnection);
}

void TDlgTavel::TimerTimer(QObject *)
{
    if (FClosed)
        return;
    if (!StillRefreshing([] { (void)_RefreshDevices(); }))
        return;
    RefreshMotorList();
    UpdateMotorIcons();
}

void TDlgTavel::RefreshMotorList()
{
    Alive self(this);
    unsigned n = 0;
    if (!StillRefreshing([&n] { n = _GetDevicesCount(); }))
        return;
    for (unsigned d = 0; d < n; ++d) {
        char serial[64] = {};
        char name[10] = {};
        (void)_GetDeviceSernum(d, serial, sizeof serial);
        (void)_GetDeviceName(d, name, sizeof name);
        const QString boardName = QString::fromUtf8(name);
        const int c = _SM_GetCount(d);
        for (unsigned m = 0; c > 0 && m < static_cast<unsigned>(c); ++m) {
            SMotorSettings info;
            std::memset(&info, 0, sizeof info);
            (void)_SM_GetInfo(d, m, &info);
            const std::string motorName(info.Name, strnlen(info.Name, sizeof info.Name));

            QTreeWidgetItem *row;
            int index = 0;
            if (FindMotorItem(serial, motorName, index)) {
                row = LvMotorList->topLevelItem(index);
            } else {
                row = new QTreeWidgetItem();
                for (int k = 1; k < kColumns; ++k)
                    row->setText(k, QString());
                if (FInsertIndex < 0) {
                    LvMotorList->addTopLevelItem(row);
                } else {
                    LvMotorList->insertTopLevelItem(std::min(FInsertIndex, LvMotorList->topLevelItemCount()), row);
                    FInsertIndex = -1;
                }
                FSerials.emplace_back(serial);
                row->setData(0, kSerialRole,
                             QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(FSerials.back().c_str())));
                SetImageIndex(row, 1);
                // The new row takes the focus and the selection; the selection
                // handler runs now, while its cells are still empty.
                LvMotorList->setCurrentItem(row);
                if (!self)
                    return;
            }

            if (RowName(row) != motorName || row->data(0, kNameRole).isNull())
                SetRowName(row, motorName);

            const double position = _SM_GetPosition(d, m);
            const QString positionText = G6(position);
            SetCell(row, 0, boardName);
            SetCell(row, 1, info.Address == 0 ? QStringLiteral("Unplugged") : QString::number(info.Address));
            SetCell(row, 2, QString::fromLatin1(GetMotorTypeName(info.TypeCode)));
            SetCell(row, 3, positionText);
            if (row->isSelected()) {
                LPos->setText(positionText);
                LPosReal->setText(G6(_SM_GetRealPosition(d, m)));
            }
            SetCell(row, 4, G6(_SM_GetTarget(d, m)));
            // A coefficient of 0 makes every length read 0, as every position does.
            const double coefficient = info.Coefficient;
            SetCell(row, 5, G6(coefficient == 0.0 ? 0.0 : static_cast<double>(info.TravelLength) / coefficient));
            SetCell(row, 6, G6(coefficient));
            SetCell(row, 7, G6(info.StartPosition));
            SetCell(row, 8, QString::number(info.AccelLength));
            SetCell(row, 9, QString::number(info.MinStepTime));
            SetCell(row, 10, QString::number(info.MaxStepTime));
            SetCell(row, 11, info.HalfSteps != 0 ? QStringLiteral("On") : QStringLiteral("Off"));
            SetCell(row, 12, info.AutoRelease != 0 ? QStringLiteral("On") : QStringLiteral("Off"));
        }
    }
}

bool TDlgTavel::FindMotorItem(const char *serial, const std::string &name, int &index)
{
    const int n = LvMotorList->topLevelItemCount();
    if (n == 0)
        return false;
    for (int i = 0; i < n; ++i) {
        const QTreeWidgetItem *row = LvMotorList->topLevelItem(i);
        if (std::strcmp(RowSerial(row), serial) == 0 && RowName(row) == name) {
            index = i;
            return true;
        }
    }
    index = 0;
    return false;
}

void TDlgTavel::UpdateMotorIcons()
{
    const int n = LvMotorList->topLevelItemCount();
    for (int i = 0; i < n && i < LvMotorList->topLevelItemCount(); ++i) {
        QTreeWidgetItem *row = LvMotorList->topLevelItem(i);
        const std::string name = RowName(row);
        unsigned d = 0, m = 0;
        int icon = 0;
        if (_SM_GetIndex(&d, &m, name.c_str(), RowSerial(row), -1) > 0 && _CheckDeviceConnection(d))
            icon = _SM_IsRunning(d, m) ? 2 : 1;
        SetImageIndex(row, icon);
    }
}

void TDlgTavel::LvMotorListSelectItem(QObject *, QTreeWidgetItem *Item, bool Selected)
{
    if (!Selected || Item == nullptr)
        return;
    LDev->setText(SubItem(Item, 0));
    LAddr->setText(SubItem(Item, 1));
    LTyp->setText(SubItem(Item, 2));
    LPos->setText(SubItem(Item, 3));
    LLen->setText(SubItem(Item, 5));
    LCoef->setText(SubItem(Item, 6));
    LOff->setText(SubItem(Item, 7));
    LAccel->setText(SubItem(Item, 8));
    LMin->setText(SubItem(Item, 9));
    LMax->setText(SubItem(Item, 10));
    LSteps->setText(SubItem(Item, 11));
    LFix->setText(SubItem(Item, 12));
    EbDestination->setText(SubItem(Item, 3));
}

void TDlgTavel::FormClose(QObject *, CloseAction &) { FClosed = true; }

void TDlgTavel::FormDestroy(QObject *)
{
    // The rows refer to the serial entries: the list goes first.
    if (LvMotorList != nullptr) {
        LvMotorList->selectionModel()->disconnect(this);
        LvMotorList->viewport()->removeEventFilter(this);
        delete LvMotorList;
        LvMotorList = nullptr;
    }
    FSerials.clear();
}

// ---- Motor commands ------------------------------------------------------------------------

// The per-row loop of the motor commands. With no row selected: the one
// message. Otherwise, for each row selected when the command starts: a row
// whose lamp is red gets `unpluggedPhrase` + name + the unplugged text, any
// other row `act`(row, name). A box ends the loop when it ended the window,
// and so does `act` returning false. True when every row was visited.
template <class Act> bool TDlgTavel::ForEachSelectedMotor(const std::string &unpluggedPhrase, Act &&act)
{
    const std::vector<QTreeWidgetItem *> rows = SelectedRows();
    if (rows.empty()) {
        Report(kSelectMotor, kError);
        return false;
    }
    for (QTreeWidgetItem *row : rows) {
        const std::string name = RowName(row);
        if (ImageIndex(row) <= 0) {
            if (!Report(unpluggedPhrase + name + kUnplugged, kError))
                return false;
            continue;
        }
        if (!act(row, name))
            return false;
    }
    return true;
}

void TDlgTavel::BttnSetClick(QObject *)
{
    const std::string phrase = "Can't set destination for motor ";
    ForEachSelectedMotor(phrase, [&](QTreeWidgetItem *row, const std::string &name) {
        unsigned dev = 0, mot = 0;
        bool done = false;
        if (_SM_GetIndex(&dev, &mot, name.c_str(), RowSerial(row), -1) != 0) {
            double value = 0.0;
            const QString text = EbDestination->text();
            if (!tavel::TextToFloat(text, &value))
                throw EConvertError("'" + text.toStdString() + "' is not a valid floating point value");
            done = _SM_SetDestination(dev, mot, value);
        }
        if (!done)
            return Report(phrase + name + "!", kError);
        row->setText(3 + 1, EbDestination->text());
        return true;
    });
}

void TDlgTavel::BttnMoveAbsClick(QObject *Sender)
{
    const bool relative = Sender == BttnMoveRel;
    float value = 0.0f;
    (void)tavel::ScanFloat(EbDestination->text(), &value);
    const std::string phrase = "Can't move with motor ";
    ForEachSelectedMotor(phrase, [&](QTreeWidgetItem *row, const std::string &name) {
        if (!_SMN_Move(name.c_str(), static_cast<double>(value), relative, 0))
            return Report(phrase + name + "!", kError);
        SetImageIndex(row, 2);
        row->setText(4 + 1, tavel::FloatToStr(_SMN_GetTarget(name.c_str())));
        return true;
    });
}

void TDlgTavel::BttnStopClick(QObject *)
{
    const std::string phrase = "Can't stop motor ";
    ForEachSelectedMotor(phrase, [&](QTreeWidgetItem *row, const std::string &name) {
        unsigned dev = 0, mot = 0;
        const bool done = _SM_GetIndex(&dev, &mot, name.c_str(), RowSerial(row), -1) != 0 && _SM_Stop(dev, mot);
        return done || Report(phrase + name + "!", kError);
    });
}

void TDlgTavel::ChBZeroClick(QObject *)
{
    const bool visited = ForEachSelectedMotor("Can't reset motor ", [&](QTreeWidgetItem *row, const std::string &name) {
        unsigned dev = 0, mot = 0;
        const bool done = _SM_GetIndex(&dev, &mot, name.c_str(), RowSerial(row), -1) != 0 && _SM_SetZero(dev, mot);
        return done || Report("Motor " + name + " is running!\nStop the motor before reset please.", kCantReset);
    });
    if (visited)
        PmZero->setChecked(ChBZero->isChecked());
}

void TDlgTavel::BttnRunClick(QObject *)
{
    const unsigned n = _GetDevicesCount();
    for (unsigned dev = 0; dev < n; ++dev) {
        if (_Run(dev))
            continue;
        char name[10] = {};
        (void)_GetDeviceName(dev, name, sizeof name);
        if (!Report(std::string("Can't move with motors on device ") + name, kError))
            return;
    }
}

void TDlgTavel::BttnStopAllClick(QObject *)
{
    const unsigned n = _GetDevicesCount();
    for (unsigned dev = 0; dev < n; ++dev)
        _StopAll(dev);
}

void TDlgTavel::EbDestinationChange(QObject *)
{
    if (FChecking)
        return;   // the shortening below is checked by the loop itself
    QString text = EbDestination->text();
    int removed = 0;
    // Each character that goes is one message: the text is shortened from its
    // end until it begins with a number or is empty or blank.
    while (tavel::ScanFloat(text, nullptr) == 0) {
        qsizetype cut = 1;
        if (text.size() >= 2 && text.back().isLowSurrogate() && text[text.size() - 2].isHighSurrogate())
            cut = 2;
        text.chop(cut);
        ++removed;
    }
    if (removed == 0)
        return;
    FChecking = true;
    EbDestination->setText(text);
    FChecking = false;
    for (int i = 0; i < removed; ++i)
        if (!Report("Value must be number!", "Type error"))
            return;
}

void TDlgTavel::LvMotorListDblClick(QObject *)
{
    const std::vector<QTreeWidgetItem *> rows = SelectedRows();
    if (rows.empty()) {
        Report(kSelectMotor, "Isn't selected item");
        return;
    }
    QTreeWidgetItem *row = rows.front();
    const std::string name = RowName(row);
    Alive self(this);
    const bool done = _SMN_Setup(name.c_str());
    if (!self || !done)
        return;
    const int index = LvMotorList->indexOfTopLevelItem(row);
    if (index < 0)
        return;
    FInsertIndex = index;
    // No row takes the selection over from the deleted one.
    LvMotorList->selectionModel()->clear();
    delete row;
}

// The popup entries' lookup: the selected row's motor by name and board.
// False, after the message when no row is selected, else silently when the
// motor is not found.
bool TDlgTavel::LookupSelected(QTreeWidgetItem **row, unsigned *dev, unsigned *mot)
{
    const std::vector<QTreeWidgetItem *> rows = SelectedRows();
    if (rows.empty()) {
        Report(kSelectMotor, kError);
        return false;
    }
    *row = rows.front();
    const std::string name = RowName(*row);
    return _SM_GetIndex(dev, mot, name.c_str(), RowSerial(*row), -1) != 0;
}

void TDlgTavel::PmInitializeClick(QObject *)
{
    QTreeWidgetItem *row = nullptr;
    unsigned dev = 0, mot = 0;
    if (!LookupSelected(&row, &dev, &mot))
        return;
    if (!_SM_Initialize(dev, mot))
        Report("Can't initialize motor!", kError);
}

void TDlgTavel::PmZeroClick(QObject *)
{
    QTreeWidgetItem *row = nullptr;
    unsigned dev = 0, mot = 0;
    if (!LookupSelected(&row, &dev, &mot))
        return;
    if (!_SM_SetZero(dev, mot)) {
        Report(kResetRunning, kCantReset, MsgIcon::None);
        return;
    }
    // When box and entry differ, the box changes and runs its own click.
    ChBZero->setChecked(PmZero->isChecked());
}

void TDlgTavel::PmResetClick(QObject *)
{
    QTreeWidgetItem *row = nullptr;
    unsigned dev = 0, mot = 0;
    if (!LookupSelected(&row, &dev, &mot))
        return;
    if (!_SM_Reset(dev, mot))
        Report(kResetRunning, kCantReset, MsgIcon::None);
}

void TDlgTavel::PmRemoveClick(QObject *)
{
    QTreeWidgetItem *row = nullptr;
    unsigned dev = 0, mot = 0;
    if (!LookupSelected(&row, &dev, &mot))
        return;
    // The row goes first; a refused removal brings it back at the end.
    // No row takes the selection over from the deleted one.
    LvMotorList->selectionModel()->clear();
    delete row;
    if (!_SM_Remove(dev, mot))
        Report("Can't remove selected motor!", kError);
}

void TDlgTavel::PmReleaseClick(QObject *)
{
    const std::vector<QTreeWidgetItem *> rows = SelectedRows();
    if (rows.empty()) {
        Report(kSelectMotor, kError);
        return;
    }
    const std::string name = RowName(rows.front());
    if (!_SMN_Release(name.c_str()))
        Report("Can't release selected motor!", kError);
}

void TDlgTavel::PmRelAllClick(QObject *)
{
    if (!_SM_ReleaseAll())
        Report("Can't release some motor!", kError);
}

// ---- Device menus --------------------------------------------------------------------------

void TDlgTavel::PopupMenuAt(const QPoint &viewportPos)
{
    FPopupPoint = LvMotorList->viewport()->mapToGlobal(viewportPos);
    FPopupPointSet = true;
    PmMenu->popup(FPopupPoint);
}

void TDlgTavel::PmMenuPopup(QObject *)
{
    const QPoint screen = FPopupPointSet ? FPopupPoint : QCursor::pos();
    FPopupPointSet = false;

    // The list's hit test at the point.
    QWidget *viewport = LvMotorList->viewport();
    const QPoint p = viewport->mapFromGlobal(screen);
    enum class Hit { Row, Icon, Nowhere, Outside } hit = Hit::Outside;
    QTreeWidgetItem *row = nullptr;
    if (viewport->rect().contains(p)) {
        row = LvMotorList->itemAt(p);
        if (row == nullptr) {
            hit = Hit::Nowhere;
        } else {
            const QRect cell = LvMotorList->visualRect(
                LvMotorList->model()->index(LvMotorList->indexOfTopLevelItem(row), 0));
            const int margin = LvMotorList->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, LvMotorList) +
                               1;
            const QRect icon(cell.left(), cell.top(), LvMotorList->iconSize().width() + 2 * margin, cell.height());
            hit = !row->icon(0).isNull() && icon.contains(p) ? Hit::Icon : Hit::Row;
        }
    }

    QAction *const motorEntries[] = {PmSetup, PmInitialize, PmReset, PmZero, PmRemove, PmRelease};
    if (hit == Hit::Row) {
        const std::string name = RowName(row);
        unsigned dev = 0, mot = 0;
        if (_SM_GetIndex(&dev, &mot, name.c_str(), RowSerial(row), -1) != 0) {
            char type[50] = {};
            const int code = _SM_GetType(dev, mot, type, sizeof type);
            // -1 is the call's failure, not a type: no homing then.
            PmInitialize->setEnabled(code != -1 && (code & kTypeBlock) != 0);
        }
        for (QAction *a : {PmSetup, PmReset, PmZero, PmRemove, PmRelease})
            a->setEnabled(true);
    } else if (hit == Hit::Nowhere) {
        for (QAction *a : motorEntries)
            a->setEnabled(false);
    }

    // One submenu per listed board, in discovery order; the count is asked
    // again before each board.
    for (unsigned i = 0; i < _GetDevicesCount(); ++i) {
        char name[10] = {};
        char serial[64] = {};
        if (!_GetDeviceName(i, name, sizeof name) || !_GetDeviceSernum(i, serial, sizeof serial))
            continue;
        const int k = FindDeviceMenu(serial);
        if (k < 0) {
            AddDeviceMenu(serial, name, _CheckDeviceConnection(i));
        } else if (QMenu *sub = QMenu::menuInAction(PmDev->actions().at(k))) {
            const QByteArray caption(name);
            if (sub->property("Caption").toByteArray() != caption) {
                sub->setProperty("Caption", caption);
                sub->setTitle(MenuText(caption));
            }
        }
    }
}

int TDlgTavel::FindDeviceMenu(const char *serial)
{
    const QString id = QString::fromLatin1(serial);
    const QList<QAction *> entries = PmDev->actions();
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QMenu *sub = QMenu::menuInAction(entries[i]);
        if (sub != nullptr && sub->objectName() == id)
            return static_cast<int>(i);
    }
    return -1;
}

void TDlgTavel::AddDeviceMenu(const char *serial, const char *name, bool connected)
{
    auto *sub = new QMenu(PmDev);
    sub->setObjectName(QString::fromLatin1(serial));
    const QByteArray caption(name);
    sub->setProperty("Caption", caption);
    sub->setTitle(MenuText(caption));
    PmDev->addMenu(sub);
    struct Entry {
        const char *caption;
        int tag;   // -1: separator
    };
    static const Entry entries[] = {
        {"Open", 0},
        {"Close", 1},
        {"-", -1},
        {"Rename...", 2},
        {"-", -1},
        {"Add motor...", 3},
        {"Release all motors", 4},
    };
    for (const Entry &e : entries) {
        if (e.tag < 0) {
            sub->addSeparator();
            continue;
        }
        auto *a = new QAction(QString::fromLatin1(e.caption), sub);
        a->setProperty("Tag", e.tag);
        a->setEnabled(e.tag == 0 ? !connected : connected);
        connect(a, &QAction::triggered, this, [this, a] { Dispatch([this, a] { DeviceMenuClick(a); }); });
        sub->addAction(a);
    }
}

void TDlgTavel::DeviceMenuClick(QObject *Sender)
{
    auto *entry = qobject_cast<QAction *>(Sender);
    if (entry == nullptr)
        return;
    auto *sub = qobject_cast<QMenu *>(entry->parent());
    if (sub == nullptr)
        return;
    const QByteArray serial = sub->objectName().toLatin1();
    const int dev = _GetDeviceIndex(serial.constData());
    if (dev < 0)
        return;
    bool ok = false;
    const int tag = entry->property("Tag").toInt(&ok);
    if (!ok)
        return;
    switch (tag) {
    case 0: (void)_OpenDevice(static_cast<unsigned>(dev)); break;
    case 1: (void)_CloseDevice(static_cast<unsigned>(dev)); break;
    case 2: {
        Alive self(this);
        QPointer<TDlgRename> dlg = new TDlgRename(this);
        _DlgRename = dlg;
        dlg->setWindowTitle(QStringLiteral("Rename ") + QString::fromUtf8(sub->property("Caption").toByteArray()));
        const int result = dlg->exec();
        if (self && dlg && result == QDialog::Accepted) {
            const QByteArray name = dlg->Edit1->text().toUtf8();
            // The board is looked up again: the list may have changed meanwhile.
            const int now = _GetDeviceIndex(serial.constData());
            if (now >= 0)
                (void)_RenameDevice(static_cast<unsigned>(now), name.constData());
        }
        delete dlg.data();
        _DlgRename = nullptr;
        break;
    }
    case 3:
        FInsertIndex = -1;
        (void)_SM_Setup(static_cast<unsigned>(dev), -1, nullptr);
        break;
    case 4: (void)_SM_Release(static_cast<unsigned>(dev), 0); break;
    default: break;
    }
}

// ---- Exports ------------------------------------------------------------------------------------

namespace {

// The window must go before the Qt application object does: a window left
// behind would outlive its application and be shown again by a later one.
bool appEndRoutineSet = false;

void DeleteWindowAtAppEnd()
{
    appEndRoutineSet = false;
    TDlgTavel *w = _DlgTavel;
    _DlgTavel = nullptr;
    delete w;
    // A window closed inside its handler whose deletion was not reached.
    for (QWidget *top : QApplication::topLevelWidgets())
        if (auto *t = qobject_cast<TDlgTavel *>(top); t != nullptr && t->Retired())
            delete t;
}

// A library unloaded while the application lives leaves no routine behind
// (a step of the library's unload, added with the first routine).
bool unloadStepAdded = false;

void ForgetAppEndRoutine()
{
    if (appEndRoutineSet)
        qRemovePostRoutine(DeleteWindowAtAppEnd);
    appEndRoutineSet = false;
}

}   // namespace

void ExitLibrary()
{
    _CloseSetupWin();
    _CloseAllDevices();
}

extern "C" {

KX_EXPORT void _ShowSetupWin(void)
{
    try {
        if (!OnGuiThread())
            return;
        if (_DlgTavel != nullptr && _DlgTavel->Stopped()) {
            // Shut down from another thread; its own close is still on its way.
            TDlgTavel *old = _DlgTavel;
            _DlgTavel = nullptr;
            old->CloseForGood();
        }
        if (_DlgTavel == nullptr) {
            _DlgTavel = new TDlgTavel(nullptr);
            if (!appEndRoutineSet) {
                qAddPostRoutine(DeleteWindowAtAppEnd);
                appEndRoutineSet = true;
                if (!unloadStepAdded)
                    unloadStepAdded = AtLibraryUnload(ForgetAppEndRoutine);
            }
        }
        TDlgTavel *w = _DlgTavel;
        w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
        w->show();
        w->raise();
        w->activateWindow();
    } catch (...) {
    }
}

KX_EXPORT bool _IsSetupWinOpened(void) { return OnGuiThread() && _DlgTavel != nullptr; }

KX_EXPORT bool _IsSetupWinVisible(void) { return OnGuiThread() && _DlgTavel != nullptr && _DlgTavel->isVisible(); }

KX_EXPORT void _CloseSetupWin(void)
{
    try {
        if (!OnGuiThread()) {
            TDlgTavel::CloseFromOtherThread();
            return;
        }
        TDlgTavel *w = _DlgTavel;
        _DlgTavel = nullptr;
        if (w != nullptr)
            w->CloseForGood();
    } catch (...) {
    }
}

KX_EXPORT void KxExit(void)
{
    try {
        ExitLibrary();
    } catch (...) {
    }
}

}   // extern "C"

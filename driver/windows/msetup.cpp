// msetup.cpp - the motor setup dialog (form, address selector, checks while
// typing, on leaving an edit and at OK, the conversion of the controls into the
// settings record) and the exports _SM_Setup and _SMN_Setup.
#include "msetup.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QThread>
#include <QToolButton>

#include <cfloat>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <locale.h>

#include "formmetrics.h"
#include "hardware.h"
#include "motor.h"
#include "msgbox.h"

TDlgMotorSetup *_DlgMotorSetup = nullptr;

// ---- Numbers ------------------------------------------------------------------

namespace {

using msetup::CLocale;
using msetup::CLocaleScope;

// The "%lg" value of a text, 0 when nothing converts.
double ValueOf(const QString &text)
{
    double v = 0.0;
    if (msetup::ScanDouble(text, &v) != 1)
        return 0.0;
    return v;
}

// Rounds to a 32-bit float; beyond the float range the result is the
// infinity of that sign (no undefined conversion).
float ToFloat(double v)
{
    if (std::isnan(v))
        return std::numeric_limits<float>::quiet_NaN();
    if (v > static_cast<double>(FLT_MAX))
        return std::numeric_limits<float>::infinity();
    if (v < -static_cast<double>(FLT_MAX))
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

// Truncated toward zero; a value outside the signed 32-bit range keeps its
// low 32 bits (two's complement). Not a number and infinities give 0.
int32_t TruncLow32(double v)
{
    if (!std::isfinite(v))
        return 0;
    double t = std::fmod(std::trunc(v), 4294967296.0);
    if (t < 0)
        t += 4294967296.0;
    return static_cast<int32_t>(static_cast<uint32_t>(t));
}

// A coefficient the settings can hold: a finite number inside the float range.
bool CoefficientInRange(double v) { return std::isfinite(v) && std::fabs(v) <= static_cast<double>(FLT_MAX); }

QString NameText(const char *name) { return QString::fromUtf8(name, static_cast<qsizetype>(strnlen(name, 10))); }

constexpr char kTypeError[] = "Type error";

}   // namespace

std::string msetup::FormatG6(double value)
{
    char buf[64];
    CLocaleScope c;
    std::snprintf(buf, sizeof buf, "%.6lg", value);
    return buf;
}

int msetup::ScanDouble(const QString &text, double *value)
{
    const QByteArray bytes = text.toUtf8();
    double v = 0.0;
    int n;
    {
        CLocaleScope c;
        n = std::sscanf(bytes.constData(), "%lg", &v);
    }
    if (n == 1 && value != nullptr)
        *value = v;
    return n;
}

bool msetup::ParseInt32(const QString &text, int *value)
{
    const QByteArray bytes = text.toUtf8();
    const char *p = bytes.constData();
    while (*p == ' ' || *p == '\t')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (*p < '0' || *p > '9')
        return false;
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > int64_t(INT32_MAX) + 1)
            return false;
    }
    if (*p != '\0')
        return false;
    if (negative)
        v = -v;
    if (v > INT32_MAX || v < INT32_MIN)
        return false;
    if (value != nullptr)
        *value = static_cast<int>(v);
    return true;
}

// ---- Up-down control ---------------------------------------------------------------

TUpDown::TUpDown(QWidget *parent, QLineEdit *associate, int min, int max, int position)
    : QWidget(parent), associate_(associate), min_(min), max_(max), position_(min)
{
    up_ = new QToolButton(this);
    up_->setArrowType(Qt::UpArrow);
    up_->setFocusPolicy(Qt::NoFocus);
    up_->setAutoRepeat(true);
    down_ = new QToolButton(this);
    down_->setArrowType(Qt::DownArrow);
    down_->setFocusPolicy(Qt::NoFocus);
    down_->setAutoRepeat(true);
    connect(up_, &QToolButton::clicked, this, [this] { StepBy(1); });
    connect(down_, &QToolButton::clicked, this, [this] { StepBy(-1); });
    SetPositionQuiet(position);
}

void TUpDown::SetPositionQuiet(int position) { position_ = position < min_ ? min_ : position > max_ ? max_ : position; }

void TUpDown::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const int h = height() / 2;
    up_->setGeometry(0, 0, width(), h);
    down_->setGeometry(0, h, width(), height() - h);
}

void TUpDown::SetPosition(int position)
{
    SetPositionQuiet(position);
    if (associate_ != nullptr)
        associate_->setText(QString::number(position_));
}

void TUpDown::StepBy(int delta)
{
    // Starts from the edit's number when it holds one, as a bound up-down does.
    int current = position_;
    if (associate_ != nullptr)
        msetup::ParseInt32(associate_->text(), &current);
    if (current < min_)
        current = min_;
    if (current > max_)
        current = max_;
    const int64_t next = int64_t(current) + delta;
    SetPosition(next < min_ ? min_ : next > max_ ? max_ : static_cast<int>(next));
}

// ---- The form ----------------------------------------------------------------------

namespace {

QLabel *MakeLabel(QWidget *parent, const char *name, const char *text, int x, int y, int w)
{
    auto *l = new QLabel(QString::fromUtf8(text), parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(x, y, w, 16);
    return l;
}

QLineEdit *MakeEdit(QWidget *parent, const char *name, const char *text, int x, int y, int w)
{
    auto *e = new QLineEdit(QString::fromLatin1(text), parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(x, y, w, 21);
    return e;
}

// Layout of the rows: label column, edit column, unit column.
constexpr int kLabelX = 8, kLabelW = 132;
constexpr int kEditX = 142, kEditW = 70;
constexpr int kUnitX = 216, kUnitW = 56;
constexpr int kRow0 = 84, kRowH = 26;
constexpr int RowY(int row) { return kRow0 + row * kRowH; }

}   // namespace

TDlgMotorSetup::TDlgMotorSetup(QWidget *Owner, int deviceIndex, int motorIndex)
    : QDialog(Owner), FDeviceIndex(deviceIndex), FMotorIndex(motorIndex)
{
    std::memset(&FSettings, 0, sizeof FSettings);
    setObjectName(QStringLiteral("DlgMotorSetup"));
    setWindowTitle(QStringLiteral("Motor Setup"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(278, RowY(10) + 42);

    LPokus = MakeLabel(this, "LPokus", "Motor Address:", 8, 6, 120);
    PAddress = new QFrame(this);
    PAddress->setObjectName(QStringLiteral("PAddress"));
    PAddress->setFrameShape(QFrame::Panel);
    PAddress->setFrameShadow(QFrame::Raised);
    PAddress->setGeometry(8, 24, 204, 52);

    // The address selector: slots 0..6 for the addresses 1..7, each a numbered
    // label in a small panel above a radio button, then "U" for no address. All
    // radio buttons share PAddress, so checking one unchecks the others.
    for (int i = 0; i < 7; ++i) {
        auto *panel = new QFrame(PAddress);
        panel->setObjectName(QStringLiteral("PAddr%1").arg(i + 1));
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Raised);
        panel->setGeometry(24 * i + 8, 4, 20, 42);
        FAddrPanels[i] = panel;

        auto *label = new QLabel(QString::number(i + 1), panel);
        label->setObjectName(QStringLiteral("LAddr%1").arg(i + 1));
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setGeometry(0, 2, 20, 16);
        label->setEnabled(true);
        FAddrLabels[i] = label;   // no hint of its own: it shows the panel's

        auto *radio = new QRadioButton(PAddress);
        radio->setObjectName(QStringLiteral("RAddr%1").arg(i + 1));
        radio->setGeometry(24 * i + 10, 24, 16, 16);
        radio->setEnabled(true);
        radio->setProperty("Tag", i + 1);
        FAddrRadios[i] = radio;
    }
    {
        auto *label = new QLabel(QStringLiteral("U"), PAddress);
        label->setObjectName(QStringLiteral("LAddrU"));
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setGeometry(176, 8, 20, 16);
        label->setToolTip(QStringLiteral("Unplugged"));
        label->setEnabled(true);
        FAddrLabels[7] = label;

        auto *radio = new QRadioButton(PAddress);
        radio->setObjectName(QStringLiteral("RAddrU"));
        radio->setGeometry(176, 24, 17, 16);
        radio->setToolTip(QStringLiteral("Unplugged"));
        radio->setEnabled(true);
        radio->setProperty("Tag", 0);
        FAddrRadios[7] = radio;
    }

    Label14 = MakeLabel(this, "Label14", "Name:", kLabelX, RowY(0) + 3, kLabelW);
    EBName = MakeEdit(this, "EBName", "", kEditX, RowY(0), 118);
    EBName->setMaxLength(10);

    Label1 = MakeLabel(this, "Label1", "Typ:", kLabelX, RowY(1) + 3, kLabelW);
    CBTyp = new QComboBox(this);
    CBTyp->setObjectName(QStringLiteral("CBTyp"));
    CBTyp->setEditable(false);
    CBTyp->setGeometry(kEditX, RowY(1), 126, 21);

    // Caption left of the box, the box in the edit column.
    ChSteps = new QCheckBox(QStringLiteral("Half steps:"), this);
    ChSteps->setObjectName(QStringLiteral("ChSteps"));
    ChSteps->setLayoutDirection(Qt::RightToLeft);
    ChSteps->setGeometry(kLabelX, RowY(2), kEditX + 16 - kLabelX, 21);
    ChSteps->setEnabled(false);
    ChFix = new QCheckBox(QStringLiteral("Auto Release:"), this);
    ChFix->setObjectName(QStringLiteral("ChFix"));
    ChFix->setLayoutDirection(Qt::RightToLeft);
    ChFix->setGeometry(kLabelX, RowY(3), kEditX + 16 - kLabelX, 21);

    Label4 = MakeLabel(this, "Label4", "Coefficient", kLabelX, RowY(4) + 3, kLabelW);
    EBCoef = MakeEdit(this, "EBCoef", "1", kEditX, RowY(4), kEditW);
    LbCoeff = MakeLabel(this, "LbCoeff", "step/mm", kUnitX, RowY(4) + 3, kUnitW);

    Label11 = MakeLabel(this, "Label11", "Start position:", kLabelX, RowY(5) + 3, kLabelW);
    EBOffset = MakeEdit(this, "EBOffset", "0", kEditX, RowY(5), kEditW);
    LbStart = MakeLabel(this, "LbStart", "mm", kUnitX, RowY(5) + 3, kUnitW);

    Label3 = MakeLabel(this, "Label3", "Length:", kLabelX, RowY(6) + 3, kLabelW);
    EBLen = MakeEdit(this, "EBLen", "5", kEditX, RowY(6), kEditW);
    LbLength = MakeLabel(this, "LbLength", "mm", kUnitX, RowY(6) + 3, kUnitW);

    Label12 = MakeLabel(this, "Label12", "Acceleration lenght:", kLabelX, RowY(7) + 3, kLabelW);
    EBAccel = MakeEdit(this, "EBAccel", "20", kEditX, RowY(7), kEditW);
    Label8 = MakeLabel(this, "Label8", "steps", kUnitX, RowY(7) + 3, kUnitW);

    Label6 = MakeLabel(this, "Label6", "Min step time:", kLabelX, RowY(8) + 3, kLabelW);
    EBMin = MakeEdit(this, "EBMin", "5", kEditX, RowY(8), kEditW - 17);
    UDMin = new TUpDown(this, EBMin, 1, 10000, 5);
    UDMin->setObjectName(QStringLiteral("UDMin"));
    UDMin->setGeometry(kEditX + kEditW - 17, RowY(8), 17, 21);
    Label2 = MakeLabel(this, "Label2", "ms", kUnitX, RowY(8) + 3, kUnitW);

    Label7 = MakeLabel(this, "Label7", "Max step time:", kLabelX, RowY(9) + 3, kLabelW);
    EBMax = MakeEdit(this, "EBMax", "50", kEditX, RowY(9), kEditW - 17);
    UDMax = new TUpDown(this, EBMax, 1, 10000, 50);
    UDMax->setObjectName(QStringLiteral("UDMax"));
    UDMax->setGeometry(kEditX + kEditW - 17, RowY(9), 17, 21);
    Label5 = MakeLabel(this, "Label5", "ms", kUnitX, RowY(9) + 3, kUnitW);

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(52, RowY(10) + 10, 75, 25);
    Button1->setDefault(true);
    Button2 = new QPushButton(QStringLiteral("Cancel"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(150, RowY(10) + 10, 75, 25);
    // Enter presses the focused button; elsewhere it presses OK.
    Button1->setAutoDefault(true);
    Button2->setAutoDefault(true);

    FitToFont();

    QWidget *order[] = {CBTyp,   EBCoef, EBOffset, EBLen, EBAccel, EBMin, EBMax,   Button1,
                        Button2, EBName, UDMin,    UDMax, ChSteps, ChFix, PAddress};
    for (size_t i = 1; i < sizeof order / sizeof order[0]; ++i)
        setTabOrder(order[i - 1], order[i]);

    // Events: connected after the defaults are in, so building the form runs
    // no check.
    connect(CBTyp, &QComboBox::currentIndexChanged, this, [this] { CBTypChange(CBTyp); });
    for (QLineEdit *e : {EBCoef, EBOffset, EBLen})
        connect(e, &QLineEdit::textChanged, this, [this, e] { EBCoefChange(e); });
    for (QLineEdit *e : {EBAccel, EBMin, EBMax})
        connect(e, &QLineEdit::textChanged, this, [this, e] { EBAccelChange(e); });
    for (QLineEdit *e : {EBCoef, EBAccel, EBMin, EBMax})
        e->installEventFilter(this);
    connect(Button1, &QPushButton::clicked, this, [this] {
        Button1Click(Button1);
        accept();
    });
    connect(Button2, &QPushButton::clicked, this, [this] { reject(); });
    for (int i = 0; i < 8; ++i)
        connect(FAddrRadios[i], &QRadioButton::toggled, this, [this] { FixAddressTabStop(); });
}

void TDlgMotorSetup::FitToFont()
{
    // The form's pixel positions hold while the texts fit at the dialog's font.
    // Where they don't: the edits go right of the widest caption, the number
    // edits, the name edit and the type box grow to their longest texts, the
    // units follow the edits, and the dialog grows to hold them.
    const QFontMetrics fm = fontMetrics();
    QLabel *const captions[] = {Label14, Label1, Label4, Label11, Label3, Label12, Label6, Label7};
    QLabel *const units[] = {LbCoeff, LbStart, LbLength, Label8, Label2, Label5};
    QStringList captionTexts;
    for (QLabel *l : captions)
        captionTexts << l->text();
    const int lineH = std::max(16, fm.height());
    const int labelW = std::max(kLabelW, formmetrics::WidestText(fm, captionTexts));
    const int editX = std::max(kEditX, kLabelX + labelW + 2);
    const int editW = formmetrics::EditWidth(EBCoef, formmetrics::NumberSamples(), kEditW);
    const int nameW = formmetrics::EditWidth(EBName, {formmetrics::MotorNameSample()}, 118);
    const int typeW = formmetrics::ComboWidth(CBTyp, formmetrics::MotorTypeNames(), 126);
    const int unitX = std::max(kUnitX, editX + editW + 4);
    const int unitW = std::max(kUnitW,
                               formmetrics::WidestText(fm, {QStringLiteral("step/deg"), QStringLiteral("step/mm"),
                                                            QStringLiteral("steps"), QStringLiteral("deg")}));

    for (int row = 0; row < 8; ++row)
        captions[row]->setGeometry(kLabelX, RowY(row < 2 ? row : row + 2) + 3, labelW, lineH);
    EBName->setGeometry(editX, RowY(0), nameW, 21);
    CBTyp->setGeometry(editX, RowY(1), typeW, 21);
    for (QCheckBox *box : {ChSteps, ChFix})
        box->setGeometry(kLabelX, box->y(), std::max(editX + 16 - kLabelX, formmetrics::CheckBoxWidth(box, 0)), 21);
    int row = 4;
    for (QLineEdit *e : {EBCoef, EBOffset, EBLen, EBAccel})
        e->setGeometry(editX, RowY(row++), editW, 21);
    EBMin->setGeometry(editX, RowY(8), editW - 17, 21);
    UDMin->setGeometry(editX + editW - 17, RowY(8), 17, 21);
    EBMax->setGeometry(editX, RowY(9), editW - 17, 21);
    UDMax->setGeometry(editX + editW - 17, RowY(9), 17, 21);
    row = 4;
    for (QLabel *l : units)
        l->setGeometry(unitX, RowY(row++) + 3, unitW, lineH);

    const int width = std::max({278, unitX + unitW + 6, editX + typeW + 10, editX + nameW + 18});
    setFixedSize(width, RowY(10) + 42);
    const int shift = (width - 278) / 2;   // the buttons stay centred
    Button1->move(52 + shift, Button1->y());
    Button2->move(150 + shift, Button2->y());
}

TDlgMotorSetup::~TDlgMotorSetup()
{
    closing_ = true;
    for (QLineEdit *e : {EBCoef, EBAccel, EBMin, EBMax})
        e->removeEventFilter(this);
}

void TDlgMotorSetup::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        FormShow(this);
        // The first control of the tab order, not the first address button: a
        // Space there would move the motor to another address.
        CBTyp->setFocus(Qt::OtherFocusReason);
    }
}

bool TDlgMotorSetup::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut && !closing_) {
        // Leaving the edit for another control of the dialog; a box or popup
        // taking the focus for a moment is not leaving it.
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason &&
            reason != Qt::MenuBarFocusReason && isVisible()) {
            if (watched == EBCoef)
                EBCoefExit(watched);
            else if (watched == EBAccel || watched == EBMin || watched == EBMax)
                EBAccelExit(watched);
        }
    } else if (event->type() == QEvent::KeyPress && (watched == EBMin || watched == EBMax)) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            (watched == EBMin ? UDMin : UDMax)->StepBy(key == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TDlgMotorSetup::FormShow(QObject *)
{
    // 1. The type list in table order: list index = table index.
    {
        const QSignalBlocker block(CBTyp);
        CBTyp->clear();
        const unsigned n = GetMotorTypeCount();
        for (unsigned i = 0; i < n; ++i)
            CBTyp->addItem(QString::fromUtf8(GetMotorTypeByIndex(static_cast<int>(i))->Name));
        CBTyp->setCurrentIndex(0);
    }

    // 2. The addresses the board's motors use: greyed, hinting the motor's name.
    if (FDeviceIndex >= 0) {
        for (unsigned i = 0; i < KX_MOTORS_PER_BOARD; ++i) {
            SMotorSettings other;
            if (!_SM_GetInfo(static_cast<unsigned>(FDeviceIndex), i, &other))
                continue;
            const int a = static_cast<int8_t>(other.Address);
            if (a < 1 || a > 7)   // no address, or one beyond the selector
                continue;
            const QString name = NameText(other.Name);
            FAddrRadios[a - 1]->setEnabled(false);
            FAddrRadios[a - 1]->setToolTip(name);
            FAddrPanels[a - 1]->setToolTip(name);
            FAddrLabels[a - 1]->setEnabled(false);
        }
    }

    // 3. The edited motor's settings.
    if (FMotorIndex >= 0) {
        if (FDeviceIndex < 0 ||
            !_SM_GetInfo(static_cast<unsigned>(FDeviceIndex), static_cast<unsigned>(FMotorIndex), &FSettings)) {
            std::memset(&FSettings, 0, sizeof FSettings);
            KxMessageBox(this, "Can't load motor info!", "Error", MsgIcon::Error);
        } else {
            const int a = static_cast<int8_t>(FSettings.Address);
            // Addresses above 7 have no slot: none is checked and OK keeps the value.
            const int k = a <= 0 ? 7 : a <= 7 ? a - 1 : -1;
            if (k >= 0) {
                FAddrRadios[k]->setEnabled(true);
                FAddrLabels[k]->setEnabled(true);
                FAddrRadios[k]->setChecked(true);
            }
            shownName_ = NameText(FSettings.Name);
            std::memcpy(shownNameBytes_, FSettings.Name, sizeof shownNameBytes_);
            EBName->setText(shownName_);
            shownName_ = EBName->text();   // as the edit holds it

            CBTyp->setCurrentIndex(GetMotorTypeIndex(FSettings.TypeCode));

            const double coef = FSettings.Coefficient;
            EBCoef->setText(QString::fromStdString(msetup::FormatG6(coef)));
            // A stored coefficient of 0 has no length in units: the edit shows 0.
            const double length = coef != 0.0 ? FSettings.TravelLength / coef : 0.0;
            EBLen->setText(QString::fromStdString(msetup::FormatG6(length)));
            EBOffset->setText(QString::fromStdString(msetup::FormatG6(FSettings.StartPosition)));
            EBAccel->setText(QString::number(static_cast<int>(FSettings.AccelLength)));
            // The up-downs stay inside their range; the edits show the stored
            // values as they are, so OK without a change keeps them.
            UDMin->SetPositionQuiet(FSettings.MinStepTime);
            EBMin->setText(QString::number(FSettings.MinStepTime));
            UDMax->SetPositionQuiet(FSettings.MaxStepTime);
            EBMax->setText(QString::number(FSettings.MaxStepTime));
            ChSteps->setChecked(FSettings.HalfSteps != 0);
            ChFix->setChecked(FSettings.AutoRelease != 0);
        }
    }

    // 4.
    CBTypChange(this);
    FixAddressTabStop();
}

void TDlgMotorSetup::FixAddressTabStop()
{
    // Tab enters the address group at its checked button (with none checked,
    // at its first usable one) and leaves it with the next Tab; the arrow keys
    // move inside the group.
    QRadioButton *stop = nullptr;
    for (int i = 0; i < 8 && stop == nullptr; ++i)
        if (FAddrRadios[i]->isChecked() && FAddrRadios[i]->isEnabled())
            stop = FAddrRadios[i];
    for (int i = 0; i < 8 && stop == nullptr; ++i)
        if (FAddrRadios[i]->isEnabled())
            stop = FAddrRadios[i];
    for (int i = 0; i < 8; ++i)
        FAddrRadios[i]->setFocusPolicy(FAddrRadios[i] == stop ? Qt::StrongFocus : Qt::ClickFocus);
}

void TDlgMotorSetup::CBTypChange(QObject *)
{
    const int index = CBTyp->currentIndex();
    if (index < 0 || index >= static_cast<int>(GetMotorTypeCount()))
        return;
    const MotorTypeInfo *type = GetMotorTypeByIndex(index);
    const bool flags = (type->Code & (kType4Wire | kTypeSynchron)) != 0;
    ChSteps->setEnabled(flags);
    ChFix->setEnabled(flags);
    const bool rotary = type->Name != nullptr && type->Name[0] == 'R';
    LbCoeff->setText(rotary ? QStringLiteral("step/deg") : QStringLiteral("step/mm"));
    LbStart->setText(rotary ? QStringLiteral("deg") : QStringLiteral("mm"));
    LbLength->setText(rotary ? QStringLiteral("deg") : QStringLiteral("mm"));
}

void TDlgMotorSetup::EBCoefChange(QObject *Sender)
{
    auto *edit = qobject_cast<QLineEdit *>(Sender);
    if (edit == nullptr)
        return;
    // A text that begins with a number passes; empty or blank shows nothing.
    if (msetup::ScanDouble(edit->text(), nullptr) == 0)
        KxMessageBox(this, "Value must be number!", kTypeError, MsgIcon::Error);
}

void TDlgMotorSetup::EBAccelChange(QObject *Sender)
{
    auto *edit = qobject_cast<QLineEdit *>(Sender);
    if (edit == nullptr || trimming_)
        return;
    QString text = edit->text();
    // An empty text is left for the user to fill (checked on leaving and at OK).
    if (text.isEmpty() || msetup::ParseInt32(text, nullptr))
        return;
    // The last character goes until an integer (or nothing) is left, one
    // message per removed character. A loop rather than the edit's own change
    // notification for each shorter text, so a long paste cannot run deep.
    unsigned removed = 0;
    while (!text.isEmpty() && !msetup::ParseInt32(text, nullptr)) {
        text.chop(1);
        ++removed;
    }
    trimming_ = true;
    edit->setText(text);
    trimming_ = false;
    for (unsigned i = 0; i < removed; ++i)
        KxMessageBox(this, "Value must be integer!", kTypeError, MsgIcon::Error);
}

void TDlgMotorSetup::EBCoefExit(QObject *)
{
    if (ToFloat(ValueOf(EBCoef->text())) == 0.0f)
        KxMessageBox(this, "Value must be different from zero!", kTypeError, MsgIcon::Error);
}

void TDlgMotorSetup::EBAccelExit(QObject *Sender)
{
    auto *edit = qobject_cast<QLineEdit *>(Sender);
    if (edit == nullptr)
        return;
    // A text that is no integer (only an empty one gets this far) counts as
    // below 1.
    int v = 0;
    if (!msetup::ParseInt32(edit->text(), &v) || v < 1) {
        edit->setText(QStringLiteral("1"));
        KxMessageBox(this, "Value must be higher then zero!", kTypeError, MsgIcon::Error);
    }
}

void TDlgMotorSetup::Button1Click(QObject *) { FConfirmed = true; }

void TDlgMotorSetup::Button2Click(QObject *) { FConfirmed = false; }

void TDlgMotorSetup::FormCloseQuery(QObject *, bool &CanClose) { CanClose = FConfirmed ? CheckValues() : true; }

bool TDlgMotorSetup::CheckValues()
{
    int min = 0, max = 0;
    if (!msetup::ParseInt32(EBMin->text(), &min) || !msetup::ParseInt32(EBMax->text(), &max)) {
        KxMessageBox(nullptr, "Value must be integer!", kTypeError, MsgIcon::Error);
        return false;
    }
    const double coef = ValueOf(EBCoef->text());
    if (!CoefficientInRange(coef)) {
        // inf, nan or beyond the float range: no usable coefficient.
        EBCoef->setText(QStringLiteral("1"));
        KxMessageBox(nullptr, "Value must be number!", kTypeError, MsgIcon::Error);
        return false;
    }
    // Zero as stored: a value too small for a float is zero as well.
    if (ToFloat(coef) == 0.0f) {
        EBCoef->setText(QStringLiteral("1"));
        KxMessageBox(nullptr, "Coefficient must be different from zero!", kTypeError, MsgIcon::Error);
        return false;
    }
    if (max < min) {
        EBMin->setText(QStringLiteral("1"));
        EBMax->setText(QStringLiteral("20"));
        KxMessageBox(nullptr, "Max step time must be higher then Min step time!", kTypeError, MsgIcon::Error);
        return false;
    }
    return true;
}

void TDlgMotorSetup::FormClose(QObject *, CloseAction &Action)
{
    Action = CloseAction::caFree;
    if (!FConfirmed)
        return;
    int accel = 0, minTime = 0, maxTime = 0;
    if (!msetup::ParseInt32(EBAccel->text(), &accel) || !msetup::ParseInt32(EBMin->text(), &minTime) ||
        !msetup::ParseInt32(EBMax->text(), &maxTime)) {
        // The dialog stays open; nothing of the record has changed.
        KxMessageBox(nullptr, "Value must be integer!", kTypeError, MsgIcon::Error);
        Action = CloseAction::caNone;
        return;
    }

    // Name: the bytes shown when unchanged, else the text's UTF-8 cut at a
    // character boundary to at most 10 bytes, zero-filled.
    const QString name = EBName->text();
    if (FMotorIndex >= 0 && name == shownName_) {
        std::memcpy(FSettings.Name, shownNameBytes_, sizeof FSettings.Name);
    } else {
        QByteArray bytes = name.toUtf8();
        qsizetype n = bytes.size() < 10 ? bytes.size() : 10;
        if (n < bytes.size())
            while (n > 0 && (static_cast<unsigned char>(bytes[n]) & 0xC0) == 0x80)
                --n;
        std::memset(FSettings.Name, 0, sizeof FSettings.Name);
        std::memcpy(FSettings.Name, bytes.constData(), static_cast<size_t>(n));
    }

    const int typeIndex = CBTyp->currentIndex();
    FSettings.TypeCode = typeIndex >= 0 && typeIndex < static_cast<int>(GetMotorTypeCount())
                             ? GetMotorTypeByIndex(typeIndex)->Code
                             : 0;

    for (int i = 0; i < 8; ++i)
        if (FAddrRadios[i] != nullptr && FAddrRadios[i]->isChecked())
            FSettings.Address = static_cast<uint8_t>(FAddrRadios[i]->property("Tag").toInt());

    FSettings.Coefficient = ToFloat(ValueOf(EBCoef->text()));
    FSettings.TravelLength = TruncLow32(ValueOf(EBLen->text()) * static_cast<double>(FSettings.Coefficient));
    FSettings.StartPosition = ToFloat(ValueOf(EBOffset->text()));
    FSettings.AccelLength = static_cast<int8_t>(static_cast<uint8_t>(static_cast<uint32_t>(accel) & 0xFFu));
    FSettings.MinStepTime = static_cast<uint16_t>(static_cast<uint32_t>(minTime) & 0xFFFFu);
    FSettings.MaxStepTime = static_cast<uint16_t>(static_cast<uint32_t>(maxTime) & 0xFFFFu);
    FSettings.HalfSteps = ChSteps->isChecked() ? 1 : 0;
    FSettings.AutoRelease = ChFix->isChecked() ? 1 : 0;
    // Position and Zero stay as read (0.0 for a new motor).
}

void TDlgMotorSetup::reject()
{
    Button2Click(Button2);
    QDialog::reject();
}

void TDlgMotorSetup::done(int r)
{
    if (closing_)
        return;
    bool canClose = true;
    FormCloseQuery(this, canClose);
    if (!canClose)
        return;
    CloseAction action = CloseAction::caFree;
    FormClose(this, action);
    if (action == CloseAction::caNone)
        return;
    // The dialog is not freed here whatever the action says: the one who ran
    // it deletes it once the modal run has returned.
    closing_ = true;
    QDialog::done(r);
    closing_ = false;
}

void TDlgMotorSetup::closeEvent(QCloseEvent *event)
{
    // The title-bar close: the close query and FormClose run as they are
    // (after a refused OK the checks still apply), the result is Cancel.
    if (!isVisible()) {
        event->accept();
        return;
    }
    done(QDialog::Rejected);
    if (isVisible())
        event->ignore();
    else
        event->accept();
}

locale_t msetup::CLocale()
{
    // The windows read and print numbers with a decimal point whatever the
    // process locale is.
    static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

bool msetup::OnGuiThread()
{
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    return app != nullptr && QThread::currentThread() == app->thread();
}

// ---- Exports ---------------------------------------------------------------------------

extern "C" {

KX_EXPORT int _SM_Setup(unsigned int dev, int mot, const SMotorSettings *info)
{
    TDlgMotorSetup *dlg = nullptr;
    TDlgMotorSetup *previous = _DlgMotorSetup;
    try {
        uint64_t generation = 0;
        if (!CheckMotorSetupSlot(dev, mot, &generation))
            return -1;

        SMotorSettings s;
        if (info == nullptr) {
            if (!msetup::OnGuiThread())
                return -1;
            // No lock is held while the dialog runs: its nested event loop runs the
            // thread's timers (watchdogs, the control window's refresh).
            dlg = new TDlgMotorSetup(nullptr, static_cast<int>(dev), mot);
            _DlgMotorSetup = dlg;
            const int result = dlg->exec();
            if (result != QDialog::Accepted) {
                delete dlg;
                _DlgMotorSetup = previous;
                return -1;
            }
            s = dlg->Settings();
        } else {
            std::memcpy(&s, info, sizeof s);
        }

        const int stored = StoreMotorSetup(dev, mot, s, generation);
        if (dlg != nullptr) {
            delete dlg;
            _DlgMotorSetup = previous;
        }
        return stored;
    } catch (...) {
        if (dlg != nullptr) {
            delete dlg;
            _DlgMotorSetup = previous;
        }
        return -1;
    }
}

KX_EXPORT bool _SMN_Setup(const char *name)
{
    try {
        if (name == nullptr)
            return false;
        unsigned dev = 0, mot = 0;
        if (_SM_GetIndex(&dev, &mot, name, nullptr, -1) <= 0)
            return false;
        return _SM_Setup(dev, static_cast<int>(mot), nullptr) >= 0;
    } catch (...) {
        return false;
    }
}

}   // extern "C"

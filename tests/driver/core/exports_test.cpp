// exports_test.cpp - the exported device and motor functions on the simulated
// bus, with the tick driven by hand on a chosen clock.
#include "exports_fixture.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

using kxtest::BoardsFixture;
using kxtest::Events;
using kxtest::Slot;

namespace {

constexpr uint8_t kX4 = 0x85;        // "X (4wires)"
constexpr uint8_t kBlockX4 = 0xC5;   // "X block (4wires)"

// A 4-wire full-step frame of the channel at `address` stepping to `position`.
std::vector<uint8_t> Frame4(uint8_t address, int32_t position)
{
    static const uint8_t pattern[4] = {0x08, 0x04, 0x02, 0x01};
    const uint8_t p = pattern[position & 3];
    const uint8_t ch = static_cast<uint8_t>(0x80 + 0x10 * (address - 1));
    return {static_cast<uint8_t>(ch | p), static_cast<uint8_t>(ch | p), static_cast<uint8_t>(0xF0 | p)};
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class Exports : public BoardsFixture {};

// ---- Device functions ----------------------------------------------------------

TEST_F(Exports, EveryFunctionIsSafeWithoutBoards)
{
    // Nothing attached: discovery finds nothing, and every call fails cleanly,
    // before any board was ever listed and again after the list was emptied.
    simbus::Reset("");
    for (int round = 0; round < 2; ++round) {
        char buf[8];
        std::memset(buf, 'Z', sizeof buf);
        unsigned dev = 77, mot = 77;
        SMotorSettings info;
        std::memset(&info, 0x5A, sizeof info);
        EXPECT_EQ(_RefreshDevices(), -1);
        EXPECT_EQ(_GetDevicesCount(), 0u);
        EXPECT_FALSE(_CheckDeviceConnection(0));
        EXPECT_EQ(_GetDeviceIndex("SER0"), -1);
        EXPECT_FALSE(_GetDeviceSernum(0, buf, sizeof buf));
        EXPECT_FALSE(_GetDeviceType(0, buf, sizeof buf));
        EXPECT_FALSE(_GetDeviceName(0, buf, sizeof buf));
        EXPECT_FALSE(_RenameDevice(0, "x"));
        EXPECT_FALSE(_OpenDevice(0));
        EXPECT_FALSE(_Run(0));
        _InitializeAll(0);
        _StopAll(0);
        EXPECT_FALSE(_CloseDevice(0));
        EXPECT_EQ(_SM_GetCountInAll(), 0u);
        EXPECT_FALSE(_SM_GetInfoInAll(0, &info));
        EXPECT_TRUE(_SM_ReleaseAll());   // nothing to release
        EXPECT_EQ(_SM_GetIndex(&dev, &mot, "M", nullptr, -1), 0);
        EXPECT_EQ(_SM_GetIndex(&dev, &mot, "M", "SER0", -1), 0);
        EXPECT_EQ(_SM_GetCount(0), -1);
        EXPECT_EQ(_SM_GetType(0, 0, buf, sizeof buf), -1);
        EXPECT_EQ(_SM_GetPosition(0, 0), 0.0);
        EXPECT_EQ(_SM_GetRealPosition(0, 0), 0.0);
        EXPECT_EQ(_SM_GetTarget(0, 0), 0.0);
        EXPECT_EQ(_SMN_GetTarget("M"), 0.0);
        EXPECT_EQ(_SM_GetZero(0, 0), 0.0);
        EXPECT_FALSE(_SM_SetDestination(0, 0, 1.0));
        EXPECT_FALSE(_SM_SetZero(0, 0));
        EXPECT_FALSE(_SMN_SetZero("M"));
        EXPECT_FALSE(_SM_Move(0, 0, 1.0));
        EXPECT_FALSE(_SMN_Move("M", 1.0, true, 0));
        EXPECT_FALSE(_SMN_StepMove("M", 1, true));
        EXPECT_FALSE(_SM_IsRunning(0, 0));
        EXPECT_EQ(_SMN_IsRunning("M"), -1);
        EXPECT_FALSE(_SM_GetInfo(0, 0, &info));
        EXPECT_FALSE(_SM_Stop(0, 0));
        EXPECT_FALSE(_SMN_Stop("M"));
        EXPECT_FALSE(_SM_Initialize(0, 0));
        EXPECT_FALSE(_SM_Reset(0, 0));
        EXPECT_FALSE(_SMN_Reset("M"));
        EXPECT_FALSE(_SM_Release(0, 0));
        EXPECT_FALSE(_SMN_Release("M"));
        EXPECT_FALSE(_SM_Remove(0, 0));
        EXPECT_EQ(std::string(buf, sizeof buf), std::string(8, 'Z'));
        EXPECT_EQ(dev, 77u);
        EXPECT_EQ(mot, 77u);
        EXPECT_EQ(info.Address, 0x5A);
        _CloseAllDevices();
        for (const simbus::Call &c : simbus::Calls())
            EXPECT_EQ(c.op, simbus::Op::CountDevices);   // no device touched
    }
}

TEST_F(Exports, IndexCheckFailsAtTheCount)
{
    // Board 0: two motors, a third slot behind them that is not in use but
    // holds live state a wrong bound would expose. Board 1: one motor.
    OpenBoards({Slot(1, kX4, "A", 1, 7), Slot(2, kX4, "B", 1, 8)}, {Slot(1, kX4, "C", 1, 9)});
    for (auto [dev, mot] : {std::pair{0u, 2u}, std::pair{1u, 1u}}) {
        BoardLock lock(Board(dev));
        SMotor &m = Motor(dev, mot);
        m.Position = 99;
        m.Target = 99;
        m.Destination = 42;
        m.ZeroOffset = 5;
        m.Direction.store(1);
        std::strcpy(Board(dev).Settings.MotorSettings[mot].Name, "Hidden");
        Board(dev).Settings.MotorSettings[mot].Address = 3;
    }
    simbus::ClearCalls();

    struct Case {
        const char *what;
        std::function<bool(unsigned, unsigned)> failed;
    };
    const std::vector<Case> cases = {
        {"GetType",
         [](unsigned d, unsigned m) {
             char buf[4] = {'Z', 'Z', 'Z', 'Z'};
             return _SM_GetType(d, m, buf, 4) == -1 && buf[0] == 'Z';
         }},
        {"GetPosition", [](unsigned d, unsigned m) { return _SM_GetPosition(d, m) == 0.0; }},
        {"GetRealPosition", [](unsigned d, unsigned m) { return _SM_GetRealPosition(d, m) == 0.0; }},
        {"GetTarget", [](unsigned d, unsigned m) { return _SM_GetTarget(d, m) == 0.0; }},
        {"GetZero", [](unsigned d, unsigned m) { return _SM_GetZero(d, m) == 0.0; }},
        {"SetDestination", [](unsigned d, unsigned m) { return !_SM_SetDestination(d, m, 3.0); }},
        {"SetZero", [](unsigned d, unsigned m) { return !_SM_SetZero(d, m); }},
        {"Move", [](unsigned d, unsigned m) { return !_SM_Move(d, m, 3.0); }},
        {"IsRunning", [](unsigned d, unsigned m) { return !_SM_IsRunning(d, m); }},
        {"GetInfo",
         [](unsigned d, unsigned m) {
             SMotorSettings info;
             std::memset(&info, 0x5A, sizeof info);
             return !_SM_GetInfo(d, m, &info) && info.Address == 0x5A;
         }},
        {"Stop", [](unsigned d, unsigned m) { return !_SM_Stop(d, m); }},
        {"Initialize", [](unsigned d, unsigned m) { return !_SM_Initialize(d, m); }},
        {"Reset", [](unsigned d, unsigned m) { return !_SM_Reset(d, m); }},
        {"Release", [](unsigned d, unsigned m) { return !_SM_Release(d, m); }},
        {"Remove", [](unsigned d, unsigned m) { return !_SM_Remove(d, m); }},
    };
    for (auto [dev, mot] : {std::pair{2u, 0u}, std::pair{0u, 2u}, std::pair{1u, 1u}})
        for (const Case &c : cases)
            EXPECT_TRUE(c.failed(dev, mot)) << c.what << "(" << dev << ", " << mot << ")";

    // The name walk stops at the motor count too.
    EXPECT_EQ(_SMN_IsRunning("Hidden"), -1);
    EXPECT_FALSE(_SMN_Reset("Hidden"));

    // Device functions at dev = count.
    char buf[4] = {'Z', 'Z', 'Z', 'Z'};
    EXPECT_EQ(_SM_GetCount(2), -1);
    EXPECT_FALSE(_CheckDeviceConnection(2));
    EXPECT_FALSE(_GetDeviceSernum(2, buf, 4));
    EXPECT_FALSE(_GetDeviceType(2, buf, 4));
    EXPECT_FALSE(_GetDeviceName(2, buf, 4));
    EXPECT_EQ(buf[0], 'Z');
    EXPECT_FALSE(_RenameDevice(2, "x"));
    EXPECT_FALSE(_OpenDevice(2));
    EXPECT_FALSE(_Run(2));
    EXPECT_FALSE(_CloseDevice(2));
    _InitializeAll(2);
    _StopAll(2);

    // Nothing changed anywhere, nothing was sent.
    EXPECT_TRUE(simbus::Writes(kSer0).empty());
    EXPECT_TRUE(simbus::Writes(kSer1).empty());
    EXPECT_EQ(_SM_GetCount(0), 2);
    EXPECT_EQ(_SM_GetCount(1), 1);
    for (auto [dev, mot] : {std::pair{0u, 2u}, std::pair{1u, 1u}}) {
        BoardLock lock(Board(dev));
        SMotor &m = Motor(dev, mot);
        EXPECT_EQ(m.Position, 99);
        EXPECT_EQ(m.Target, 99);
        EXPECT_EQ(m.Destination, 42);
        EXPECT_EQ(m.ZeroOffset, 5);
        EXPECT_EQ(m.Direction.load(), 1);
        m.Direction.store(0);
    }
    EXPECT_EQ(_SM_GetRealPosition(0, 1), 8.0);
    EXPECT_EQ(_SM_GetRealPosition(1, 0), 9.0);
}

TEST_F(Exports, DeviceIdentityAndStringCopies)
{
    OpenBoards({Slot(1, kX4, "A")}, {});
    char buf[16];
    std::memset(buf, 'Z', sizeof buf);
    ASSERT_TRUE(_GetDeviceSernum(1, buf, sizeof buf));
    EXPECT_STREQ(buf, "SER1");
    EXPECT_EQ(std::string(buf + 4, 12), std::string(12, '\0'));   // zero fill
    ASSERT_TRUE(_GetDeviceType(0, buf, sizeof buf));
    EXPECT_STREQ(buf, "TRUV-kq4");
    ASSERT_TRUE(_GetDeviceType(1, buf, sizeof buf));
    EXPECT_STREQ(buf, "TRUV-RZDO");

    ASSERT_TRUE(_RenameDevice(0, "ABCDEFGHIJ"));
    std::memset(buf, 'Z', sizeof buf);
    ASSERT_TRUE(_GetDeviceName(0, buf, 10));
    EXPECT_EQ(std::string(buf, 10), std::string("ABCDEFGHI\0", 10));
    EXPECT_EQ(buf[10], 'Z');   // nothing beyond len
    ASSERT_TRUE(_GetDeviceName(0, buf, 1));
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'B');

    // len 0: nothing written, false.
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_FALSE(_GetDeviceName(0, buf, 0));
    EXPECT_FALSE(_GetDeviceSernum(0, buf, 0));
    EXPECT_FALSE(_GetDeviceType(0, buf, 0));
    EXPECT_EQ(buf[0], 'Z');

    // The rename reached the board's user area (first 10 bytes).
    const std::vector<uint8_t> area = simbus::UserArea(kSer0);
    ASSERT_GE(area.size(), 10u);
    EXPECT_EQ(std::string(area.begin(), area.begin() + 10), "ABCDEFGHIJ");

    // Serial lookup: exact and case-sensitive, never a refresh.
    EXPECT_EQ(_GetDeviceIndex("SER1"), 1);
    EXPECT_EQ(_GetDeviceIndex("ser1"), -1);
    EXPECT_EQ(_GetDeviceIndex("SER1 "), -1);
    simbus::Attach("TRUV-kq4", "SER2");
    EXPECT_EQ(_GetDeviceIndex("SER2"), -1);
    EXPECT_EQ(_RefreshDevices(), 3);
    EXPECT_EQ(_GetDeviceIndex("SER2"), 2);
}

TEST_F(Exports, OpenCloseAndVanishedBoards)
{
    OpenBoards({Slot(1, kX4, "A")}, {Slot(1, kX4, "B")});
    EXPECT_TRUE(_CheckDeviceConnection(0));
    simbus::ClearCalls();
    EXPECT_TRUE(_OpenDevice(0));   // already open: no device call
    EXPECT_TRUE(simbus::Calls().empty());

    EXPECT_TRUE(_CloseDevice(0));
    EXPECT_FALSE(_CheckDeviceConnection(0));
    EXPECT_EQ(_SM_GetCount(0), 0);   // a closed board has no motors
    EXPECT_EQ(_SMN_IsRunning("A"), -1);
    EXPECT_EQ(_SM_GetCountInAll(), 1u);
    EXPECT_TRUE(_OpenDevice(0));
    EXPECT_TRUE(_CheckDeviceConnection(0));
    EXPECT_EQ(_SM_GetCount(0), 1);

    // Unplugged: the count query finds nothing, the listed boards stay listed.
    simbus::Detach(kSer0);
    simbus::Detach(kSer1);
    EXPECT_EQ(_RefreshDevices(), -1);
    EXPECT_EQ(_GetDevicesCount(), 2u);

    // After emptying the list the attached boards come back from index 0.
    _CloseAllDevices();
    EXPECT_EQ(_SM_GetCount(0), -1);
    simbus::Attach("TRUV-RZDO", "SER1");
    EXPECT_EQ(_GetDevicesCount(), 1u);
    char buf[8];
    ASSERT_TRUE(_GetDeviceSernum(0, buf, sizeof buf));
    EXPECT_STREQ(buf, "SER1");
}

// ---- Name lookup --------------------------------------------------------------

TEST_F(Exports, GetIndexWithLikeNamedMotors)
{
    OpenBoards({Slot(1, kX4, "Axis"), Slot(2, kX4, "Foo")},
               {Slot(1, kX4, "Bar"), Slot(2, kX4, "Axis"), Slot(3, kX4, "ABCDEFGHIJ")});
    struct Case {
        const char *name;
        const char *serial;
        int nth;
        int result;
        unsigned dev, mot;   // 77 = outputs untouched
    };
    const Case cases[] = {
        {"Axis", nullptr, -1, 2, 0, 0},
        {"Axis", nullptr, 1, 1, 1, 1},
        {"Axis", nullptr, 0, 0, 0, 0},
        {"Axis", "SER1", -1, 1, 1, 1},
        {"Axis", nullptr, 5, 2, 0, 0},
        {"axis", nullptr, -1, 0, 77, 77},
        {"Axis", nullptr, 0, 0, 0, 0},
        {"Foo", "SER1", -1, 0, 77, 77},
        {"Foo", "", -1, 0, 77, 77},
        {"Fo", nullptr, -1, 0, 77, 77},
        {"ABCDEFGHIJ", nullptr, -1, 1, 1, 2},   // a 10-character name without terminator
        {"ABCDEFGHIJK", nullptr, -1, 0, 77, 77},
        {"ABCDEFGHI", nullptr, -1, 0, 77, 77},
        {"Nobody", nullptr, 0, 0, 77, 77},
    };
    for (const Case &c : cases) {
        unsigned dev = 77, mot = 77;
        EXPECT_EQ(_SM_GetIndex(&dev, &mot, c.name, c.serial, c.nth), c.result)
            << c.name << " " << (c.serial ? c.serial : "NULL") << " " << c.nth;
        EXPECT_EQ(dev, c.dev) << c.name;
        EXPECT_EQ(mot, c.mot) << c.name;
    }

    // The SMN_ functions act on the first motor of the name.
    EXPECT_TRUE(_SMN_StepMove("Axis", 5, false));
    EXPECT_EQ(Motor(0, 0).Target, 5);
    EXPECT_EQ(Motor(1, 1).Target, 0);
    EXPECT_EQ(_SMN_IsRunning("Axis"), 1);
    EXPECT_EQ(_SMN_IsRunning("Nobody"), -1);
    EXPECT_EQ(_SMN_GetTarget("Axis"), 5.0);
}

// ---- Queries -------------------------------------------------------------------

TEST_F(Exports, TypeCodeAndTypeNames)
{
    OpenBoards({Slot(1, kX4, "A"), Slot(2, 0x2A, "B"), Slot(3, 0x05, "C"), Slot(4, 0xC8, "D")}, {});
    char buf[20];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(_SM_GetType(0, 0, buf, 16), -123);
    EXPECT_STREQ(buf, "X (4wires)");
    EXPECT_EQ(std::string(buf + 10, 6), std::string(6, '\0'));   // zero fill up to len
    EXPECT_EQ(buf[16], 'Z');

    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(_SM_GetType(0, 0, buf, 5), -123);
    EXPECT_EQ(std::string(buf, 6), "X (4wZ");   // five characters, no terminator
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(_SM_GetType(0, 0, buf, 10), -123);
    EXPECT_EQ(std::string(buf, 11), "X (4wires)Z");   // exactly len: no terminator
    EXPECT_EQ(_SM_GetType(0, 0, buf, 0), -123);       // len 0 writes nothing
    EXPECT_EQ(buf[0], 'X');

    EXPECT_EQ(_SM_GetType(0, 1, buf, sizeof buf), 0x2A);
    EXPECT_STREQ(buf, "X (synchron)");
    EXPECT_EQ(_SM_GetType(0, 2, buf, sizeof buf), 0x05);
    EXPECT_STREQ(buf, "???");
    EXPECT_EQ(_SM_GetType(0, 3, buf, sizeof buf), -56);
    EXPECT_STREQ(buf, "R block (4wires)");
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(_SM_GetType(0, 3, buf, 16), -56);   // 16 characters in 16 bytes
    EXPECT_EQ(std::string(buf, 17), "R block (4wires)Z");

    const char *name = nullptr;
    EXPECT_EQ(_INF_GetMTypeName(-123, &name), 10);
    EXPECT_STREQ(name, "X (4wires)");
    const char *again = nullptr;
    EXPECT_EQ(_INF_GetMTypeName(133, &again), 10);
    EXPECT_EQ(again, name);                           // the same static text
    EXPECT_EQ(_INF_GetMTypeName(0x105, &again), 3);   // only the low byte counts
    EXPECT_STREQ(again, "???");
    EXPECT_EQ(_INF_GetMTypeName(0, &again), 4);
    EXPECT_STREQ(again, "None");
}

TEST_F(Exports, InfoCountsAndGlobalIndex)
{
    OpenBoards({Slot(1, kX4, "A", 2.0f, 3.5f), Slot(2, kX4, "ABCDEFGHIJ")}, {Slot(5, 0x2B, "C")});
    ASSERT_TRUE(_SM_SetZero(0, 0));     // zero offset 7 steps
    ASSERT_TRUE(_SM_Move(0, 0, 1.0));   // user 1.0 = 2 steps
    TickUntilStopped(0, 0, 1.0);

    SMotorSettings info;
    std::memset(&info, 0x5A, sizeof info);
    ASSERT_TRUE(_SM_GetInfo(0, 0, &info));
    EXPECT_EQ(info.Address, 1);
    EXPECT_EQ(info.TypeCode, kX4);
    EXPECT_EQ(+info.Coefficient, 2.0f);   // packed fields: read by value
    EXPECT_STREQ(info.Name, "A");
    EXPECT_EQ(std::string(info.Name + 1, 9), std::string(9, '\0'));
    EXPECT_FLOAT_EQ(+info.Position, 4.5f);   // absolute, 9 steps
    EXPECT_FLOAT_EQ(+info.Zero, 3.5f);       // 7 steps
    EXPECT_EQ(_SM_GetPosition(0, 0), 1.0);
    EXPECT_EQ(_SM_GetRealPosition(0, 0), 4.5);
    EXPECT_EQ(_SM_GetZero(0, 0), 3.5);

    EXPECT_EQ(_SM_GetCountInAll(), 3u);
    ASSERT_TRUE(_SM_GetInfoInAll(1, &info));
    EXPECT_EQ(std::string(info.Name, 10), "ABCDEFGHIJ");
    ASSERT_TRUE(_SM_GetInfoInAll(2, &info));
    EXPECT_STREQ(info.Name, "C");
    EXPECT_EQ(info.Address, 5);
    EXPECT_FALSE(_SM_GetInfoInAll(3, &info));
    EXPECT_STREQ(info.Name, "C");   // untouched

    // A closed board's motors drop out of the global index.
    _CloseDevice(0);
    EXPECT_EQ(_SM_GetCountInAll(), 1u);
    ASSERT_TRUE(_SM_GetInfoInAll(0, &info));
    EXPECT_STREQ(info.Name, "C");
    EXPECT_FALSE(_SM_GetInfoInAll(1, &info));
}

// ---- Moves ---------------------------------------------------------------------

TEST_F(Exports, RelativeMovesStartFromThePosition)
{
    OpenBoards({Slot(1, kX4, "S", 1.0f, 500.0f), Slot(2, kX4, "U", 100.0f, 2.5f)}, {});
    {
        BoardLock lock(Board(0));
        Motor(0, 0).ZeroOffset = 200;
    }
    ASSERT_TRUE(_SMN_StepMove("S", 100, true));
    EXPECT_EQ(Motor(0, 0).Target, 600);
    EXPECT_EQ(_SMN_GetTarget("S"), 400.0);
    EXPECT_EQ(_SM_GetTarget(0, 0), 400.0);
    // While it runs, a relative move counts from where it is, not its target.
    TickAt(1.0);
    TickAt(1.001);
    ASSERT_EQ(Motor(0, 0).Position, 502);
    ASSERT_TRUE(_SMN_StepMove("S", 10, true));
    EXPECT_EQ(Motor(0, 0).Target, 512);
    ASSERT_TRUE(_SMN_StepMove("S", -10, false));
    EXPECT_EQ(Motor(0, 0).Target, 190);

    ASSERT_EQ(Motor(0, 1).Position, 250);
    ASSERT_TRUE(_SMN_Move("U", 10.0, true, 0));
    EXPECT_EQ(Motor(0, 1).Target, 1250);
    EXPECT_EQ(_SM_GetTarget(0, 1), 12.5);
    // speed has no effect on where the motor goes.
    ASSERT_TRUE(_SMN_Move("U", 5.0, false, 0));
    EXPECT_EQ(Motor(0, 1).Target, 500);
    ASSERT_TRUE(_SMN_Move("U", 5.0, false, 1234));
    EXPECT_EQ(Motor(0, 1).Target, 500);
}

TEST_F(Exports, UnrepresentableStepCountsAreRefused)
{
    OpenBoards({Slot(1, kX4, "M", 1.0f, 1.0f), Slot(2, kX4, "Z", 1.0f, 0.0f)}, {});
    {
        BoardLock lock(Board(0));
        Motor(0, 1).ZeroOffset = 1000;
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const int32_t max = std::numeric_limits<int32_t>::max();
    const int32_t min = std::numeric_limits<int32_t>::min();
    struct Case {
        const char *what;
        std::function<bool()> call;
    };
    const std::vector<Case> refused = {
        {"Move 3e9", [] { return _SM_Move(0, 0, 3e9); }},
        {"Move -3e9", [] { return _SM_Move(0, 0, -3e9); }},
        {"Move NaN", [=] { return _SM_Move(0, 0, nan); }},
        {"Move inf", [=] { return _SM_Move(0, 0, -inf); }},
        {"Move absolute overflow", [=] { return _SM_Move(0, 1, max - 500.0); }},
        {"SMN_Move NaN", [=] { return _SMN_Move("M", nan, false, 0); }},
        {"SMN_Move relative overflow", [=] { return _SMN_Move("M", double(max), true, 0); }},
        {"SMN_Move inf", [=] { return _SMN_Move("M", inf, true, 0); }},
        {"StepMove relative overflow", [=] { return _SMN_StepMove("M", max, true); }},
        {"StepMove absolute overflow", [=] { return _SMN_StepMove("Z", max, false); }},
        {"StepMove relative underflow", [=] { return _SMN_StepMove("Z", min, true); }},
        {"SetDestination 3e9", [] { return _SM_SetDestination(0, 0, 3e9); }},
        {"SetDestination NaN", [=] { return _SM_SetDestination(0, 0, nan); }},
        {"SetDestination inf", [=] { return _SM_SetDestination(0, 0, inf); }},
        {"SetDestination absolute overflow", [=] { return _SM_SetDestination(0, 1, max - 500.0); }},
    };
    for (const Case &c : refused) {
        EXPECT_FALSE(c.call()) << c.what;
        for (unsigned m = 0; m < 2; ++m) {
            EXPECT_FALSE(_SM_IsRunning(0, m)) << c.what;
            EXPECT_EQ(Motor(0, m).Target, m == 0 ? 1 : 0) << c.what;
            EXPECT_EQ(Motor(0, m).Destination, 0) << c.what;
        }
    }
    // The limits themselves are fine.
    EXPECT_TRUE(_SM_SetDestination(0, 0, double(max)));
    EXPECT_EQ(Motor(0, 0).Destination, max);
    EXPECT_TRUE(_SM_SetDestination(0, 1, double(max) - 1000.0));
    EXPECT_EQ(Motor(0, 1).UserDestination() + Motor(0, 1).ZeroOffset, max);
    EXPECT_TRUE(_SMN_StepMove("M", min, false));
    EXPECT_EQ(Motor(0, 0).Target, min);
}

TEST_F(Exports, RunMeasuresTheDestinationFromItsZeroAndDoesNotDrift)
{
    OpenBoards({Slot(1, kX4, "M", 1.0f, 100.0f)}, {});
    ASSERT_TRUE(_SM_SetZero(0, 0));
    ASSERT_EQ(Motor(0, 0).ZeroOffset, 100);

    ASSERT_TRUE(_SM_SetDestination(0, 0, 50.0));
    EXPECT_EQ(_SM_GetTarget(0, 0), 50.0);   // the user target, before _Run
    EXPECT_FALSE(_SM_IsRunning(0, 0));      // no motion yet

    ASSERT_TRUE(_Run(0));
    EXPECT_EQ(Motor(0, 0).Target, 150);
    EXPECT_EQ(_SM_GetTarget(0, 0), 50.0);
    TickUntilStopped(0, 0, 1.0);
    EXPECT_EQ(Motor(0, 0).Position, 150);
    EXPECT_EQ(_SM_GetPosition(0, 0), 50.0);

    // A second _Run without a new destination stays where it is, also after
    // the zero point changed.
    Events().Take();
    ASSERT_TRUE(_Run(0));
    EXPECT_EQ(Motor(0, 0).Target, 150);
    EXPECT_FALSE(_SM_IsRunning(0, 0));
    EXPECT_EQ(Events().Take(), std::vector<int32_t>{0});
    EXPECT_EQ(_SM_GetTarget(0, 0), 50.0);
    ASSERT_TRUE(_SM_SetZero(0, 0));   // the toggle clears the zero
    EXPECT_EQ(_SM_GetTarget(0, 0), 150.0);
    ASSERT_TRUE(_Run(0));
    EXPECT_EQ(Motor(0, 0).Target, 150);
    EXPECT_FALSE(_SM_IsRunning(0, 0));

    // A move stores its absolute target the same way.
    ASSERT_TRUE(_SM_Move(0, 0, 20.0));
    EXPECT_EQ(Motor(0, 0).Destination, 20);
    EXPECT_EQ(_SM_GetTarget(0, 0), 20.0);
    TickUntilStopped(0, 0, 2.0);

    // Set target, zero, run: at real 10, destination 5, zero set at 10: the
    // motor goes to real 15, user 5.
    ASSERT_TRUE(_SMN_StepMove("M", 10, false));
    TickUntilStopped(0, 0, 3.0);
    ASSERT_EQ(Motor(0, 0).Position, 10);
    ASSERT_TRUE(_SM_SetDestination(0, 0, 5.0));
    ASSERT_TRUE(_SM_SetZero(0, 0));
    EXPECT_EQ(_SM_GetTarget(0, 0), 5.0);   // still 5 from the new zero
    ASSERT_TRUE(_Run(0));
    TickUntilStopped(0, 0, 4.0);
    EXPECT_EQ(_SM_GetRealPosition(0, 0), 15.0);
    EXPECT_EQ(_SM_GetPosition(0, 0), 5.0);
    EXPECT_EQ(_SM_GetTarget(0, 0), 5.0);
}

TEST_F(Exports, MoveToItsOwnTargetRaisesStoppedWithNoLockHeld)
{
    OpenBoards({Slot(1, kX4, "M", 1.0f, 4.0f)}, {});
    static double seen;
    seen = -1;
    // The host may call back into the library from its event handler.
    Events().inside = [](int32_t) { seen = _SM_GetPosition(0, 0) + _SM_GetCount(0); };
    EXPECT_TRUE(_SM_Move(0, 0, 4.0));
    EXPECT_EQ(Events().Take(), std::vector<int32_t>{0});
    EXPECT_EQ(seen, 5.0);
    EXPECT_FALSE(_SM_IsRunning(0, 0));
    EXPECT_TRUE(_SMN_StepMove("M", 4, false));
    EXPECT_EQ(Events().Take(), std::vector<int32_t>{0});
}

// ---- Synchronous start ----------------------------------------------------------

TEST_F(Exports, RunStartsAllMotorsOnOneTick)
{
    OpenBoards({Slot(1, kX4, "A"), Slot(2, kX4, "B"), Slot(3, kX4, "C")},
               {Slot(1, kX4, "D"), Slot(0, kX4, "E"), Slot(3, kX4, "F")});
    for (unsigned m = 0; m < 3; ++m) {
        ASSERT_TRUE(_SM_SetDestination(0, m, 5.0));
        ASSERT_TRUE(_SM_SetDestination(1, m, 5.0));
    }
    simbus::ClearCalls();
    ASSERT_TRUE(_Run(0));
    EXPECT_FALSE(Board(0).HoldStart);

    // Board 1: motor 1 has no address: motor 0 starts, motor 2 does not.
    EXPECT_FALSE(_Run(1));
    EXPECT_FALSE(Board(1).HoldStart);
    EXPECT_TRUE(_SM_IsRunning(1, 0));
    EXPECT_FALSE(_SM_IsRunning(1, 1));
    EXPECT_FALSE(_SM_IsRunning(1, 2));

    TickAt(1.0);
    auto w0 = simbus::Writes(kSer0);
    ASSERT_EQ(w0.size(), 1u);
    EXPECT_EQ(w0[0], Concat({Frame4(1, 1), Frame4(2, 1), Frame4(3, 1)}));
    auto w1 = simbus::Writes(kSer1);
    ASSERT_EQ(w1.size(), 1u);
    EXPECT_EQ(w1[0], Frame4(1, 1));
}

TEST_F(Exports, RunWithTheLastMotorAlreadyThere)
{
    OpenBoards({Slot(1, kX4, "A"), Slot(2, kX4, "B"), Slot(3, kX4, "C")}, {});
    ASSERT_TRUE(_SM_SetDestination(0, 0, 2.0));
    ASSERT_TRUE(_SM_SetDestination(0, 1, -2.0));
    // motor 2 keeps destination 0, its current target.
    simbus::ClearCalls();
    Events().Take();
    ASSERT_TRUE(_Run(0));
    EXPECT_EQ(Events().Take(), std::vector<int32_t>{2});
    EXPECT_FALSE(Board(0).HoldStart);
    TickAt(1.0);
    auto w = simbus::Writes(kSer0);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0], Concat({Frame4(1, 1), Frame4(2, -1)}));

    // A board without motors starts nothing and succeeds.
    EXPECT_TRUE(_Run(1));
}

TEST_F(Exports, InitializeAllAndStopAll)
{
    SMotorSettings block = Slot(1, kBlockX4, "B", 1.0f, 100.0f, 10, 5, 5);
    block.TravelLength = 1000;
    OpenBoards({block, Slot(2, kX4, "P", 1.0f, 100.0f, 10, 5, 5)}, {});
    _InitializeAll(0);
    EXPECT_EQ(Motor(0, 0).Target, -1000);   // 100 - 1.1 x 1000
    EXPECT_TRUE(_SM_IsRunning(0, 0));
    EXPECT_FALSE(_SM_IsRunning(0, 1));   // not a block type

    ASSERT_TRUE(_SM_Move(0, 1, 200.0));
    double t = 1.0;
    for (int i = 0; i < 200; ++i, t += 0.001)
        TickAt(t);
    _StopAll(0);
    for (unsigned m = 0; m < 2; ++m) {
        const SMotor &motor = Motor(0, m);
        EXPECT_EQ(motor.Target, motor.Position + motor.Direction.load() * 10) << m;
    }
}

TEST_F(Exports, EveryStopStopsAMotorDeceleratingForANewTarget)
{
    // Cruising at 5 ms per step with a ramp of 10, then sent far behind
    // itself and stopped: it rests 10 steps on, where the deceleration ends,
    // and neither turns back nor runs on.
    struct Case {
        const char *what;
        void (*stop)();
    };
    const Case cases[] = {
        {"_SM_Stop", [] { EXPECT_TRUE(_SM_Stop(0, 0)); }},
        {"_SMN_Stop", [] { EXPECT_TRUE(_SMN_Stop("M")); }},
        {"_StopAll", [] { _StopAll(0); }},
        {"_SM_Stop and _StopAll",
         [] {
             EXPECT_TRUE(_SM_Stop(0, 0));
             _StopAll(0);
         }},
    };
    OpenBoards({Slot(1, kX4, "M", 1.0f, 0.0f, 10, 5, 5)}, {});
    double t = 1.0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(_SM_Move(0, 0, 1e6));
        for (int i = 0; i < 1000 && _SM_GetRealPosition(0, 0) < 100.0 + 1000.0 * (&c - cases); ++i, t += 0.001)
            TickAt(t);
        const int32_t at = Motor(0, 0).Position;
        ASSERT_EQ(Motor(0, 0).RampState, RampPhase::Cruise);
        ASSERT_TRUE(_SM_Move(0, 0, -20000.0));
        c.stop();
        int32_t lowest = at;
        for (int i = 0; i < 2000 && _SM_IsRunning(0, 0); ++i, t += 0.001) {
            TickAt(t);
            lowest = std::min(lowest, Motor(0, 0).Position);
        }
        EXPECT_FALSE(_SM_IsRunning(0, 0));
        EXPECT_EQ(Motor(0, 0).Position, at + 10);
        EXPECT_EQ(lowest, at);
        // A reset right after finds it at rest.
        EXPECT_TRUE(_SM_Reset(0, 0));
        t += 0.1;
    }
}

TEST_F(Exports, ANewStartAfterACutMoveStepsAtTheNextTick)
{
    // A ramp of 10 at 5 ms: after the first step the next one waits 50 ms.
    OpenBoards({Slot(1, kX4, "M", 1.0f, 0.0f, 10, 5, 5)}, {});
    struct Case {
        const char *what;
        void (*cut)();
    };
    const Case cases[] = {
        {"_SMN_Reset", [] { ASSERT_TRUE(_SMN_Reset("M")); }},
        {"_CloseDevice",
         [] {
             ASSERT_TRUE(_CloseDevice(0));
             ASSERT_TRUE(_OpenDevice(0));
         }},
    };
    double t = 1.0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(_SM_Move(0, 0, 100.0));
        TickAt(t);
        TickAt(t + 0.001);
        ASSERT_TRUE(_SM_IsRunning(0, 0));
        c.cut();
        ASSERT_FALSE(_SM_IsRunning(0, 0));
        const int32_t from = Motor(0, 0).Position;
        ASSERT_TRUE(_SM_Move(0, 0, from + 5.0));
        simbus::ClearCalls();
        TickAt(t + 0.002);
        auto w = simbus::Writes(kSer0);
        ASSERT_EQ(w.size(), 1u);
        EXPECT_EQ(w[0], Frame4(1, from + 1));
        TickUntilStopped(0, 0, t + 0.003);
        EXPECT_EQ(Motor(0, 0).Position, from + 5);
        t += 1.0;
    }
}

TEST_F(Exports, PositionsBeyondTheFloatRangeAreClampedInRecordsAndFiles)
{
    // 1e-36 steps per unit: 1000 steps are 1e39 units, beyond any float.
    OpenBoards({Slot(1, kX4, "M", 1e-36f), Slot(2, kX4, "N", 1e-36f)}, {});
    {
        BoardLock lock(Board(0));
        Motor(0, 0).Position = 1000;
        Motor(0, 0).ZeroOffset = -1000;
        Motor(0, 1).Position = -1000;
    }
    const float max = std::numeric_limits<float>::max();
    SMotorSettings info;
    ASSERT_TRUE(_SM_GetInfo(0, 0, &info));
    EXPECT_EQ(+info.Position, max);   // packed fields: read by value
    EXPECT_EQ(+info.Zero, -max);
    ASSERT_TRUE(_SM_GetInfo(0, 1, &info));
    EXPECT_EQ(+info.Position, -max);

    ASSERT_TRUE(_RenameDevice(0, "Saved"));
    DeviceSettings onDisk;
    std::ifstream f("configs/SER0.hws", std::ios::binary);
    f.read(reinterpret_cast<char *>(&onDisk), sizeof onDisk);
    ASSERT_EQ(f.gcount(), 289);
    EXPECT_EQ(+onDisk.MotorSettings[0].Position, max);
    EXPECT_EQ(+onDisk.MotorSettings[1].Position, -max);
}

// ---- Zero and reset ---------------------------------------------------------------

TEST_F(Exports, SetZeroTogglesAndResetKeepsTheZero)
{
    OpenBoards({Slot(1, kX4, "M", 2.0f, 3.5f), Slot(2, kX4, "O")}, {});
    ASSERT_TRUE(_SM_SetZero(0, 0));
    EXPECT_EQ(_SM_GetPosition(0, 0), 0.0);
    EXPECT_EQ(_SM_GetZero(0, 0), 3.5);
    EXPECT_EQ(_SM_GetRealPosition(0, 0), 3.5);
    ASSERT_TRUE(_SMN_SetZero("M"));   // the toggle clears it again
    EXPECT_EQ(_SM_GetZero(0, 0), 0.0);
    EXPECT_EQ(_SM_GetPosition(0, 0), _SM_GetRealPosition(0, 0));

    // At real 0 without an offset nothing changes.
    ASSERT_TRUE(_SM_SetZero(0, 1));
    EXPECT_EQ(Motor(0, 1).ZeroOffset, 0);

    // Reset clears position, target and destination, and keeps the zero.
    ASSERT_TRUE(_SM_SetZero(0, 0));
    ASSERT_TRUE(_SM_SetDestination(0, 0, 1.0));
    ASSERT_TRUE(_SM_Reset(0, 0));
    EXPECT_EQ(_SM_GetRealPosition(0, 0), 0.0);
    EXPECT_EQ(_SM_GetPosition(0, 0), -3.5);
    EXPECT_EQ(_SM_GetZero(0, 0), 3.5);
    EXPECT_EQ(Motor(0, 0).Target, 0);
    EXPECT_EQ(Motor(0, 0).Destination, 0);
}

TEST_F(Exports, SmnResetStopsARunningMotorSilently)
{
    OpenBoards({Slot(1, kX4, "M"), Slot(2, kX4, "N")}, {});
    ASSERT_TRUE(_SM_Move(0, 0, 100.0));
    TickAt(1.0);
    TickAt(1.001);
    ASSERT_EQ(Motor(0, 0).Position, 2);
    Events().Take();
    simbus::ClearCalls();
    ASSERT_TRUE(_SMN_Reset("M"));
    EXPECT_EQ(_SMN_IsRunning("M"), 0);
    for (int i = 0; i < 5; ++i)
        TickAt(1.002 + 0.001 * i);
    EXPECT_TRUE(simbus::Writes(kSer0).empty());   // no step, no release
    EXPECT_TRUE(Events().Take().empty());         // no "Motor Stopped"
    EXPECT_EQ(Motor(0, 0).Position, 0);
    EXPECT_EQ(Motor(0, 0).Target, 0);
    EXPECT_EQ(_SM_GetTarget(0, 0), 0.0);
}

// ---- Host handlers inside the tick ---------------------------------------------------

TEST_F(Exports, WaitingFunctionsInsideTheTickStopTheMotorAndFailAtOnce)
{
    // The tick is driven here on this thread: a handler raised from inside
    // TickAllDevices runs as it would on the tick thread.
    OpenBoards({Slot(1, kX4, "A"), Slot(2, kX4, "N", 1.0f, 0.0f, 10, 5, 5)}, {Slot(1, kX4, "B")});
    struct Result {
        const char *what;
        bool result;
    };
    static std::vector<Result> results;
    static double took;
    results.clear();
    Events().inside = [](int32_t index) {
        if (index != 0 || !results.empty())
            return;
        const double start = GetClockSeconds();
        results.push_back({"_SM_Reset", _SM_Reset(0, 1)});
        results.push_back({"_SM_SetZero", _SM_SetZero(0, 1)});
        results.push_back({"_SMN_SetZero", _SMN_SetZero("N")});
        results.push_back({"_SM_Release", _SM_Release(0, 1)});
        results.push_back({"_SMN_Release", _SMN_Release("N")});
        results.push_back({"_SM_ReleaseAll", _SM_ReleaseAll()});
        took = GetClockSeconds() - start;
    };
    ASSERT_TRUE(_SM_Move(0, 1, 1000.0));
    TickAt(1.0);
    TickAt(1.05);
    TickAt(1.075);
    ASSERT_EQ(Motor(0, 1).Position, 3);
    ASSERT_TRUE(_SM_Move(0, 0, 1.0));   // one step without ramp: stops in its tick
    simbus::ClearCalls();
    TickAllDevices();
    ASSERT_EQ(results.size(), 6u);
    for (const Result &r : results)
        EXPECT_FALSE(r.result) << r.what;
    EXPECT_LT(took, 2.0);   // no 10 s waits
    // The stop was asked for, nothing else changed: no zero, no reset, and no
    // release of board 0 (its motor runs); board 1 is released.
    // (The walk ran on the real clock: motor N made its due step in it.)
    EXPECT_TRUE(_SM_IsRunning(0, 1));
    EXPECT_EQ(Motor(0, 1).Target, Motor(0, 1).Position + 10);
    EXPECT_EQ(Motor(0, 1).ZeroOffset, 0);
    EXPECT_NE(Motor(0, 1).Position, 0);
    for (const auto &w : simbus::Writes(kSer0))
        EXPECT_EQ(w.size() % 3, 0u);   // step frames only, no release
    EXPECT_EQ(simbus::Writes(kSer1).size(), 1u);
    Events().inside = nullptr;
}

TEST_F(Exports, EventsCausedByAHandlerWaitForTheNextPass)
{
    // A handler that answers every "Motor Stopped" of motor 0 with a move to
    // its current target (which raises it again).
    OpenBoards({Slot(1, kX4, "M", 1.0f, 4.0f)}, {Slot(1, kX4, "B")});
    static int calls;
    calls = 0;
    Events().inside = [](int32_t index) {
        if (index == 0 && ++calls < 1000)
            _SM_Move(0, 0, 4.0);
    };
    // On this (client) thread: one event per call into the library.
    EXPECT_TRUE(_SM_Move(0, 0, 4.0));
    EXPECT_EQ(Events().Take().size(), 1u);
    EXPECT_EQ(_SM_GetCount(0), 1);
    EXPECT_EQ(Events().Take().size(), 1u);
    // In the tick's walk: one per walk.
    for (int walk = 0; walk < 3; ++walk) {
        TickAllDevices();
        EXPECT_EQ(Events().Take().size(), 1u) << walk;
    }
    EXPECT_EQ(calls, 5);
    // Events of the tick's own boards still go out in the walk that noted them.
    Events().inside = nullptr;
    ASSERT_TRUE(_SM_Move(1, 0, 1.0));
    TickAllDevices();
    std::vector<int32_t> events = Events().Take();
    std::sort(events.begin(), events.end());
    EXPECT_EQ(events, (std::vector<int32_t>{0, 0}));   // board 1's motor 0, and the late one
}

// ---- Release and removal -------------------------------------------------------------

TEST_F(Exports, ReleaseAllGoesOnPastAClosedBoard)
{
    OpenBoards({Slot(1, kX4, "A")}, {Slot(2, kX4, "B"), Slot(3, kX4, "C")});
    simbus::ClearCalls();
    ASSERT_TRUE(_SM_ReleaseAll());
    EXPECT_EQ(simbus::Writes(kSer0).size(), 1u);
    EXPECT_EQ(simbus::Writes(kSer1).size(), 1u);

    ASSERT_TRUE(_CloseDevice(0));
    simbus::ClearCalls();
    EXPECT_FALSE(_SM_ReleaseAll());
    EXPECT_TRUE(simbus::Writes(kSer0).empty());
    auto w = simbus::Writes(kSer1);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0], (std::vector<uint8_t>{0x90, 0xF0, 0xA0, 0xF0, 0xFF, 0xF0, 0xFF, 0xF0, 0xFF, 0xF0, 0xFF, 0xF0, 0xFF,
                                          0xF0}));

    simbus::ClearCalls();
    EXPECT_TRUE(_SM_Release(1, 1));
    EXPECT_TRUE(_SMN_Release("B"));
    w = simbus::Writes(kSer1);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], (std::vector<uint8_t>{0xA0, 0xF0}));
    EXPECT_EQ(w[1], (std::vector<uint8_t>{0x90, 0xF0}));
    EXPECT_FALSE(_SMN_Release("A"));   // on the closed board: not found
}

TEST_F(Exports, RemoveReturnsTheSavesResult)
{
    OpenBoards({Slot(1, kX4, "A"), Slot(2, kX4, "B"), Slot(3, kX4, "C"), Slot(4, kX4, "D")}, {});
    ASSERT_TRUE(_SM_Remove(0, 1));
    EXPECT_EQ(_SM_GetCount(0), 3);
    unsigned dev = 9, mot = 9;
    EXPECT_EQ(_SM_GetIndex(&dev, &mot, "C", nullptr, -1), 1);
    EXPECT_EQ(mot, 1u);
    EXPECT_EQ(_SM_GetIndex(&dev, &mot, "B", nullptr, -1), 0);
    {   // saved: the file holds the moved slots
        DeviceSettings onDisk;
        std::ifstream f("configs/SER0.hws", std::ios::binary);
        f.read(reinterpret_cast<char *>(&onDisk), sizeof onDisk);
        ASSERT_EQ(f.gcount(), 289);
        EXPECT_STREQ(onDisk.MotorSettings[1].Name, "C");
        EXPECT_EQ(onDisk.MotorSettings[3].TypeCode, 0);
    }

    // Refused while this motor or a later one runs.
    ASSERT_TRUE(_SM_Move(0, 2, 50.0));
    EXPECT_FALSE(_SM_Remove(0, 0));
    EXPECT_EQ(_SM_GetCount(0), 3);
    ASSERT_TRUE(_SMN_Reset("D"));

    // A failed save: false, and the motor is gone all the same.
    simbus::FailNext(simbus::Op::WriteUserArea, 1);
    EXPECT_FALSE(_SM_Remove(0, 2));
    EXPECT_EQ(_SM_GetCount(0), 2);
}

}   // namespace

// board_test.cpp - the board record on the simulated bus, ticked by hand:
// Open and its failures, the user-area name, the settings file, Close, the
// watchdog, the tick, the release, discovery, the pointer lists and the motor
// slots.
#include "board_fixture.h"

#include <random>
#include <thread>

#include "periodic.h"

using namespace boardtest;
using simbus::Op;

namespace {

const Bytes kRelease14 = {0xFF, 0xF0, 0xFF, 0xF0, 0xFF, 0xF0, 0xFF, 0xF0, 0xFF, 0xF0, 0xFF, 0xF0, 0xFF, 0xF0};

// ---- Open ---------------------------------------------------------------------

TEST_F(BoardTest, OpenMakesItsCallsInOrder)
{
    USBDriver b("TRUV-kq4", "S1");
    EXPECT_EQ(b.Name, "TRUV-kq40");
    simbus::ClearCalls();
    ASSERT_TRUE(b.Open());
    const auto calls = simbus::Calls();
    ASSERT_EQ(Ops(calls),
              (std::vector<Op>{Op::OpenBySerial, Op::SetPinMode, Op::SetPinClock, Op::ReadUserArea, Op::WriteBytes}));
    EXPECT_EQ(calls[0].serial, "S1");
    EXPECT_EQ(calls[1].arg, 0xFFu << 8 | 1u);
    EXPECT_EQ(calls[2].arg, 3000000u);
    EXPECT_EQ(calls[3].arg, 64u);
    EXPECT_EQ(calls[4].data, kRelease14);
    EXPECT_TRUE(b.Opened);
    EXPECT_EQ(b.MotorCount, 0u);
    EXPECT_EQ(b.Name, "TRUV-kq40");   // empty user area: name kept
    // A second Open of an open board opens nothing.
    simbus::ClearCalls();
    EXPECT_TRUE(b.Open());
    EXPECT_TRUE(simbus::Calls().empty());
}

TEST_F(BoardTest, EachFailingOpenStepClosesWhatItOpened)
{
    struct Case {
        Op op;
        bool closes;
    } cases[] = {
        {Op::OpenBySerial, false}, {Op::SetPinMode, true}, {Op::SetPinClock, true},
        {Op::ReadUserArea, true},  {Op::WriteBytes, true},
    };
    WriteSettings("S1", Block({Slot(1, 0x85, "m0", 2.5f)}));
    for (const Case &c : cases) {
        SCOPED_TRACE(simbus::OpName(c.op));
        USBDriver b("TRUV-kq4", "S1");
        simbus::ClearCalls();
        simbus::FailNext(c.op, 1);
        EXPECT_FALSE(b.Open());
        EXPECT_FALSE(b.Opened);
        EXPECT_EQ(simbus::OpenHandles(), 0u);
        const auto calls = simbus::Calls();
        EXPECT_EQ(calls.back().op, c.closes ? Op::CloseDevice : Op::OpenBySerial);
        // Nothing of the failed attempt stays live.
        EXPECT_EQ(b.MotorCount, 0u);
        EXPECT_EQ(b.Motors[0].Position, 0);
        // The next attempt starts from the beginning and succeeds.
        EXPECT_TRUE(b.Open());
        b.Close(false);
    }
    // An unreadable settings file (a directory in its place) fails step 4.
    std::filesystem::remove(SettingsPath("S1"));
    std::filesystem::create_directory(SettingsPath("S1"));
    USBDriver b("TRUV-kq4", "S1");
    simbus::ClearCalls();
    EXPECT_FALSE(b.Open());
    EXPECT_EQ(Ops(simbus::Calls()),
              (std::vector<Op>{Op::OpenBySerial, Op::SetPinMode, Op::SetPinClock, Op::ReadUserArea, Op::CloseDevice}));
}

TEST_F(BoardTest, DisplayNameFromTheUserArea)
{
    struct Case {
        Bytes area;
        std::string name;
    } cases[] = {
        {{}, "TRUV-kq40"},
        {{0, 'a', 'b'}, "TRUV-kq40"},
        {{'B', 'e', 'n', 'c', 'h', 0, 'x', 'y'}, "Bench"},
        {{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'}, "ABCDEFGHIJ"},
        {Bytes(64, 'Z'), std::string(64, 'Z')},
    };
    for (const Case &c : cases) {
        simbus::SetUserArea("S1", c.area);
        USBDriver b("TRUV-kq4", "S1");
        ASSERT_TRUE(b.Open());
        EXPECT_EQ(b.Name, c.name);
        b.Close(true);   // lost: the user area stays as set
    }
}

TEST_F(BoardTest, OpenCountsOnlyConfiguredSlotsAndRestoresPositions)
{
    SMotorSettings none = Slot(3, 0, "gap", 7.0f);
    WriteSettings("S1", Block({none, Slot(1, 0x85, "a", 1.5f, 2.0f), Slot(2, 0x01, "b", -2.0f)}));
    USBDriver b("TRUV-kq4", "S1");
    b.Motors[1].ZeroOffset = 5;
    b.Motors[1].Destination = 9;
    ASSERT_TRUE(b.Open());
    EXPECT_EQ(b.MotorCount, 2u);
    EXPECT_EQ(b.Motors[0].Position, 0);   // type 0: not restored
    EXPECT_EQ(b.Motors[1].Position, 3);
    EXPECT_EQ(b.Motors[1].Target, 3);
    EXPECT_EQ(b.Motors[2].Position, -2);
    EXPECT_EQ(b.Motors[1].ZeroOffset, 5);   // zero offsets and destinations untouched
    EXPECT_EQ(b.Motors[1].Destination, 9);
}

// ---- Settings file ---------------------------------------------------------------

TEST_F(BoardTest, LoadSettingsCopiesAtMostTheBlock)
{
    DeviceSettings full = Block({Slot(4, 0x86, "full")}, "FileName");
    Bytes longer = BytesOf(&full, sizeof full);
    longer.resize(400, 0xEE);
    struct Case {
        const char *what;
        Bytes content;
        size_t replaced;
    } cases[] = {
        {"empty", {}, 0},
        {"15 bytes", BytesOf(&full, 15), 15},
        {"289 bytes", BytesOf(&full, 289), 289},
        {"400 bytes", longer, 289},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        USBDriver b("TRUV-kq4", "S1");
        const DeviceSettings before = b.Settings;
        WriteFile(SettingsPath("S1"), c.content.data(), c.content.size());
        ASSERT_TRUE(b.LoadSettings());
        const Bytes now = BytesOf(&b.Settings, sizeof b.Settings);
        const Bytes old = BytesOf(&before, sizeof before);
        const Bytes file = BytesOf(&full, sizeof full);
        EXPECT_TRUE(std::equal(now.begin(), now.begin() + c.replaced, file.begin()));
        EXPECT_TRUE(std::equal(now.begin() + c.replaced, now.end(), old.begin() + c.replaced));
    }
    // No file: success, nothing changed, and no directory is made.
    std::filesystem::remove_all(dir_ / "configs");
    USBDriver b("TRUV-kq4", "S1");
    EXPECT_TRUE(b.LoadSettings());
    EXPECT_FALSE(std::filesystem::exists(dir_ / "configs"));
}

TEST_F(BoardTest, UntrustedSettingsFilesLoadRunAndSaveSafely)
{
    std::mt19937 rng(1234);
    for (int round = 0; round < 60; ++round) {
        DeviceSettings block;
        uint8_t *p = reinterpret_cast<uint8_t *>(&block);
        for (size_t i = 0; i < sizeof block; ++i)
            p[i] = static_cast<uint8_t>(rng());
        // Some rounds with the hard values placed on purpose.
        if (round % 3 == 0) {
            const float bad[] = {NAN, INFINITY, -INFINITY, 3e38f};
            for (int i = 0; i < 7; ++i) {
                SMotorSettings &s = block.MotorSettings[i];
                s.Position = bad[(round + i) % 4];
                s.Coefficient = i % 2 ? 0.0f : bad[i % 4];
                s.AccelLength = -100;
                s.Address = static_cast<uint8_t>(9 + i * 30);
                s.TypeCode = 0x85;
                std::memset(s.Name, 'N', sizeof s.Name);
            }
            std::memset(block.BoardName, 'B', sizeof block.BoardName);
        }
        WriteSettings("S1", block);
        USBDriver b("TRUV-kq4", "S1");
        if (!b.Open())
            continue;
        {
            std::lock_guard lock(b.Lock);
            for (uint32_t i = 0; i < b.MotorCount; ++i) {
                if (!std::isfinite(b.Settings.MotorSettings[i].Position)) {
                    EXPECT_EQ(b.Motors[i].Position, 0);
                }
                b.Motors[i].MoveTo(static_cast<int32_t>(rng() % 50), false);
            }
        }
        for (int t = 0; t < 30; ++t)
            b.Tick(1.0 + t * 0.001);
        b.Close(false);
    }
    SUCCEED();
}

TEST_F(BoardTest, NaNPositionRestoresAsZero)
{
    WriteSettings("S1", Block({Slot(1, 0x85, "n", NAN), Slot(2, 0x85, "i", INFINITY)}));
    USBDriver b("TRUV-kq4", "S1");
    ASSERT_TRUE(b.Open());
    EXPECT_EQ(b.Motors[0].Position, 0);
    EXPECT_EQ(b.Motors[1].Position, 0);
}

TEST_F(BoardTest, SaveSettingsWritesNameThenBlockAndFollowsTheDirectoryRules)
{
    WriteSettings("S1", Block({Slot(1, 0x85, "m", 0.0f, 4.0f)}, "Board"));
    USBDriver b("TRUV-kq4", "S1");
    EXPECT_FALSE(b.SaveSettings(false));   // not open: nothing
    ASSERT_TRUE(b.Open());
    {
        std::lock_guard lock(b.Lock);
        b.Motors[0].Position = 10;   // 2.5 units
    }
    simbus::ClearCalls();
    ASSERT_TRUE(b.SaveSettings(false));
    const auto calls = simbus::Calls();
    ASSERT_EQ(Ops(calls), (std::vector<Op>{Op::WriteUserArea}));
    EXPECT_EQ(calls[0].data, (Bytes{'B', 'o', 'a', 'r', 'd', 0, 0, 0, 0, 0}));
    const Bytes file = ReadFile(SettingsPath("S1"));
    ASSERT_EQ(file.size(), 289u);
    EXPECT_EQ(file, BytesOf(&b.Settings, sizeof b.Settings));
    EXPECT_EQ(static_cast<float>(b.Settings.MotorSettings[0].Position), 2.5f);
    EXPECT_FALSE(std::filesystem::exists(SettingsPath("S1").string() + ".tmp"));

    // ConfigDir names an existing directory, without a trailing separator.
    std::filesystem::create_directory(dir_ / "host");
    SetConfigDir((dir_ / "host").c_str());
    ASSERT_TRUE(b.SaveSettings(false));
    EXPECT_EQ(ReadFile(dir_ / "hostS1.hws").size(), 289u);
    EXPECT_EQ(b.SettingsFileName(), (dir_ / "hostS1.hws").string());

    // ConfigDir names no directory: "configs/", made when it is missing.
    SetConfigDir((dir_ / "missing/").c_str());
    std::filesystem::remove_all(dir_ / "configs");
    ASSERT_TRUE(b.SaveSettings(false));
    EXPECT_EQ(ReadFile(SettingsPath("S1")).size(), 289u);

    // A lost board saves the file without touching the device.
    simbus::ClearCalls();
    EXPECT_TRUE(b.SaveSettings(true));
    EXPECT_TRUE(simbus::Calls().empty());

    // A failed user-area write still writes the file, and says it failed.
    std::filesystem::remove(SettingsPath("S1"));
    simbus::FailNext(Op::WriteUserArea, 1);
    EXPECT_FALSE(b.SaveSettings(false));
    EXPECT_EQ(ReadFile(SettingsPath("S1")).size(), 289u);
}

TEST_F(BoardTest, FailedSaveKeepsTheOldFile)
{
    USBDriver b("TRUV-kq4", "S1");
    ASSERT_TRUE(b.Open());
    ASSERT_TRUE(b.SaveSettings(false));
    const Bytes old = ReadFile(SettingsPath("S1"));
    ASSERT_EQ(old.size(), 289u);
    {
        // The new file can't be written in full (the process may write no
        // more than 100 bytes to a file).
        FileSizeLimit limit(100);
        EXPECT_FALSE(b.Rename("Changed"));   // the user area is written, the file is not
    }
    const Bytes area = simbus::UserArea("S1");
    ASSERT_GE(area.size(), 7u);
    EXPECT_EQ(std::string(area.begin(), area.begin() + 7), "Changed");
    EXPECT_EQ(b.Name, "Changed");
    EXPECT_EQ(ReadFile(SettingsPath("S1")), old);
    EXPECT_EQ(DirectoryEntries(dir_ / "configs"), (std::vector<std::string>{"S1.hws"}));   // no temporary left
    // "configs" is a regular file: the save fails, Close still closes.
    std::filesystem::remove_all(dir_ / "configs");
    WriteFile(dir_ / "configs", "x", 1);
    EXPECT_FALSE(b.SaveSettings(false));
    b.Close(false);
    EXPECT_FALSE(b.Opened);
    EXPECT_EQ(simbus::OpenHandles(), 0u);
}

// ---- Close and the watchdog ---------------------------------------------------------

TEST_F(BoardTest, CloseOfAClosedBoardTouchesNothing)
{
    USBDriver b("TRUV-kq4", "S1");
    simbus::ClearCalls();
    b.Close(false);
    EXPECT_TRUE(simbus::Calls().empty());
    EXPECT_FALSE(std::filesystem::exists(SettingsPath("S1")));
    EXPECT_FALSE(b.Release(8));
    EXPECT_TRUE(simbus::Calls().empty());
}

TEST_F(BoardTest, CloseSavesClosesAndClearsTheLiveState)
{
    WriteSettings("S1", Block({Slot(1, 0x85, "a"), Slot(2, 0x85, "b")}));
    USBDriver b("TRUV-kq4", "S1");
    ASSERT_TRUE(b.Open());
    {
        std::lock_guard lock(b.Lock);
        b.Motors[0].Position = 12;
        b.Motors[0].ZeroOffset = 4;
        b.Motors[1].Destination = 7;
    }
    simbus::ClearCalls();
    b.Close(false);
    EXPECT_EQ(Ops(simbus::Calls()), (std::vector<Op>{Op::WriteUserArea, Op::CloseDevice}));
    EXPECT_FALSE(b.Opened);
    EXPECT_EQ(b.MotorCount, 0u);
    EXPECT_EQ(b.Motors[0].Position, 0);
    EXPECT_EQ(b.Motors[0].ZeroOffset, 4);   // zero offsets stay
    EXPECT_EQ(b.Motors[1].Destination, 0);
    DeviceSettings saved;
    const Bytes file = ReadFile(SettingsPath("S1"));
    ASSERT_EQ(file.size(), sizeof saved);
    std::memcpy(&saved, file.data(), sizeof saved);
    EXPECT_EQ(static_cast<float>(saved.MotorSettings[0].Position), 12.0f);
}

TEST_F(BoardTest, UnpluggedBoardIsClosedAsLostAndReopenedWhenBack)
{
    WriteSettings("S1", Block({Slot(1, 0x85, "a", 0.0f, 2.0f)}));
    simbus::SetUserArea("S1", {'K', 'e', 'e', 'p'});
    USBDriver b("TRUV-kq4", "S1");
    ASSERT_TRUE(b.Open());
    {
        std::lock_guard lock(b.Lock);
        b.Motors[0].Position = 9;   // 4.5 units
        b.Motors[0].Target = 9;
    }
    simbus::ClearCalls();
    b.OnWatchTimer();   // still there: one status query, nothing else
    EXPECT_EQ(Ops(simbus::Calls()), (std::vector<Op>{Op::QueryStatus}));
    EXPECT_TRUE(b.Opened);

    ASSERT_TRUE(simbus::Detach("S1"));
    simbus::ClearCalls();
    b.OnWatchTimer();   // lost, then one reopen attempt that fails
    EXPECT_FALSE(b.Opened);
    const auto calls = simbus::Calls();
    EXPECT_EQ(CountOp(calls, Op::WriteUserArea), 0u);
    EXPECT_EQ(CountOp(calls, Op::CloseDevice), 1u);   // the lost handle is freed
    EXPECT_EQ(calls.front().op, Op::QueryStatus);
    EXPECT_EQ(calls.back().op, Op::OpenBySerial);
    DeviceSettings saved;
    Bytes file = ReadFile(SettingsPath("S1"));
    ASSERT_EQ(file.size(), sizeof saved);
    std::memcpy(&saved, file.data(), sizeof saved);
    EXPECT_EQ(static_cast<float>(saved.MotorSettings[0].Position), 4.5f);
    EXPECT_EQ(simbus::UserArea("S1"), (Bytes{'K', 'e', 'e', 'p'}));

    b.OnWatchTimer();   // still away
    EXPECT_FALSE(b.Opened);
    simbus::Attach("TRUV-kq4", "S1");
    b.OnWatchTimer();
    EXPECT_TRUE(b.Opened);
    EXPECT_EQ(b.Motors[0].Position, 9);
    EXPECT_EQ(b.Name, "Keep");
}

// ---- Tick and release ---------------------------------------------------------------

TEST_F(BoardTest, TickWritesOnceWhenSomethingWasCollected)
{
    WriteSettings("S1", Block({Slot(1, 0x85, "a"), Slot(2, 0x85, "b")}));
    USBDriver b("TRUV-kq4", "S1");
    {
        std::lock_guard lock(b.Lock);
        b.MotorCount = 2;
        b.Motors[0].MoveTo(3, false);
    }
    simbus::ClearCalls();
    b.Tick(1.0);   // not open: nothing
    EXPECT_TRUE(simbus::Calls().empty());
    b.Close(false);
    ASSERT_TRUE(b.Open());
    b.Tick(2.0);                                  // open, nothing running: nothing written
    EXPECT_EQ(simbus::Writes("S1").size(), 1u);   // Open's release only
    {
        std::lock_guard lock(b.Lock);
        ASSERT_TRUE(b.Motors[1].MoveTo(5, false));
        b.HoldStart = true;
    }
    b.Tick(3.0);
    EXPECT_EQ(simbus::Writes("S1").size(), 1u);   // held
    {
        std::lock_guard lock(b.Lock);
        b.HoldStart = false;
    }
    simbus::ClearCalls();
    double t = 4.0;
    for (int i = 0; i < 200 && b.Motors[1].IsRunning(); ++i, t += 0.001)
        b.Tick(t);
    EXPECT_FALSE(b.Motors[1].IsRunning());
    EXPECT_EQ(b.Motors[1].Position, 5);
    const auto calls = simbus::Calls();
    EXPECT_GT(calls.size(), 0u);
    for (const simbus::Call &c : calls) {
        EXPECT_EQ(c.op, Op::WriteBytes);
        EXPECT_FALSE(c.data.empty());
    }
    simbus::ClearCalls();
    b.Tick(t + 1.0);
    EXPECT_TRUE(simbus::Calls().empty());
    // A failed write is not retried and the board stays open.
    {
        std::lock_guard lock(b.Lock);
        ASSERT_TRUE(b.Motors[1].MoveTo(6, false));
    }
    simbus::FailNext(Op::WriteBytes, 1);
    b.Tick(t + 2.0);
    EXPECT_TRUE(b.Opened);
    EXPECT_EQ(simbus::Calls().size(), 1u);
}

TEST_F(BoardTest, ReleaseSendsTheSlotsFrames)
{
    WriteSettings("S1", Block({Slot(1, 0x85, "a"), Slot(0, 0x85, "b"), Slot(7, 0x85, "c"), Slot(200, 0x85, "d")}));
    USBDriver b("TRUV-kq4", "S1");
    ASSERT_TRUE(b.Open());
    const Bytes all = {0x80, 0xF0, 0xFF, 0xF0, 0xE0, 0xF0, 0xFF, 0xF0, 0xFF, 0xF0, 0xFF, 0xF0, 0xFF, 0xF0};
    for (unsigned motor : {7u, 8u, 200u}) {
        simbus::ClearCalls();
        ASSERT_TRUE(b.Release(motor));
        const auto writes = simbus::Writes("S1");
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0], all);
    }
    struct Case {
        unsigned motor;
        Bytes frame;
    } cases[] = {{0, {0x80, 0xF0}}, {1, {0xFF, 0xF0}}, {2, {0xE0, 0xF0}}, {3, {0xFF, 0xF0}}, {6, {0xFF, 0xF0}}};
    for (const Case &c : cases) {
        simbus::ClearCalls();
        ASSERT_TRUE(b.Release(c.motor));
        EXPECT_EQ(simbus::Writes("S1"), std::vector<Bytes>{c.frame});
    }
    simbus::FailNext(Op::WriteBytes, 1);
    EXPECT_FALSE(b.Release(0));
}

TEST_F(BoardTest, ReleaseStopsARunningMotorFirst)
{
    // Ticked by hand from another thread while the release waits.
    WriteSettings("S1", Block({Slot(1, 0x85, "a")}));
    USBDriver b("TRUV-kq4", "S1");
    ASSERT_TRUE(b.Open());
    {
        std::lock_guard lock(b.Lock);
        b.Settings.MotorSettings[0].AccelLength = 5;
        b.Settings.MotorSettings[0].MinStepTime = 1;
        b.Settings.MotorSettings[0].MaxStepTime = 5;
        ASSERT_TRUE(b.Motors[0].MoveTo(100000, false));
    }
    std::atomic<bool> done{false};
    std::thread ticker([&] {
        double t = 10.0;
        while (!done.load()) {
            b.Tick(t);
            t += 0.001;
            kxtimer::SleepMs(1);
        }
    });
    simbus::ClearCalls();
    EXPECT_TRUE(b.Release(0));
    done = true;
    ticker.join();
    EXPECT_FALSE(b.Motors[0].IsRunning());
    EXPECT_LT(b.Motors[0].Position, 1000);   // a ramped stop, far from the target
    const auto writes = simbus::Writes("S1");
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back(), (Bytes{0x80, 0xF0}));
}

// ---- Discovery ---------------------------------------------------------------------

TEST_F(BoardTest, DiscoveryListsBoardsByExactDescription)
{
    simbus::Reset("TRUV-kq4:A1,truv-kq4:A2,TRUV-RZDOX:A3,TRUV-RZD:A4,TRUV-RZDO:A5,Other:A6");
    ASSERT_EQ(RefreshDeviceList(), 2);
    EXPECT_EQ(DeviceList.At(0)->SerialNumber, "A1");
    EXPECT_EQ(DeviceList.At(0)->Name, "TRUV-kq40");
    EXPECT_EQ(DeviceList.At(1)->SerialNumber, "A5");
    EXPECT_EQ(DeviceList.At(1)->Name, "TRUV-RZDO1");
    EXPECT_EQ(DeviceList.At(1)->Description, "TRUV-RZDO");
    EXPECT_EQ(FindDeviceBySerial("A5"), 1);
    EXPECT_EQ(FindDeviceBySerial("a5"), -1);
    EXPECT_EQ(FindDeviceBySerial("A2"), -1);

    // A known open board costs no call beyond the three queries.
    simbus::ClearCalls();
    ASSERT_EQ(RefreshDeviceList(), 2);
    for (const simbus::Call &c : simbus::Calls())
        EXPECT_TRUE(c.op == Op::CountDevices || c.op == Op::GetDescriptionByIndex || c.op == Op::GetSerialByIndex)
            << simbus::OpName(c.op);

    // A board a client closed is opened again by the next pass.
    DeviceList.At(1)->Close(false);
    ASSERT_EQ(RefreshDeviceList(), 2);
    EXPECT_TRUE(DeviceList.At(1)->Opened);
}

TEST_F(BoardTest, NoDeviceKeepsTheListedBoards)
{
    simbus::Reset("TRUV-kq4:A1,TRUV-kq4:A2,TRUV-RZDO:A3");
    ASSERT_EQ(RefreshDeviceList(), 3);
    simbus::Reset("");
    EXPECT_EQ(RefreshDeviceList(), -1);
    EXPECT_EQ(DeviceList.Size(), 3u);
    simbus::Reset("TRUV-kq4:A1");
    simbus::FailNext(Op::CountDevices, 1);
    EXPECT_EQ(RefreshDeviceList(), -1);
    EXPECT_EQ(DeviceList.Size(), 3u);
}

TEST_F(BoardTest, DuplicateSerialsGiveOneBoard)
{
    simbus::Reset("TRUV-kq4:D1,TRUV-RZDO:D1");
    ASSERT_EQ(RefreshDeviceList(), 1);
    EXPECT_EQ(DeviceList.At(0)->Description, "TRUV-kq4");
    EXPECT_EQ(RefreshDeviceList(), 1);
}

TEST_F(BoardTest, NewBoardWhoseOpenFailsIsNotListed)
{
    simbus::Reset("TRUV-kq4:F1,TRUV-kq4:F2");
    std::filesystem::create_directory(SettingsPath("F1"));   // unreadable settings
    EXPECT_EQ(RefreshDeviceList(), 1);
    EXPECT_EQ(DeviceList.At(0)->SerialNumber, "F2");
    EXPECT_EQ(DeviceList.At(0)->Name, "TRUV-kq40");
    EXPECT_EQ(simbus::OpenHandles(), 1u);
    // A failed description or serial query skips that device for this pass.
    std::filesystem::remove(SettingsPath("F1"));
    simbus::FailNext(Op::GetDescriptionByIndex, 1);
    EXPECT_EQ(RefreshDeviceList(), 1);
    simbus::FailNext(Op::GetSerialByIndex, 1);
    EXPECT_EQ(RefreshDeviceList(), 1);
    EXPECT_EQ(RefreshDeviceList(), 2);
    EXPECT_EQ(DeviceList.At(1)->SerialNumber, "F1");
}

// ---- Pointer lists -----------------------------------------------------------------

struct Counted {
    static int alive;
    Counted() { ++alive; }
    ~Counted() { --alive; }
};
int Counted::alive = 0;

TEST(PtrListTest, GrowsBy51AndDeleteAllKeepsTheArray)
{
    DynPtrListMgr<Counted> list;
    EXPECT_EQ(list.Items.load(), nullptr);
    list.DeleteAll();   // empty: nothing
    EXPECT_EQ(list.Size(), 0u);
    ASSERT_TRUE(list.Add(new Counted));
    EXPECT_EQ(list.Capacity, 51u);
    std::vector<Counted *> added{list.At(0)};
    for (int i = 1; i < 51; ++i) {
        ASSERT_TRUE(list.Add(new Counted));
        added.push_back(list.At(i));
    }
    EXPECT_EQ(list.Capacity, 51u);
    Counted **first = list.Items.load();
    ASSERT_TRUE(list.Add(new Counted));
    EXPECT_EQ(list.Capacity, 102u);
    EXPECT_NE(list.Items.load(), first);
    for (int i = 0; i < 51; ++i)
        EXPECT_EQ(list.At(i), added[i]);
    EXPECT_EQ(list.RetiredCount(), 1u);

    const uint64_t generation = DeviceListGeneration();
    list.DeleteAll();
    EXPECT_EQ(Counted::alive, 0);
    EXPECT_EQ(list.Size(), 0u);
    EXPECT_EQ(list.Capacity, 102u);
    EXPECT_EQ(DeviceListGeneration(), generation + 1);
    Counted **kept = list.Items.load();
    for (int i = 0; i < 102; ++i)
        ASSERT_TRUE(list.Add(new Counted));
    EXPECT_EQ(list.Items.load(), kept);   // no new allocation up to Capacity
    EXPECT_FALSE(list.SetCapacity(50));   // below Count
    EXPECT_EQ(list.Size(), 102u);
}

TEST(PtrListTest, SetCapacityZeroDropsTheArray)
{
    DynPtrList<int> list;
    EXPECT_TRUE(list.SetCapacity(10));
    EXPECT_EQ(list.Capacity, 10u);
    EXPECT_TRUE(list.SetCapacity(0));
    EXPECT_EQ(list.Capacity, 0u);
    EXPECT_EQ(list.Items.load(), nullptr);
    int x = 0;
    ASSERT_TRUE(list.Add(&x));
    EXPECT_EQ(list.Capacity, 51u);
}

// ---- Motor slots and rename -----------------------------------------------------------

class SlotTest : public BoardTest {
protected:
    void OpenWith(const std::vector<SMotorSettings> &filled)
    {
        WriteSettings("S1", Block(filled));
        board = std::make_unique<USBDriver>("TRUV-kq4", "S1");
        ASSERT_TRUE(board->Open());
    }
    std::unique_ptr<USBDriver> board;
};

TEST_F(SlotTest, AddressCheck)
{
    OpenWith({Slot(1, 0x85, "a"), Slot(2, 0x85, "b")});
    USBDriver &b = *board;
    const SMotorSettings two = Slot(2, 0x86, "new");
    const DeviceSettings before = b.Settings;
    EXPECT_FALSE(b.SetMotorSettings(0, &two, true));
    EXPECT_EQ(BytesOf(&b.Settings, sizeof b.Settings), BytesOf(&before, sizeof before));
    EXPECT_TRUE(b.SetMotorSettings(1, &two, true));
    EXPECT_EQ(b.Settings.MotorSettings[1].TypeCode, 0x86);
    EXPECT_EQ(b.AddMotor(&two), -1);
    EXPECT_TRUE(b.SetMotorSettings(0, &two, false));   // no check asked
    EXPECT_EQ(b.MotorCount, 2u);
}

TEST_F(SlotTest, SecondMotorWithoutAddressIsRefused)
{
    OpenWith({Slot(0, 0x85, "none")});
    const SMotorSettings none = Slot(0, 0x01, "other");
    EXPECT_EQ(board->AddMotor(&none), -1);
    const SMotorSettings three = Slot(3, 0x01, "three");
    EXPECT_EQ(board->AddMotor(&three), 1);
}

TEST_F(SlotTest, FullBoardTakesNoMore)
{
    std::vector<SMotorSettings> seven;
    for (uint8_t i = 0; i < 7; ++i)
        seven.push_back(Slot(i + 1, 0x85, "m"));
    OpenWith(seven);
    const SMotorSettings extra = Slot(0, 0x85, "x");
    EXPECT_EQ(board->AddMotor(&extra), -1);
    EXPECT_EQ(board->MotorCount, 7u);
}

TEST_F(SlotTest, TenCharacterNamesAndTheRecordsFields)
{
    OpenWith({});
    SMotorSettings s = Slot(5, 0xC5, "ABCDEFGHIJ", 1.25f, 8.0f);
    s.TravelLength = 1234;
    s.AccelLength = 17;
    s.MinStepTime = 3;
    s.MaxStepTime = 9;
    s.HalfSteps = 1;
    s.AutoRelease = 1;
    s.StartPosition = 2.0f;
    s.Zero = -1.0f;
    ASSERT_EQ(board->AddMotor(&s), 0);
    EXPECT_EQ(BytesOf(&board->Settings.MotorSettings[0], sizeof s), BytesOf(&s, sizeof s));
    // A short name is zero-filled behind its terminator.
    SMotorSettings t = s;
    std::memcpy(t.Name, "ab\0XXXXXXX", 10);
    ASSERT_TRUE(board->SetMotorSettings(0, &t, true));
    EXPECT_EQ(BytesOf(board->Settings.MotorSettings[0].Name, 10), (Bytes{'a', 'b', 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(SlotTest, RemoveMovesLaterSlotsDown)
{
    OpenWith({Slot(1, 0x85, "m0"), Slot(2, 0x85, "m1"), Slot(3, 0x85, "m2"), Slot(4, 0x85, "m3")});
    USBDriver &b = *board;
    const SMotorSettings s2 = b.Settings.MotorSettings[2];
    const SMotorSettings s3 = b.Settings.MotorSettings[3];
    {
        std::lock_guard lock(b.Lock);
        ASSERT_TRUE(b.Motors[3].MoveTo(50, false));
    }
    EXPECT_FALSE(b.RemoveMotor(1));   // a later motor runs
    EXPECT_EQ(b.MotorCount, 4u);
    {
        std::lock_guard lock(b.Lock);
        b.Motors[3].Direction = 0;
        ASSERT_TRUE(b.Motors[0].MoveTo(50, false));   // a motor below may run
    }
    EXPECT_FALSE(b.RemoveMotor(4));
    ASSERT_TRUE(b.RemoveMotor(1));
    EXPECT_EQ(b.MotorCount, 3u);
    EXPECT_EQ(BytesOf(&b.Settings.MotorSettings[1], 39), BytesOf(&s2, 39));
    EXPECT_EQ(BytesOf(&b.Settings.MotorSettings[2], 39), BytesOf(&s3, 39));
    const SMotorSettings &freed = b.Settings.MotorSettings[3];
    EXPECT_EQ(freed.Address, 0);
    EXPECT_EQ(freed.TypeCode, 0);
    EXPECT_EQ(static_cast<float>(freed.Coefficient), 1.0f);
    EXPECT_EQ(freed.Name[0], 0);
    // The last motor: nothing to copy.
    {
        std::lock_guard lock(b.Lock);
        b.Motors[0].Direction = 0;
    }
    ASSERT_TRUE(b.RemoveMotor(2));
    EXPECT_EQ(b.MotorCount, 2u);
    EXPECT_EQ(b.Settings.MotorSettings[2].TypeCode, 0);
}

TEST_F(SlotTest, RunTimeStateFollowsItsSettings)
{
    OpenWith({Slot(1, 0x85, "m0"), Slot(2, 0x85, "m1", 0.0f, 2.0f), Slot(3, 0x85, "m2", 0.0f, 4.0f)});
    USBDriver &b = *board;
    {
        std::lock_guard lock(b.Lock);
        for (int i = 0; i < 3; ++i) {
            b.Motors[i].Position = 100 * (i + 1);
            b.Motors[i].Target = 100 * (i + 1);
            b.Motors[i].Destination = 10 * (i + 1);
            b.Motors[i].ZeroOffset = i + 1;
        }
    }
    ASSERT_TRUE(b.RemoveMotor(0));
    EXPECT_EQ(b.Motors[0].Position, 200);
    EXPECT_EQ(b.Motors[0].Target, 200);
    EXPECT_EQ(b.Motors[0].Destination, 20);
    EXPECT_EQ(b.Motors[0].ZeroOffset, 2);
    EXPECT_EQ(b.Motors[1].Position, 300);
    EXPECT_EQ(b.Motors[1].ZeroOffset, 3);
    ASSERT_TRUE(b.SaveSettings(false));
    EXPECT_EQ(static_cast<float>(b.Settings.MotorSettings[0].Position), 100.0f);   // 200 steps / 2
    EXPECT_EQ(static_cast<float>(b.Settings.MotorSettings[1].Position), 75.0f);    // 300 steps / 4
    EXPECT_EQ(static_cast<float>(b.Settings.MotorSettings[2].Position), 0.0f);
    // Index 2 was used by the motor that moved down: a new motor starts fresh.
    const SMotorSettings fresh = Slot(6, 0x85, "new");
    ASSERT_EQ(b.AddMotor(&fresh), 2);
    EXPECT_EQ(b.Motors[2].Position, 0);
    EXPECT_EQ(b.Motors[2].ZeroOffset, 0);
    EXPECT_EQ(b.Motors[2].Destination, 0);
}

TEST_F(SlotTest, StoringAMotorCopiesTheDisplayNameToTheBoard)
{
    OpenWith({});
    const SMotorSettings s = Slot(1, 0x85, "m");
    ASSERT_EQ(board->AddMotor(&s), 0);
    EXPECT_EQ(BytesOf(board->Settings.BoardName, 10), (Bytes{'T', 'R', 'U', 'V', '-', 'k', 'q', '4', '0', 0}));
    ASSERT_TRUE(board->SaveSettings(false));
    const Bytes area = simbus::UserArea("S1");
    ASSERT_GE(area.size(), 10u);
    EXPECT_EQ(std::string(area.begin(), area.begin() + 9), "TRUV-kq40");
    // Discovered later at another list position, the board keeps that name.
    board.reset();
    simbus::Reset("TRUV-kq4:S0,TRUV-kq4:S1", false);
    ASSERT_EQ(RefreshDeviceList(), 2);
    EXPECT_EQ(DeviceList.At(1)->Name, "TRUV-kq40");
}

TEST_F(SlotTest, Rename)
{
    OpenWith({});
    USBDriver &b = *board;
    struct Case {
        const char *name;
        Bytes stored;
    } cases[] = {
        {"Seven77", {'S', 'e', 'v', 'e', 'n', '7', '7', 0, 0, 0}},
        {"FourteenChars!", {'F', 'o', 'u', 'r', 't', 'e', 'e', 'n', 'C', 'h'}},
        {"", Bytes(10, 0)},
    };
    for (const Case &c : cases) {
        std::memset(b.Settings.BoardName + 10, 0x5A, 5);
        simbus::ClearCalls();
        ASSERT_TRUE(b.Rename(c.name));
        EXPECT_EQ(b.Name, c.name);
        EXPECT_EQ(BytesOf(b.Settings.BoardName, 10), c.stored);
        EXPECT_EQ(BytesOf(b.Settings.BoardName + 10, 5), Bytes(5, 0x5A));   // never written here
        const auto calls = simbus::Calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].data, c.stored);
        EXPECT_EQ(ReadFile(SettingsPath("S1")), BytesOf(&b.Settings, sizeof b.Settings));
    }
    // On a closed board both names change and nothing is saved.
    b.Close(false);
    simbus::ClearCalls();
    EXPECT_FALSE(b.Rename("Closed"));
    EXPECT_EQ(b.Name, "Closed");
    EXPECT_TRUE(simbus::Calls().empty());
    EXPECT_FALSE(b.Rename(nullptr));
}

// ---- Clock ------------------------------------------------------------------------------

TEST(ClockTest, MonotonicSecondsAtOneGigahertz)
{
    EXPECT_EQ(ClockFrequency, 1000000000);
    const double a = kxtimer::MonotonicSeconds();
    const double b = GetClockSeconds();
    const double c = kxtimer::MonotonicSeconds();
    EXPECT_LE(a, b);
    EXPECT_LE(b, c);
}

// SetConfigDir keeps what fits, always ends with a NUL and clears the rest.
TEST(ConfigDirTest, SetConfigDirCopiesCutsAndClears)
{
    const std::string longest(kConfigDirBytes - 1, 'a');
    const std::string overlong(kConfigDirBytes + 88, 'b');
    const struct {
        const char *dir;
        std::string expected;
    } cases[] = {
        {"/srv/host/", "/srv/host/"},
        {longest.c_str(), longest},
        {overlong.c_str(), std::string(kConfigDirBytes - 1, 'b')},
        {"x", "x"},   // after a longer one: nothing of it is left
        {nullptr, ""},
    };
    for (const auto &c : cases) {
        SetConfigDir(c.dir);
        EXPECT_EQ(std::string(ConfigDir, strnlen(ConfigDir, sizeof ConfigDir)), c.expected);
        EXPECT_EQ(ConfigDir[sizeof ConfigDir - 1], 0);
        const size_t n = c.expected.size();
        EXPECT_EQ(std::string(ConfigDir + n, sizeof ConfigDir - n), std::string(sizeof ConfigDir - n, '\0'));
    }
}

}   // namespace

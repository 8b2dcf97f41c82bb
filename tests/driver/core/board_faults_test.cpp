// board_faults_test.cpp - the board record under faults on the simulated bus:
// what a failed name write, a chip without a user area, an unplugged board, a
// failed Open or a failed status query leave of the user's positions,
// settings, board name and device handles; and the settings file's name and
// save in a directory others may write to.
#include "board_fixture.h"

#include <sys/stat.h>

using namespace boardtest;
using simbus::Op;

namespace {

DeviceSettings ReadSettings(const std::filesystem::path &path)
{
    DeviceSettings block;
    std::memset(&block, 0, sizeof block);
    const Bytes file = ReadFile(path);
    EXPECT_EQ(file.size(), sizeof block) << path;
    std::memcpy(&block, file.data(), std::min(file.size(), sizeof block));
    return block;
}

float SavedPosition(const std::filesystem::path &path, int slot)
{
    return ReadSettings(path).MotorSettings[slot].Position;
}

std::string SavedName(const std::filesystem::path &path)
{
    const DeviceSettings block = ReadSettings(path);
    return std::string(block.BoardName, strnlen(block.BoardName, kBoardNameBytes));
}

std::string AreaText(const char *serial)
{
    const Bytes area = simbus::UserArea(serial);
    std::string text(area.begin(), area.end());
    return text.substr(0, text.find('\0'));
}

void SetPosition(USBDriver &b, int motor, int32_t steps)
{
    std::lock_guard lock(b.Lock);
    b.Motors[motor].Position = steps;
    b.Motors[motor].Target = steps;
}

// ---- A save writes the settings file -------------------------------------------------

TEST_F(BoardTest, SaveWritesTheFileWhateverTheNameWriteGives)
{
    struct Case {
        const char *what;
        ftdi::FtStatus status;   // of the one user-area write
        bool result;
    } cases[] = {
        {"I/O error", ftdi::FT_IO_ERROR, false},
        {"EEPROM write failed", ftdi::FT_EEPROM_WRITE_FAILED, false},
        {"no usable user area", ftdi::FT_NOT_SUPPORTED, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteSettings("S1", Block({Slot(1, 0x85, "m", 100.0f)}));
        USBDriver b("TRUV-kq4", "S1");
        ASSERT_TRUE(b.Open());
        // A save after a motor setup: the stored record reaches the file.
        const SMotorSettings second = Slot(2, 0x86, "new");
        ASSERT_EQ(b.AddMotor(&second), 1);
        simbus::FailNext(Op::WriteUserArea, 1, c.status);
        EXPECT_EQ(b.SaveSettings(false), c.result);
        EXPECT_EQ(ReadSettings(SettingsPath("S1")).MotorSettings[1].TypeCode, 0x86);
        // A close after the board moved: the position reaches the file.
        SetPosition(b, 0, 700);
        simbus::FailNext(Op::WriteUserArea, 1, c.status);
        b.Close(false);
        EXPECT_EQ(SavedPosition(SettingsPath("S1"), 0), 700.0f);
        EXPECT_EQ(simbus::OpenHandles(), 0u);
    }
}

TEST_F(BoardTest, UnpluggedThenClosedWithoutAnEventLoopKeepsThePositions)
{
    // No event loop on this thread: no watchdog notices the unplug before the
    // client closes every board.
    WriteSettings("S1", Block({Slot(1, 0x85, "m", 100.0f)}));
    ASSERT_EQ(RefreshDeviceList(), 1);
    USBDriver &b = *DeviceList.At(0);
    ASSERT_EQ(b.WatchTimer, nullptr);
    SetPosition(b, 0, 600);
    ASSERT_TRUE(simbus::Detach("S1"));
    _CloseAllDevices();
    EXPECT_EQ(SavedPosition(SettingsPath("S1"), 0), 600.0f);
    EXPECT_EQ(simbus::OpenHandles(), 0u);
    simbus::Attach("TRUV-kq4", "S1");
    ASSERT_EQ(RefreshDeviceList(), 1);
    EXPECT_EQ(_SM_GetPosition(0, 0), 600.0);
}

TEST_F(BoardTest, ChipWithoutUserAreaKeepsTheNameInTheSettingsFile)
{
    simbus::SetNoUserArea("S1");
    USBDriver b("TRUV-kq4", "S1");
    simbus::ClearCalls();
    ASSERT_TRUE(b.Open());   // no name from the chip is no failure
    EXPECT_EQ(Ops(simbus::Calls()),
              (std::vector<Op>{Op::OpenBySerial, Op::SetPinMode, Op::SetPinClock, Op::ReadUserArea, Op::WriteBytes}));
    EXPECT_EQ(b.Name, "TRUV-kq40");
    EXPECT_TRUE(b.Rename("Bench"));   // the save succeeds
    EXPECT_EQ(SavedName(SettingsPath("S1")), "Bench");
    b.Close(false);
    EXPECT_TRUE(simbus::UserArea("S1").empty());

    // Found again at another list position, it shows the name of its file.
    simbus::Reset("TRUV-kq4:S0,TRUV-kq4:S1");
    simbus::SetNoUserArea("S1");
    ASSERT_EQ(RefreshDeviceList(), 2);
    EXPECT_EQ(DeviceList.At(1)->Name, "Bench");
    EXPECT_EQ(DeviceList.At(0)->Name, "TRUV-kq40");   // no file, no name: the built one
}

// ---- The chip's name -------------------------------------------------------------------

TEST_F(BoardTest, DisplayNameAndSavedNameFromChipAndFile)
{
    struct Case {
        const char *chip;    // user-area text
        const char *file;    // BoardName of the settings file; nullptr: no file
        std::string name;    // display name after Open
        std::string saved;   // user area and file name after the first close
    } cases[] = {
        {"Bench", nullptr, "Bench", "Bench"},   // a new configuration directory
        {"Bench", "", "Bench", "Bench"},        // a file without a name
        {"LongerThanTen", nullptr, "LongerThanTen", "LongerThan"},
        {"Bench", "FileName", "Bench", "FileName"},   // the file's name goes to the chip
        {"", "FileName", "FileName", "FileName"},     // the chip gives none
        {"", nullptr, "TRUV-kq40", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.chip) + " / " + (c.file ? c.file : "(no file)"));
        std::filesystem::remove(SettingsPath("S1"));
        if (c.file)
            WriteSettings("S1", Block({}, c.file));
        simbus::SetUserArea("S1", Bytes(c.chip, c.chip + std::strlen(c.chip)));
        USBDriver b("TRUV-kq4", "S1");
        ASSERT_TRUE(b.Open());
        EXPECT_EQ(b.Name, c.name);
        b.Close(false);
        EXPECT_EQ(AreaText("S1").substr(0, 10), c.saved);
        EXPECT_EQ(SavedName(SettingsPath("S1")), c.saved);
    }
    // The chip's name survives the next discovery too.
    std::filesystem::remove(SettingsPath("S1"));
    simbus::SetUserArea("S1", {'B', 'e', 'n', 'c', 'h'});
    ASSERT_EQ(RefreshDeviceList(), 1);
    _CloseAllDevices();
    ASSERT_EQ(RefreshDeviceList(), 1);
    EXPECT_EQ(DeviceList.At(0)->Name, "Bench");
}

// ---- A failed Open ---------------------------------------------------------------------

TEST_F(BoardTest, FailedOpenLeavesNothingLiveAndTheNextOpenSucceeds)
{
    WriteSettings("S1", Block({Slot(1, 0x85, "m0", 2.0f), Slot(2, 0x85, "m1", 3.0f)}));
    ASSERT_EQ(RefreshDeviceList(), 1);
    USBDriver &b = *DeviceList.At(0);
    for (Op op : {Op::OpenBySerial, Op::SetPinMode, Op::SetPinClock, Op::ReadUserArea, Op::WriteBytes}) {
        SCOPED_TRACE(simbus::OpName(op));
        b.Close(false);
        simbus::FailNext(op, 1);
        EXPECT_FALSE(b.Open());
        EXPECT_EQ(b.MotorCount, 0u);
        EXPECT_EQ(simbus::OpenHandles(), 0u);
        // A move on the board that isn't open is refused, and nothing runs.
        EXPECT_FALSE(_SM_Move(0, 0, 50.0));
        EXPECT_FALSE(_SMN_Move("m1", 10.0, true, 0));
        EXPECT_FALSE(_SM_Initialize(0, 1));
        const SMotorSettings extra = Slot(3, 0x85, "m2");
        EXPECT_EQ(b.AddMotor(&extra), -1);
        for (const SMotor &m : b.Motors)
            EXPECT_FALSE(m.IsRunning());
        simbus::ClearCalls();
        b.Tick(5.0);
        EXPECT_TRUE(simbus::Calls().empty());
        // The next Open (the watchdog's, here) succeeds and restores the motors.
        b.OnWatchTimer();
        EXPECT_TRUE(b.Opened);
        EXPECT_EQ(b.MotorCount, 2u);
        EXPECT_EQ(b.Motors[1].Position, 3);
        EXPECT_EQ(simbus::OpenHandles(), 1u);
    }
}

// ---- A board closed as lost ------------------------------------------------------------

TEST_F(BoardTest, FailedStatusQueryOnAnAttachedBoardEndsWithOneHandle)
{
    WriteSettings("S1", Block({Slot(1, 0x85, "m", 0.0f, 2.0f)}));
    simbus::SetUserArea("S1", {'K', 'e', 'e', 'p'});
    USBDriver b("TRUV-kq4", "S1");
    ASSERT_TRUE(b.Open());
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        SetPosition(b, 0, 10 * round);
        simbus::ClearCalls();
        simbus::FailNext(Op::QueryStatus, 1);   // a transient error; the board stays attached
        b.OnWatchTimer();                       // closed as lost, reopened at once
        EXPECT_TRUE(b.Opened);
        EXPECT_EQ(simbus::OpenHandles(), 1u);
        const auto calls = simbus::Calls();
        ASSERT_GE(calls.size(), 3u);
        EXPECT_EQ(calls[0].op, Op::QueryStatus);
        EXPECT_EQ(calls[1].op, Op::CloseDevice);
        EXPECT_EQ(calls[1].status, ftdi::FT_OK);
        EXPECT_EQ(calls[2].op, Op::OpenBySerial);
        EXPECT_EQ(calls[2].status, ftdi::FT_OK);
        EXPECT_EQ(CountOp(calls, Op::WriteUserArea), 0u);   // lost: the chip is not written
        EXPECT_EQ(b.Motors[0].Position, 10 * round);        // saved and restored
        EXPECT_EQ(b.Name, "Keep");
    }
}

// ---- Settings file names ---------------------------------------------------------------

TEST(SettingsFileStemTest, EscapesEverythingButPlainBytes)
{
    struct Case {
        std::string serial, stem;
    } cases[] = {
        {"SIM0001", "SIM0001"},
        {"FT4Ab-x_9.z", "FT4Ab-x_9.z"},
        {"../../x", "%2E.%2F..%2Fx"},
        {"a/b", "a%2Fb"},
        {".hidden", "%2Ehidden"},
        {"..", "%2E."},
        {"100%", "100%25"},
        {"\xC3\xA9t\xE9", "%C3%A9t%E9"},
        {"a b:c\\d", "a%20b%3Ac%5Cd"},
        {"", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(SettingsFileStem(c.serial), c.stem) << c.serial;
}

TEST_F(BoardTest, BoardsWithUnsafeSerialsSaveAndReloadInsideTheDirectory)
{
    const std::string serials[] = {"../../x", "a/b", ".hidden", "/etc/kx", "\xC3\xA9\xFF", "S1"};
    simbus::Reset("");
    for (const std::string &serial : serials)
        simbus::Attach("TRUV-kq4", serial);
    // Two levels down, so "../../x" would land in the test's own directory.
    const std::filesystem::path host = dir_ / "cfg" / "host";
    std::filesystem::create_directories(host);
    std::snprintf(ConfigDir, sizeof ConfigDir, "%s/", host.c_str());
    ASSERT_EQ(RefreshDeviceList(), 6);
    int32_t steps = 0;
    for (uint32_t i = 0; i < 6; ++i) {
        USBDriver &b = *DeviceList.At(i);
        const SMotorSettings s = Slot(1, 0x85, "m");
        ASSERT_EQ(b.AddMotor(&s), 0);
        SetPosition(b, 0, steps += 5);
        ASSERT_TRUE(b.SaveSettings(false)) << b.SerialNumber;
        EXPECT_EQ(b.SettingsFileName(), host.string() + "/" + SettingsFileStem(b.SerialNumber) + ".hws");
    }
    _CloseAllDevices();
    EXPECT_EQ(DirectoryEntries(host), (std::vector<std::string>{"%2E.%2F..%2Fx.hws", "%2Ehidden.hws", "%2Fetc%2Fkx.hws",
                                                                "%C3%A9%FF.hws", "S1.hws", "a%2Fb.hws"}));
    EXPECT_EQ(DirectoryEntries(dir_), (std::vector<std::string>{"cfg", "configs"}));
    EXPECT_EQ(DirectoryEntries(dir_ / "cfg"), std::vector<std::string>{"host"});
    EXPECT_TRUE(DirectoryEntries(dir_ / "configs").empty());
    EXPECT_FALSE(std::filesystem::exists("/etc/kx.hws"));
    // Each reloads its own file.
    ASSERT_EQ(RefreshDeviceList(), 6);
    for (uint32_t i = 0; i < 6; ++i)
        EXPECT_EQ(DeviceList.At(i)->Motors[0].Position, 5 * static_cast<int32_t>(i + 1))
            << DeviceList.At(i)->SerialNumber;
}

// ---- The atomic save -------------------------------------------------------------------

TEST_F(BoardTest, SaveFollowsNoPlantedTemporaryLink)
{
    const std::filesystem::path victim = dir_ / "victim";
    WriteFile(victim, "precious", 8);
    std::filesystem::create_symlink(victim, SettingsPath("S1").string() + ".tmp");
    USBDriver b("TRUV-kq4", "S1");
    ASSERT_TRUE(b.Open());
    ASSERT_TRUE(b.SaveSettings(false));
    b.Close(false);
    EXPECT_EQ(ReadFile(victim), (Bytes{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    EXPECT_EQ(ReadFile(SettingsPath("S1")).size(), 289u);
    EXPECT_TRUE(std::filesystem::is_symlink(SettingsPath("S1").string() + ".tmp"));   // left alone
    EXPECT_EQ(DirectoryEntries(dir_ / "configs"), (std::vector<std::string>{"S1.hws", "S1.hws.tmp"}));
}

TEST_F(BoardTest, SettingsFileThatIsALinkIsUpdatedThroughIt)
{
    const std::filesystem::path store = dir_ / "store";
    std::filesystem::create_directory(store);
    struct Case {
        const char *what;
        bool chained;   // configs/S1.hws -> configs/mid -> store/S1.hws
        bool present;   // the store's file exists before the first save
    } cases[] = {
        {"one link", false, true},
        {"two links", true, true},
        {"link to a file not made yet", false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(SettingsPath("S1"));
        std::filesystem::remove(dir_ / "configs" / "mid");
        std::filesystem::remove(store / "S1.hws");
        if (c.present) {
            const DeviceSettings block = Block({Slot(1, 0x85, "m", 4.0f)});
            WriteFile(store / "S1.hws", &block, sizeof block);
            chmod((store / "S1.hws").c_str(), 0640);
        }
        if (c.chained) {
            std::filesystem::create_symlink("../store/S1.hws", dir_ / "configs" / "mid");
            std::filesystem::create_symlink("mid", SettingsPath("S1"));
        } else {
            std::filesystem::create_symlink("../store/S1.hws", SettingsPath("S1"));
        }
        USBDriver b("TRUV-kq4", "S1");
        ASSERT_TRUE(b.Open());
        if (c.present) {
            ASSERT_EQ(b.MotorCount, 1u);
            EXPECT_EQ(b.Motors[0].Position, 4);
        } else {
            const SMotorSettings s = Slot(1, 0x85, "m");
            ASSERT_EQ(b.AddMotor(&s), 0);
        }
        SetPosition(b, 0, 9);
        b.Close(false);
        EXPECT_TRUE(std::filesystem::is_symlink(SettingsPath("S1")));
        EXPECT_EQ(SavedPosition(store / "S1.hws", 0), 9.0f);
        EXPECT_EQ(DirectoryEntries(store), (std::vector<std::string>{"S1.hws"}));   // no temporary left
        if (c.present) {
            struct stat st;
            ASSERT_EQ(stat((store / "S1.hws").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0640u);   // the shared file keeps its permissions
        }
    }
    // A loop of links: the save fails and writes nothing; Close still closes.
    std::filesystem::remove(SettingsPath("S1"));
    std::filesystem::create_symlink("S1.hws", SettingsPath("S1"));
    USBDriver b("TRUV-kq4", "S1");
    ASSERT_FALSE(b.Open());   // the file can't be read either
    std::filesystem::remove(SettingsPath("S1"));
    ASSERT_TRUE(b.Open());
    std::filesystem::create_symlink("S1.hws", SettingsPath("S1"));
    EXPECT_FALSE(b.SaveSettings(false));
    b.Close(false);
    EXPECT_FALSE(b.Opened);
    EXPECT_EQ(DirectoryEntries(dir_ / "configs"), (std::vector<std::string>{"S1.hws"}));
}

}   // namespace

// hardware.cpp - the board record: construction and destruction, Open and
// Close, the 250 ms watchdog, the board's settings file and user-area name,
// the board's tick and the release of its coils. Also the device list itself
// and the static object that initialises this unit at load and finalises it
// at unload.
#include "hardware.h"

#include <QAbstractEventDispatcher>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "periodic.h"

// ---- Globals of the unit -------------------------------------------------------
//
// (The device list and its lock live in lifetime.cpp, with the load and unload
// that use them.)

char ConfigDir[kConfigDirBytes] = {};

namespace {

constexpr unsigned kWatchIntervalMs = 250;
constexpr uint32_t kPinClock = 3000000;
constexpr int kMaxLinkHops = 40;     // links followed to a settings file
constexpr int kTempAttempts = 100;   // names tried for a save's temporary file

bool IsDirectory(const char *path)
{
    struct stat st;
    return path[0] != 0 && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Writes all `n` bytes; false on any failure or short write.
bool WriteAll(int fd, const void *data, size_t n)
{
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::string DirectoryOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// The file a save replaces: `path` itself, or, when it is a symbolic link, the
// file at the end of its links (a link to a shared store stays a link). A
// link leading nowhere yet gives the place it leads to. False on a loop of
// links or an unreadable one.
bool FollowLinks(std::string &path)
{
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            return errno == ENOENT;
        if (!S_ISLNK(st.st_mode))
            return true;
        char target[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof target)
            return false;
        const std::string to(target, static_cast<size_t>(n));
        path = to[0] == '/' ? to : DirectoryOf(path) + "/" + to;
    }
    return false;
}

// A new, empty file beside `path` under a name of its own (path + ".tmp" and
// eight hex digits), in `temp`. O_EXCL with O_NOFOLLOW never opens a file or
// follows a link that is already there, whoever put it there. -1 on failure.
int CreateTempBeside(const std::string &path, std::string &temp)
{
    static std::atomic<uint32_t> sequence{0};
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        uint32_t r = 0;
        if (::getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r))
            r = static_cast<uint32_t>(::getpid()) * 2654435761u;
        r ^= sequence.fetch_add(1, std::memory_order_relaxed) * 40503u;
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".tmp%08x", static_cast<unsigned>(r));
        temp = path + suffix;
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool IsPlainFileByte(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

}   // namespace

std::string SettingsFileStem(const std::string &serial)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string stem;
    stem.reserve(serial.size());
    for (size_t i = 0; i < serial.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(serial[i]);
        if (IsPlainFileByte(c) && !(i == 0 && c == '.')) {
            stem += static_cast<char>(c);
        } else {
            stem += '%';
            stem += kHex[c >> 4];
            stem += kHex[c & 15];
        }
    }
    return stem;
}

void HardwareStaticInit()
{
    // The list starts empty: no array, no element, no capacity.
    DeviceList.Items.store(nullptr, std::memory_order_relaxed);
    DeviceList.Count.store(0, std::memory_order_relaxed);
    DeviceList.Capacity = 0;
}

void HardwareStaticExit()
{
    // No tick may run while the boards are deleted; nothing starts it again.
    StopTickTimer();
    ListWriteGuard list;
    DeviceList.DeleteAll();
    DeviceList.SetCapacity(0);
    DeviceList.FreeRetired();
}

void SetConfigDir(const char *dir)
{
    const size_t n = dir != nullptr ? strnlen(dir, sizeof ConfigDir - 1) : 0;
    if (n > 0)
        std::memcpy(ConfigDir, dir, n);
    std::memset(ConfigDir + n, 0, sizeof ConfigDir - n);
}

std::string SettingsDirectory()
{
    const size_t n = strnlen(ConfigDir, sizeof ConfigDir);
    if (n > 0 && n < sizeof ConfigDir && IsDirectory(ConfigDir))
        return std::string(ConfigDir, n);
    return "configs/";
}

// ---- Construction --------------------------------------------------------------

USBDriver::USBDriver(const std::string &description, const std::string &serial)
    : Description(description), SerialNumber(serial)
{
    char count[16];
    std::snprintf(count, sizeof count, "%u", DeviceList.Size());
    Name = description + count;
    std::memset(&Settings, 0, sizeof Settings);
    ResetSettings();
    for (unsigned i = 0; i < kMotorsPerBoard; ++i) {
        Motors[i].Owner = this;
        Motors[i].Settings = &Settings.MotorSettings[i];
        Motors[i].Index = i;
        Motors[i].NextStepTime = 0;
    }
    std::memset(OutBuffer, 0, sizeof OutBuffer);
    // The watchdog fires on this thread while it runs a Qt event loop; a
    // thread without an event dispatcher gets none (and no warning).
    if (QThread::currentThread()->eventDispatcher() != nullptr) {
        watchTarget_ = std::make_shared<std::atomic<USBDriver *>>(this);
        WatchTimer = new QTimer();
        WatchTimer->setInterval(kWatchIntervalMs);
        std::shared_ptr<std::atomic<USBDriver *>> target = watchTarget_;
        QObject::connect(WatchTimer, &QTimer::timeout, [target] {
            // The list guard keeps the board from being deleted by another
            // thread while its watchdog runs.
            ListReadGuard list;
            if (USBDriver *board = target->load(std::memory_order_acquire))
                board->OnWatchTimer();
        });
        WatchTimer->start();
    }
}

USBDriver::~USBDriver()
{
    if (watchTarget_)
        watchTarget_->store(nullptr, std::memory_order_release);
    if (WatchTimer != nullptr) {
        // A timer can only be stopped on its own thread; deleted elsewhere it
        // goes with that thread's next event-loop pass (and its handler finds
        // no board).
        if (WatchTimer->thread() == QThread::currentThread())
            delete WatchTimer;
        else
            WatchTimer->deleteLater();
        WatchTimer = nullptr;
    }
    Close(false);
}

// ---- Open / Close --------------------------------------------------------------

bool USBDriver::OpenPort()
{
    ftdi::FtHandle handle = nullptr;
    if (ftdi::FtOpenBySerial(SerialNumber.c_str(), &handle) != ftdi::FT_OK)
        return false;
    kx::LockGuard<kx::PiMutex> lock(Lock);
    Handle = handle;
    return true;
}

bool USBDriver::SetupPort()
{
    if (ftdi::FtSetPinMode(Handle, 0xFF, 1) != ftdi::FT_OK)
        return false;
    return ftdi::FtSetPinClock(Handle, kPinClock) == ftdi::FT_OK;
}

bool USBDriver::ClosePort()
{
    ftdi::FtHandle handle;
    {
        kx::LockGuard<kx::PiMutex> lock(Lock);
        handle = Handle;
        Handle = nullptr;
    }
    if (handle != nullptr)
        ftdi::FtCloseDevice(handle);   // its status means nothing here
    return true;
}

bool USBDriver::Open()
{
    {
        kx::LockGuard<kx::Mutex> op(OpLock);
        // Two clients may both have seen the board closed: the second finds
        // it open and does not open the device again.
        if (Opened.load(std::memory_order_acquire))
            return true;
        // The board is not open: the tick skips it and the FTDI setup below
        // needs no board lock.
        if (!OpenPort())
            return false;
        if (!SetupPort()) {
            ClosePort();
            return false;
        }
        uint8_t area[ftdi::kUserAreaSize] = {};
        uint32_t read = 0;
        const ftdi::FtStatus areaStatus = ftdi::FtReadUserArea(Handle, area, sizeof area, &read);
        if (areaStatus == ftdi::FT_NOT_SUPPORTED) {
            read = 0;   // no usable user area: the name lives in the settings file only
        } else if (areaStatus != ftdi::FT_OK) {
            ClosePort();
            return false;
        }
        if (read > sizeof area)
            read = sizeof area;
        const size_t chipNameLength = read > 0 ? strnlen(reinterpret_cast<const char *>(area), read) : 0;
        if (chipNameLength > 0)
            Name.assign(reinterpret_cast<const char *>(area), chipNameLength);
        if (!LoadSettings()) {
            ClosePort();
            return false;
        }
        char fileName[kBoardNameBytes];
        bool released;
        {
            BoardLock lock(*this);
            // A block without a name (no settings file yet) takes the chip's:
            // the next save writes back what the chip holds, not ten zeros.
            if (chipNameLength > 0 && Settings.BoardName[0] == 0)
                PutBoardName(Settings.BoardName, reinterpret_cast<const char *>(area), chipNameLength);
            std::memcpy(fileName, Settings.BoardName, sizeof fileName);
            uint32_t count = 0;
            for (unsigned i = 0; i < kMotorsPerBoard; ++i) {
                if (Settings.MotorSettings[i].TypeCode == 0)
                    continue;
                const int32_t steps = Motors[i].UnitsToSteps(Settings.MotorSettings[i].Position);
                Motors[i].Position = steps;
                Motors[i].Target = steps;
                ++count;
            }
            MotorCount.store(count, std::memory_order_release);
            // No motor of a closed board runs (Close brings them all to
            // rest), and none could come to rest before the board is open.
            released = WriteReleaseLocked(0, kMotorsPerBoard - 1, true);
            if (released)
                Opened.store(true, std::memory_order_release);
            else
                ClearLiveStateLocked();   // nothing of a failed Open stays live
        }
        if (!released) {
            ClosePort();
            return false;
        }
        // A chip that gives no name: the display name is the settings file's.
        if (chipNameLength == 0 && fileName[0] != 0)
            Name.assign(fileName, strnlen(fileName, sizeof fileName));
    }
    // With no board lock held: starting the tick may wait for a stopping
    // tick thread, which may be waiting for one of them.
    RequestTickStart();
    return true;
}

void USBDriver::Close(bool lost)
{
    kx::LockGuard<kx::Mutex> op(OpLock);
    CloseLocked(lost);
}

void USBDriver::CloseLocked(bool lost)
{
    SaveSettingsLocked(lost);   // its result does not stop the close
    ftdi::FtHandle handle = nullptr;
    {
        BoardLock lock(*this);
        const bool wasOpen = Opened.load(std::memory_order_relaxed);
        Opened.store(false, std::memory_order_release);
        // A lost device's handle is closed too: a device that is still
        // attached (one failed query) could not be opened again otherwise.
        if (wasOpen)
            handle = Handle;
        Handle = nullptr;
        ClearLiveStateLocked();
    }
    if (handle != nullptr)
        ftdi::FtCloseDevice(handle);
}

void USBDriver::ClearLiveStateLocked()
{
    for (unsigned i = 0; i < kMotorsPerBoard; ++i) {
        if (Settings.MotorSettings[i].TypeCode != 0)
            Motors[i].ResetPosition();
        // A closed board's tick steps nothing: every motor is at rest.
        Motors[i].ClearRamp();
    }
    MotorCount.store(0, std::memory_order_release);
}

bool USBDriver::CheckConnection()
{
    kx::LockGuard<kx::Mutex> op(OpLock);
    if (!Opened.load(std::memory_order_acquire))
        return false;
    uint32_t rx = 0, tx = 0, event = 0;
    if (ftdi::FtQueryStatus(Handle, &rx, &tx, &event) != ftdi::FT_OK)
        CloseLocked(true);
    return Opened.load(std::memory_order_acquire);
}

void USBDriver::OnWatchTimer()
{
    if (!CheckConnection())
        Open();
}

// ---- Settings file -------------------------------------------------------------

std::string USBDriver::SettingsFileName() const
{
    return SettingsDirectory() + SettingsFileStem(SerialNumber) + ".hws";
}

bool USBDriver::LoadSettings()
{
    const std::string path = SettingsFileName();
    // Non-blocking: something that is not a regular file must not hang Open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR;   // no file: the block stays
    DeviceSettings block;
    size_t got = 0;
    bool ok = true;
    while (got < sizeof block) {
        const ssize_t r = ::read(fd, reinterpret_cast<char *>(&block) + got, sizeof block - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            ok = false;
            break;
        }
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    ::close(fd);
    if (!ok)
        return false;
    kx::LockGuard<kx::PiMutex> lock(Lock);
    std::memcpy(&Settings, &block, got);
    return true;
}

bool USBDriver::SaveSettings(bool lost)
{
    kx::LockGuard<kx::Mutex> op(OpLock);
    return SaveSettingsLocked(lost);
}

bool USBDriver::SaveSettingsLocked(bool lost)
{
    if (!Opened.load(std::memory_order_acquire) && !lost)
        return false;
    bool nameSaved = true;
    if (!lost) {
        uint8_t name[kBoardNameBytes];
        {
            kx::LockGuard<kx::PiMutex> lock(Lock);
            std::memcpy(name, Settings.BoardName, sizeof name);
        }
        // The file is written whatever this gives: a failed name write must
        // not lose the positions and settings since the last save. It is
        // still reported, except for a chip without a usable user area, whose
        // name lives in the settings file only.
        const ftdi::FtStatus st = ftdi::FtWriteUserArea(Handle, name, sizeof name);
        nameSaved = st == ftdi::FT_OK || st == ftdi::FT_NOT_SUPPORTED;
    }
    const std::string dir = SettingsDirectory();
    if (dir == "configs/")
        ::mkdir("configs", 0777);   // one level; a failure shows in the write
    DeviceSettings block;
    {
        kx::LockGuard<kx::PiMutex> lock(Lock);
        for (unsigned i = 0; i < kMotorsPerBoard; ++i)
            Settings.MotorSettings[i].Position = UnitsToFloat(Motors[i].StepsToUnits(Motors[i].Position));
        std::memcpy(&block, &Settings, sizeof block);
    }
    // The new content goes to a new file beside the one it replaces, reaches
    // the disk, and only then replaces it: a failed save keeps the old file.
    // A settings file that is a link is replaced at the link's end.
    std::string path = dir + SettingsFileStem(SerialNumber) + ".hws";
    if (!FollowLinks(path))
        return false;
    std::string temp;
    const int fd = CreateTempBeside(path, temp);
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, &block, sizeof block);
    struct stat old;
    if (ok && ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        (void)::fchmod(fd, old.st_mode & 07777);   // the file keeps its permissions
    ok = ok && ::fsync(fd) == 0;
    if (::close(fd) != 0)
        ok = false;
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    const int dfd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);   // the rename itself reaches the disk
        ::close(dfd);
    }
    return nameSaved;
}

// ---- Tick and release ------------------------------------------------------------

void USBDriver::Tick(double now)
{
    // The board is touched only while its lock is held: the lock's release
    // raises the noted "Motor Stopped" events, and a host handler may then
    // empty the device list (this board included).
    BoardLock lock(*this);
    ClearOutput();
    if (!Opened.load(std::memory_order_relaxed) || HoldStart)
        return;
    uint32_t count = MotorCount.load(std::memory_order_relaxed);
    if (count > kMotorsPerBoard)
        count = kMotorsPerBoard;
    for (uint32_t i = 0; i < count; ++i)
        Motors[i].StepTick(now);
    if (OutLength > 0) {
        uint32_t written = 0;
        ftdi::FtWriteBytes(Handle, OutBuffer, OutLength, &written);   // not retried
    }
}

bool USBDriver::WriteReleaseLocked(unsigned first, unsigned last, bool atRest)
{
    ClearOutput();
    for (unsigned slot = first; slot <= last; ++slot) {
        if (atRest && Motors[slot].IsRunning())
            return false;
        AppendReleaseFrame(static_cast<int>(slot));
    }
    uint32_t written = 0;
    return ftdi::FtWriteBytes(Handle, OutBuffer, OutLength, &written) == ftdi::FT_OK;
}

bool USBDriver::Release(unsigned motor)
{
    if (!Opened.load(std::memory_order_acquire))
        return false;
    const bool all = motor >= kAllMotors;
    const unsigned first = all ? 0 : motor;
    const unsigned last = all ? kMotorsPerBoard - 1 : motor;
    bool atRest = true;
    for (unsigned slot = first; slot <= last; ++slot) {
        // No lock is held while waiting; false also when the device list was
        // emptied meanwhile, and then this board may be gone. On the tick
        // thread nothing waits: every running motor of the range is asked to
        // stop, and the release fails.
        if (!WaitMotorStopped(static_cast<int>(slot))) {
            if (!RunsTheTick())
                return false;
            atRest = false;
        }
    }
    if (!atRest)
        return false;
    kx::LockGuard<kx::Mutex> op(OpLock);
    BoardLock lock(*this);
    if (!Opened.load(std::memory_order_relaxed))
        return false;
    return WriteReleaseLocked(first, last, false);
}

bool USBDriver::WaitMotorStopped(int motor)
{
    if (motor < 0 || motor >= static_cast<int>(kMotorsPerBoard))
        return false;
    return StopAndWaitMotor(
        *this, static_cast<unsigned>(motor), [](const USBDriver &) { return true; }, [](SMotor &) {});
}

// hardware.h - the board record (USBDriver), the device list and its pointer
// list templates, discovery, the clock and the 1 ms tick.
//
// Threads. Client threads run the exported functions, discovery, Open/Close and
// the boards' 250 ms watchdogs (Qt timers on the thread that constructed the
// board). One tick thread ("kinetrax-tick") runs TickAllDevices every 1 ms.
//
// Locks, in the order they may be taken (never the other way round):
//  -1. WindowLock (kx::Mutex, in Tavelwindow.cpp): the control window's refresh
//      against a shut-down from another thread; held by the refresh around
//      _RefreshDevices and _GetDevicesCount, and by the shut-down only to
//      stop the refresh (never waited for on the tick thread).
//   0. DiscoveryLock (kx::Mutex, in discovery.cpp): one discovery pass at a time.
//   1. DeviceListLock (kx::SharedMutex): shared by every client call that uses a
//      board of the list (ListReadGuard), exclusive to append a board and to
//      empty the list (ListWriteGuard). The tick never takes it: emptying
//      the list waits for the tick's visit of a board in progress and ends
//      its walk (EnterTickVisit), the tick thread's own handlers run between
//      two visits, and a grown list keeps its old arrays until no tick can
//      run, so the tick's walk reads live memory.
//   2. USBDriver::OpLock (kx::Mutex): serialises Open, Close, Release's write,
//      SaveSettings, the slot operations and the display name of one board
//      between client threads.
//   3. USBDriver::Lock (kx::PiMutex): the state the tick shares with clients
//      (see the fields). Held only for short sections that never sleep, never
//      wait for a motor and never call out to the host. The tick takes it per
//      board; it inherits priority, so a client holding it runs at the tick's.
//   TickTimerLock is a leaf, taken only inside the tick timer's functions.
//   Below the board's Lock, in the FTDI layer (leaves, priority-inheriting
//   where the tick's pin write takes them): the simulated bus's lock, or the
//   libftdi backend's handle-table lock and, after it is released, the
//   device's ring lock.
// The fields and functions say which lock they need (GUARDED_BY, REQUIRES,
// kxlocks.h), and ACQUIRED_BEFORE gives the order where one lock can name the
// other; clang's -Wthread-safety checks both in the test command.
// No lock is held while sleeping (stop-and-wait), while a modal dialog runs, or
// while "Motor Stopped" is raised: BoardLock defers the raise until the board
// lock and the calling thread's list guards are released. Starting the tick
// thread may wait for a stopping one to end, whose host handler may want any
// of these locks: a board opened while the thread holds a list guard therefore
// starts the tick when its outermost guard ends, and one opened by discovery
// when its pass has released DiscoveryLock (TickStartDeferral).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ftdi.h"
#include "kinetrax.h"
#include "kxlocks.h"
#include "motor.h"
#include "ptrlist.h"

class QTimer;

// ---- Configuration directory --------------------------------------------------

// The host's configuration directory, set by the plug-in registration
// (SetConfigDir); empty without a host. Used as it stands (no separator is
// added). Written before any board opens, read by Load/SaveSettings on client
// threads.
constexpr size_t kConfigDirBytes = 512;
extern char ConfigDir[kConfigDirBytes];
// Sets ConfigDir to `dir` (nullptr: empty); a longer one is cut after its
// first kConfigDirBytes - 1 bytes.
void SetConfigDir(const char *dir);
// Directory prefix of the settings files: ConfigDir when a directory of that
// name exists, else "configs/".
std::string SettingsDirectory();
// The part of a settings file's name that comes from the serial number. The
// serial is a string the device reports, so every byte outside [A-Za-z0-9._-],
// and a leading '.', is written as '%' and two upper-case hex digits: the name
// stays inside the directory and tells the serial back. An ordinary serial is
// its own stem.
std::string SettingsFileStem(const std::string &serial);

// The board name kept in the user area and in the settings block: the first
// kBoardNameBytes bytes of BoardName.
constexpr unsigned kBoardNameBytes = 10;
static_assert(kBoardNameBytes <= ftdi::kUserAreaMinimum, "a usable user area holds the name");
// The first 10 characters of `name` (of length n) into dst, zero-filled to 10
// bytes (no terminator for a name of 10 or more).
void PutBoardName(char *dst, const char *name, size_t n);

// ---- Board record --------------------------------------------------------------

constexpr unsigned kOutBufferSize = 128;

class USBDriver {
public:
    USBDriver(const std::string &description, const std::string &serial);
    ~USBDriver();
    USBDriver(const USBDriver &) = delete;
    USBDriver &operator=(const USBDriver &) = delete;

    bool Open();
    void Close(bool lost);
    bool CheckConnection();
    void OnWatchTimer();
    bool OpenPort();
    bool SetupPort();
    bool ClosePort();
    bool LoadSettings();
    bool SaveSettings(bool lost);
    std::string SettingsFileName() const;   // directory + SettingsFileStem(serial) + ".hws"

    // One tick at `now` (s): clear, step motors 0..MotorCount-1, one write.
    void Tick(double now) EXCLUDES(Lock);
    // Coils off: one motor's slot, or every slot for kAllMotors and above. Waits for running
    // motors to stop (10 ms polls, 10 s each) with no lock held. On the tick
    // thread it never waits: it asks the running motors to stop and fails.
    bool Release(unsigned motor);
    // Stops the motor if it runs and waits until it is at rest; on the tick
    // thread false at once while it still runs.
    bool WaitMotorStopped(int motor);

    // Output buffer (call with Lock held).
    void ClearOutput() REQUIRES(Lock);
    // Appends a frame of 1..kMaxFrame bytes when it and a NUL fit; else drops it.
    void AppendFrame(const uint8_t *frame, unsigned length) REQUIRES(Lock);
    // Appends the release frame of slot `index` (0..kMotorsPerBoard-1; else
    // nothing): the automatic release after this tick's frames, or one slot
    // of a client's release.
    void AppendReleaseFrame(int index) REQUIRES(Lock);

    // "Motor Stopped" for motor `index`, raised when Lock is released (BoardLock).
    void NoteMotorStopped(int index) REQUIRES(Lock);
    // Takes (and clears) the motors noted since the last call, in order.
    unsigned TakePendingStops(uint8_t *indexes, unsigned max) REQUIRES(Lock);

    // Motor slots (caller's thread; see Lock).
    bool SetMotorSettings(int slot, const SMotorSettings *settings, bool checkAddress);
    int AddMotor(const SMotorSettings *settings);
    bool RemoveMotor(unsigned motor);
    bool Rename(const char *name);

    // Block reset.
    void ResetMotorSettings(int slot) REQUIRES(Lock);
    void ResetSettings() REQUIRES(Lock);

    // Identity: set at construction, never changed; read anywhere.
    const std::string Description;
    const std::string SerialNumber;
    kx::Mutex OpLock ACQUIRED_BEFORE(Lock);   // see the lock order above
    mutable kx::PiMutex Lock;                 // see the lock order above

    std::string Name GUARDED_BY(OpLock);   // client threads only
    // Guarded by Lock, and by OpLock as well to change: either lock lets a
    // thread read it (the analysis can't say "either", so it is not marked).
    ftdi::FtHandle Handle = nullptr;
    std::atomic<bool> Opened{false};       // written under Lock and OpLock
    std::atomic<uint32_t> MotorCount{0};   // written under Lock; 0 while not open
    bool HoldStart GUARDED_BY(Lock) = false;
    DeviceSettings Settings GUARDED_BY(Lock);          // its slots are read by the tick
    SMotor Motors[kMotorsPerBoard] GUARDED_BY(Lock);   // see motor.h
    uint8_t OutBuffer[kOutBufferSize] GUARDED_BY(Lock);
    uint32_t OutLength GUARDED_BY(Lock) = 0;
    QTimer *WatchTimer = nullptr;   // owned; lives on the constructing thread

private:
    void CloseLocked(bool lost) REQUIRES(OpLock) EXCLUDES(Lock);
    // The live state of a board that is not open: every motor at rest, the
    // configured ones at position 0, no motor counted, so no motor of the
    // board can be moved. Callers hold OpLock too.
    void ClearLiveStateLocked() REQUIRES(Lock);
    bool SaveSettingsLocked(bool lost) REQUIRES(OpLock) EXCLUDES(Lock);
    // The slots' release frames, one write on Handle. With `atRest` a running
    // motor fails it instead (nothing written).
    bool WriteReleaseLocked(unsigned first, unsigned last, bool atRest) REQUIRES(Lock);
    bool SetMotorSettingsLocked(int slot, const SMotorSettings *settings, bool checkAddress) REQUIRES(OpLock, Lock);

    // The watchdog's view of the board: cleared by the destructor, read by
    // the timer's handler under a ListReadGuard.
    std::shared_ptr<std::atomic<USBDriver *>> watchTarget_;
    uint8_t pendingStops_[32] GUARDED_BY(Lock) = {};
    unsigned pendingCount_ GUARDED_BY(Lock) = 0;
};

// ---- Locks and deferred events ---------------------------------------------------

extern kx::SharedMutex DeviceListLock;

// The guards below keep a per-thread depth (nested guards share the outermost
// hold) and run deferred work when the outermost one ends; the analysis can't
// follow that bookkeeping, so their definitions are not analysed (listlocks.cpp).
// To their callers they are ordinary scoped holds of DeviceListLock and of a
// board's Lock.

// Shared hold on DeviceListLock for the calling thread. Nested guards on one
// thread share the outermost hold. When the outermost guard ends, the "Motor
// Stopped" events deferred on this thread are raised, with no lock held.
class SCOPED_CAPABILITY ListReadGuard {
public:
    ListReadGuard() ACQUIRE_SHARED(DeviceListLock);
    ~ListReadGuard() RELEASE();
    ListReadGuard(const ListReadGuard &) = delete;
    ListReadGuard &operator=(const ListReadGuard &) = delete;
};

// Exclusive hold on DeviceListLock. Not to be taken while this thread holds a
// ListReadGuard.
class SCOPED_CAPABILITY ListWriteGuard {
public:
    ListWriteGuard() ACQUIRE(DeviceListLock);
    ~ListWriteGuard() RELEASE();
    ListWriteGuard(const ListWriteGuard &) = delete;
    ListWriteGuard &operator=(const ListWriteGuard &) = delete;
};

// Holds a board's Lock. On release it takes the board's noted "Motor Stopped"
// events; they are raised at once when the thread holds no ListReadGuard, else
// when its outermost guard ends.
class SCOPED_CAPABILITY BoardLock {
public:
    explicit BoardLock(USBDriver &board) ACQUIRE(board.Lock);
    ~BoardLock() RELEASE();
    void Unlock() RELEASE();   // early release (idempotent)
    BoardLock(const BoardLock &) = delete;
    BoardLock &operator=(const BoardLock &) = delete;

private:
    USBDriver &board_;
    bool locked_;
};

// Holds back the calling thread's tick start (RequestTickStart) until the
// outermost deferral ends and no list guard is held; for a caller holding a
// lock a stopping tick thread's handler may wait for (a discovery pass).
class TickStartDeferral {
public:
    TickStartDeferral();
    ~TickStartDeferral();
    TickStartDeferral(const TickStartDeferral &) = delete;
    TickStartDeferral &operator=(const TickStartDeferral &) = delete;
};

// Sleeps `ms` with this thread's shared hold on DeviceListLock released
// meanwhile. False when the device list was emptied during the sleep: the
// boards the caller held may be gone and must not be touched.
bool SleepListUnlocked(unsigned ms);
// Incremented each time the list is emptied.
uint64_t DeviceListGeneration();

// Stop and wait on motor `motor` of `board` (see StopAndWaitMotor below).
constexpr unsigned kStopPollMs = 10;             // poll period
constexpr double kStopWaitLimitSeconds = 10.0;   // given up after this long

// The tick's visit of one board (TickAllDevices): Enter is false while the list
// is being emptied (the tick then ends its walk); otherwise the board may be
// ticked, and the "Motor Stopped" events it notes wait for Leave, which raises
// them outside the visit. DeleteAll waits for a visit in progress to end.
bool EnterTickVisit();
void LeaveTickVisit();

// The tick's walk over the boards on the calling thread (TickAllDevices). A
// raise pass delivers only the events pending when it began; those noted by
// the handlers during it (on any thread) wait for the next pass, on the tick
// thread for the next walk.
void BeginTickWalk();
void EndTickWalk();
// True on the tick thread and on a thread that runs a tick's walk (a tick
// driven by hand): a host handler raised inside the tick runs there, and the
// library's waits for a motor must not sleep (no board would be ticked
// meanwhile).
bool RunsTheTick();

// ---- Device list, discovery, clock, tick ---------------------------------------------

extern DynPtrListMgr<USBDriver> DeviceList;

// Load-time and unload-time initialisers of the device list (run in their
// place in the library's load and unload, lifetime.cpp). Exit stops the tick, then deletes every board (each saves
// its settings file and closes its device) and frees the list's arrays.
void HardwareStaticInit();
void HardwareStaticExit();

int RefreshDeviceList();   // boards listed after the pass, or -1
int FindDeviceBySerial(const char *serial) REQUIRES_SHARED(DeviceListLock);

extern int64_t ClockFrequency;   // counts per second of the clock
void InitClock();
double GetClockSeconds();

// Leaf lock of the tick timer's functions. Priority-inheriting: a host handler
// raised on the tick thread may start or stop the tick.
extern kx::PiMutex TickTimerLock;
extern uint32_t TickTimerId GUARDED_BY(TickTimerLock);   // 0 when no tick runs
extern std::atomic<uint32_t> TickThreadId;               // the tick thread's id once it ticked
bool StartTickTimer();
void StopTickTimer();   // returns when no tick runs any more
void TickTimerProc(unsigned id, unsigned msg, uintptr_t user, uintptr_t r1, uintptr_t r2);
void TickAllDevices();
bool TickTimerRunning();
bool OnTickThread();   // the caller is the tick thread
// StartTickTimer, or, while this thread holds a list guard, when its outermost
// guard ends (see the lock order).
void RequestTickStart();

// Tests drive the tick on a chosen clock: while suppressed, StartTickTimer
// reports success without starting the thread.
void SetTickTimerSuppressed(bool suppressed);

// Stop and wait, for a caller holding a ListReadGuard: stops motor `motor` of
// `board` if it runs, then looks at it under the board's lock until it is at
// rest and runs `atRest`(motor) there, sleeping kStopPollMs between looks with
// no lock held (SleepListUnlocked). `usable`(board), checked at every look
// under the lock, tells whether the motor is still there. False when it is
// not, on a timeout, when the device list was emptied during a sleep (the
// board may then be gone), and on the tick thread while the motor still runs
// (nothing waits there: no board would be ticked meanwhile). A stop request
// stays in force when it fails.
template <class Usable, class AtRest>
bool StopAndWaitMotor(USBDriver &board, unsigned motor, Usable &&usable, AtRest &&atRest)
{
    {
        BoardLock lock(board);
        if (!usable(board))
            return false;
        if (board.Motors[motor].IsRunning())
            board.Motors[motor].Stop();
    }
    const double start = GetClockSeconds();
    for (;;) {
        {
            BoardLock lock(board);
            if (!usable(board))
                return false;
            SMotor &m = board.Motors[motor];
            if (!m.IsRunning()) {
                atRest(m);
                return true;
            }
        }
        if (RunsTheTick())
            return false;
        if (!SleepListUnlocked(kStopPollMs))
            return false;   // the list was emptied: do not touch the board
        if (GetClockSeconds() - start > kStopWaitLimitSeconds)
            return false;
    }
}

// ---- Motor setup ---------------------------------------------------------------------

// The slot a setup is about to edit: true when the board at `dev` is listed
// and `mot` is one of its motors or negative (a new motor); *generation then
// holds the device list generation to hand to StoreMotorSetup.
bool CheckMotorSetupSlot(unsigned dev, int mot, uint64_t *generation);
// Stores `s` in the board at `dev` (looked up now): into slot `mot`, or as a
// new motor when `mot` is negative; then saves the board's settings file.
// Returns the motor's index, or -1. `generation` is the one CheckMotorSetupSlot
// gave: a list emptied meanwhile may hold another board at that index, and
// nothing is stored then. Takes the list guard and the board's locks itself.
int StoreMotorSetup(unsigned dev, int mot, const SMotorSettings &s, uint64_t generation);

/*
 * kinetrax.h - the exported C interface of libkinetrax.so.
 *
 * Plain C (C11 or C++). Link with -lkinetrax or dlopen("libkinetrax.so").
 *
 * Conventions of every function below:
 *  - bool is one byte: 1 true, 0 false. A bool argument is true when non-zero.
 *  - Device indexes `dev` are positions in the device list (discovery order) and
 *    stay valid until _CloseAllDevices. Motor indexes `mot` are slots 0..count-1
 *    of a board. Both are unsigned and checked as index < count.
 *  - Positions are double, in user units (steps / coefficient: mm or degrees),
 *    relative to the motor's zero point unless a function says "real".
 *  - Failure shows only in the result (false, -1, 0 or 0.0); nothing prints.
 *  - Strings returned are copied into the caller's buffer of `len` bytes; the
 *    caller owns it. The one exception is _INF_GetMTypeName (static text).
 *  - Every function runs on the caller's thread. Functions that stop a motor and
 *    wait (_SM_SetZero, _SMN_SetZero, _SM_Reset and the releases) poll every
 *    10 ms for at most 10 s per motor; nothing else of the caller's thread runs
 *    meanwhile.
 *  - Every stop (_SM_Stop, _SMN_Stop, _StopAll and the stop inside the waiting
 *    functions) is a ramped stop: a running motor makes its ramp length
 *    (AccelLength) more steps, or, when it is already slowing down, comes to
 *    rest where that deceleration ends, without turning back or speeding up
 *    again towards a new target.
 *
 * "Motor Stopped" handlers (a host registered through _InitQdxPlugin, see
 * qdxplugin.h): the event is raised with no lock of the library held, on the
 * 1 ms tick thread when a motor comes to rest and on the caller's thread when a
 * move asks for the target the motor already has. A handler may call any
 * function of this interface. On the tick thread no board is ticked while it
 * runs, so it should return soon, and there the waiting functions
 * (_SM_SetZero, _SMN_SetZero, _SM_Reset, _SM_Release, _SMN_Release,
 * _SM_ReleaseAll) never wait: they ask the motor to stop and, while it still
 * runs, return false at once (the stop stays in force; call again once it has
 * stopped, from its own event). An event that a handler causes (a move to the
 * target the motor already has) is raised in a later pass: on the tick thread
 * at the next tick at the earliest, elsewhere when that thread next calls into
 * the library.
 *
 * Motion state: position and target are absolute steps inside the library.
 * _SM_SetDestination prepares a destination relative to the zero point, and
 * _Run measures it from the zero point it finds (a zero set in between moves
 * the destination with it). A move or _Run keeps its target as the absolute
 * destination: a second _Run without a new _SM_SetDestination sends the motors
 * to the same place again, whatever the zero point does. _SM_GetTarget reports
 * the destination relative to the zero point.
 */
#ifndef KINETRAX_H
#define KINETRAX_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(__GNUC__)
#define KX_EXPORT __attribute__((visibility("default")))
#else
#define KX_EXPORT
#endif

#ifdef __cplusplus
#define KX_STATIC_ASSERT(c, m) static_assert(c, m)
extern "C" {
#else
#define KX_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

KX_STATIC_ASSERT(sizeof(bool) == 1, "bool must be one byte on this interface");

/* The declarations below keep their hand-aligned columns. */
/* clang-format off */
#pragma pack(push, 1)

/* Settings of one motor slot: 39 bytes, packed, little-endian. The same bytes
 * are the slot in a board's settings file, what _SM_GetInfo fills and what
 * _SM_Setup stores. */
typedef struct SMotorSettings {
    uint8_t  Address;       /* output channel 1..7 on the board; 0 = none        */
    uint8_t  TypeCode;      /* motor type code (_INF_GetMTypeName); 0 = "None"   */
    int32_t  TravelLength;  /* travel length, steps                              */
    float    Coefficient;   /* steps per user unit; 0 makes every position 0     */
    int8_t   AccelLength;   /* ramp length, steps (0..127 meaningful)            */
    uint16_t MinStepTime;   /* shortest (cruise) step period, ms                 */
    uint16_t MaxStepTime;   /* longest step period, ms                           */
    uint8_t  HalfSteps;     /* non-zero: half steps (4-wire, synchronous)        */
    uint8_t  AutoRelease;   /* non-zero: coils off when a move ends              */
    char     Name[10];      /* NUL-terminated when shorter than 10 characters    */
    float    Position;      /* absolute position, units                          */
    float    StartPosition; /* start position, units (only copied)               */
    float    Zero;          /* zero offset, units (as reported)                  */
} SMotorSettings;

/* Motors of one board: motor indexes run from 0 to KX_MOTORS_PER_BOARD - 1. */
#define KX_MOTORS_PER_BOARD 7

/* Settings block of one board: 289 bytes, byte for byte its settings file
 * "<serial>.hws". */
typedef struct DeviceSettings {
    char           BoardName[15];    /* bytes 0..9: the board's name            */
    SMotorSettings MotorSettings[KX_MOTORS_PER_BOARD]; /* slot i = motor index i */
    uint8_t        Spare;            /* kept as read                            */
} DeviceSettings;

#pragma pack(pop)

#define KX_OFFSET(t, f) ((unsigned)__builtin_offsetof(t, f))
KX_STATIC_ASSERT(sizeof(SMotorSettings) == 39, "SMotorSettings is 39 bytes");
KX_STATIC_ASSERT(KX_OFFSET(SMotorSettings, Address) == 0, "Address");
KX_STATIC_ASSERT(KX_OFFSET(SMotorSettings, TypeCode) == 1, "TypeCode");
KX_STATIC_ASSERT(KX_OFFSET(SMotorSettings, TravelLength) == 2, "TravelLength");
KX_STATIC_ASSERT(KX_OFFSET(SMotorSettings, Coefficient) == 6, "Coefficient");
KX_STATIC_ASSERT(KX_OFFSET(SMotorSettings, AccelLength) == 10, "AccelLength");
KX_STATIC_ASSERT(KX_OFFSET(SMotorSettings, MinStepTime) == 11, "MinStepTime");
KX_STATIC_ASSERT(KX_OFFSET(SMotorSettings, MaxStepTime) == 13, "MaxStepTime");
KX_STATIC_ASSERT(KX_OFFSET(SMotorSettings, HalfSteps) == 15, "HalfSteps");
KX_STATIC_ASSERT(KX_OFFSET(SMotorSettings, AutoRelease) == 16, "AutoRelease");
KX_STATIC_ASSERT(KX_OFFSET(SMotorSettings, Name) == 17, "Name");
KX_STATIC_ASSERT(KX_OFFSET(SMotorSettings, Position) == 27, "Position");
KX_STATIC_ASSERT(KX_OFFSET(SMotorSettings, StartPosition) == 31, "StartPosition");
KX_STATIC_ASSERT(KX_OFFSET(SMotorSettings, Zero) == 35, "Zero");
KX_STATIC_ASSERT(sizeof(DeviceSettings) == 289, "DeviceSettings is 289 bytes");
KX_STATIC_ASSERT(KX_OFFSET(DeviceSettings, BoardName) == 0, "BoardName");
KX_STATIC_ASSERT(KX_OFFSET(DeviceSettings, MotorSettings) == 15, "MotorSettings");
KX_STATIC_ASSERT(KX_OFFSET(DeviceSettings, Spare) == 288, "Spare");

/* ---- Device functions ------------------------------------------------------ */

/* Lists the attached boards, opens new ones, reopens known closed ones.
 * Returns the number of listed boards, or -1 when no FTDI device is attached
 * (or the count can't be read); boards already listed stay listed. */
KX_EXPORT int          _RefreshDevices(void);
/* _RefreshDevices, then the number of listed boards whatever it returned. */
KX_EXPORT unsigned int _GetDevicesCount(void);
/* The board's open flag. */
KX_EXPORT bool         _CheckDeviceConnection(unsigned int dev);
/* Index of the listed board with exactly this serial number; -1 if none. No refresh. */
KX_EXPORT int          _GetDeviceIndex(const char *serial);
/* Copy serial number / description ("TRUV-kq4", "TRUV-RZDO") / display name into
 * buf[len]: at most len-1 characters, zero-filled, always NUL-terminated.
 * False (buf untouched) for a bad index or len 0. */
KX_EXPORT bool         _GetDeviceSernum(unsigned int dev, char *buf, unsigned int len);
KX_EXPORT bool         _GetDeviceType(unsigned int dev, char *buf, unsigned int len);
KX_EXPORT bool         _GetDeviceName(unsigned int dev, char *buf, unsigned int len);
/* New board name (first 10 characters go to the board); false when the save fails. */
KX_EXPORT bool         _RenameDevice(unsigned int dev, const char *name);
/* True at once when open, else the result of opening the board. */
KX_EXPORT bool         _OpenDevice(unsigned int dev);
/* Starts every motor of the board towards its Destination on one tick. */
KX_EXPORT bool         _Run(unsigned int dev);
/* Homes the block-type motors of the board. */
KX_EXPORT void         _InitializeAll(unsigned int dev);
/* Ramped stop of every motor of the board. */
KX_EXPORT void         _StopAll(unsigned int dev);
/* Saves and closes the board (its watchdog reopens it while attached). */
KX_EXPORT bool         _CloseDevice(unsigned int dev);
/* Stops the tick, then saves, closes and forgets every board. */
KX_EXPORT void         _CloseAllDevices(void);

/* ---- Motor functions ------------------------------------------------------- */

/* Total motors over all boards; global indexes run boards in list order. */
KX_EXPORT unsigned int _SM_GetCountInAll(void);
KX_EXPORT bool         _SM_GetInfoInAll(unsigned int index, SMotorSettings *info);
/* Releases (coils off) all slots of every board; false if any board failed. */
KX_EXPORT bool         _SM_ReleaseAll(void);
/* Finds a motor by name. serial != NULL: 1 and the motor on that board, or 0.
 * serial == NULL: the match numbered nth if it exists (returns nth), else the
 * number of matches with the first one stored. Outputs written only when stored. */
KX_EXPORT int          _SM_GetIndex(unsigned int *dev, unsigned int *mot, const char *name,
                                    const char *serial, int nth);
/* Motors in use on the board; -1 for a bad index. */
KX_EXPORT int          _SM_GetCount(unsigned int dev);
/* Type name into buf (bounded copy, zero fill, no terminator when it doesn't
 * fit; len 0 writes nothing); returns the type code sign-extended from 8 bits
 * (0x85 -> -123), -1 on failure. */
KX_EXPORT int          _SM_GetType(unsigned int dev, unsigned int mot, char *buf, unsigned int len);
KX_EXPORT double       _SM_GetPosition(unsigned int dev, unsigned int mot);     /* user, units */
KX_EXPORT double       _SM_GetRealPosition(unsigned int dev, unsigned int mot); /* absolute, units */
KX_EXPORT double       _SM_GetTarget(unsigned int dev, unsigned int mot);       /* user, units */
KX_EXPORT double       _SMN_GetTarget(const char *name);
KX_EXPORT double       _SM_GetZero(unsigned int dev, unsigned int mot);         /* units */
/* Destination (user units) for the next _Run; false when it doesn't fit in steps. */
KX_EXPORT bool         _SM_SetDestination(unsigned int dev, unsigned int mot, double destination);
/* Stop and wait, then toggle the zero point at the current position. */
KX_EXPORT bool         _SM_SetZero(unsigned int dev, unsigned int mot);
KX_EXPORT bool         _SMN_SetZero(const char *name);
/* Moves to a user position (units). False when refused (no channel, or a
 * position whose step count is not finite or doesn't fit 32 bits). */
KX_EXPORT bool         _SM_Move(unsigned int dev, unsigned int mot, double position);
/* relative: from where the motor is now (not its target). speed has no
 * effect. False, nothing changed, when the step count is not finite or the
 * target leaves the 32-bit range. */
KX_EXPORT bool         _SMN_Move(const char *name, double position, bool relative, int speed);
/* The same in user steps (not converted). */
KX_EXPORT bool         _SMN_StepMove(const char *name, int steps, bool relative);
KX_EXPORT bool         _SM_IsRunning(unsigned int dev, unsigned int mot);
/* 1 running, 0 at rest, -1 no such motor or its board is not open. */
KX_EXPORT int          _SMN_IsRunning(const char *name);
/* Slot settings with the live absolute Position and the zero offset in Zero. */
KX_EXPORT bool         _SM_GetInfo(unsigned int dev, unsigned int mot, SMotorSettings *info);
KX_EXPORT bool         _SM_Stop(unsigned int dev, unsigned int mot);
KX_EXPORT bool         _SMN_Stop(const char *name);
/* Homing of block types; other types do nothing. */
KX_EXPORT bool         _SM_Initialize(unsigned int dev, unsigned int mot);
/* Stop and wait, then position, destination and target = 0. */
KX_EXPORT bool         _SM_Reset(unsigned int dev, unsigned int mot);
/* The same at once, without stopping: a running motor just stops stepping. */
KX_EXPORT bool         _SMN_Reset(const char *name);
KX_EXPORT bool         _SM_Release(unsigned int dev, unsigned int mot);
KX_EXPORT bool         _SMN_Release(const char *name);
/* Removes the motor (later ones move down) and saves; the save's result. */
KX_EXPORT bool         _SM_Remove(unsigned int dev, unsigned int mot);
/* *typeName = static name of the code in the low 8 bits of type ("???" if
 * unknown; valid while the library is loaded); returns its length. */
KX_EXPORT int          _INF_GetMTypeName(int type, const char **typeName);

/* ---- Windows --------------------------------------------------------------- */
/* The window functions need a Qt application object (QApplication) on the
 * calling thread. Without one they do nothing: _SM_Setup with info == NULL and
 * _SMN_Setup return their failure, _ShowSetupWin shows nothing, and the
 * queries report false. _SM_Setup with a record needs no window at all. */

/* mot >= 0 replaces motor mot of board dev, mot < 0 adds one. info == NULL runs
 * the setup dialog; otherwise *info is stored as it is. Returns the motor's
 * index or -1. */
KX_EXPORT int  _SM_Setup(unsigned int dev, int mot, const SMotorSettings *info);
KX_EXPORT bool _SMN_Setup(const char *name);
KX_EXPORT void _ShowSetupWin(void);
KX_EXPORT bool _IsSetupWinOpened(void);
KX_EXPORT bool _IsSetupWinVisible(void);
/* Destroys the control window. On a thread other than the application's, the
 * window's refresh stops before it returns (so it reopens no board; on the
 * tick thread, inside a host handler, a refresh already running is not waited
 * for) and the window is destroyed on the application's thread when that
 * thread next handles its events. */
KX_EXPORT void _CloseSetupWin(void);
/* Shut-down, on any thread: _CloseSetupWin, then _CloseAllDevices. The boards
 * stay closed until a client opens them again (_RefreshDevices,
 * _GetDevicesCount, _ShowSetupWin's refresh). Exported as "_Exit" with the
 * symbol version KINETRAX_1.0; the C name differs because <stdlib.h> declares
 * _Exit(int). A program linked with the library (-lkinetrax) must not call the
 * C library's _Exit(int) itself: its own references to "_Exit" bind to this
 * function, which returns. Other libraries in the program were bound to the C
 * library's versioned _Exit when they were built and keep reaching it;
 * dlsym(handle, "_Exit") gives this function. */
KX_EXPORT void KxExit(void) __asm__("_Exit");

/* Form instances, NULL while the window does not exist. */
struct TDlgTavel;
struct TDlgMotorSetup;
struct TDlgRename;
KX_EXPORT extern struct TDlgTavel      *_DlgTavel;
KX_EXPORT extern struct TDlgMotorSetup *_DlgMotorSetup;
KX_EXPORT extern struct TDlgRename     *_DlgRename;

/* clang-format on */
#ifdef __cplusplus
}
#endif

#endif /* KINETRAX_H */

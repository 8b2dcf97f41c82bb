/*
 * qdxplugin.h - the host measurement framework's plug-in interface as
 * libkinetrax.so implements it: the host's function record, the descriptors of
 * the functions and the event the library registers, the parameter type codes,
 * the layouts of the parameter blocks the host passes to the function handlers,
 * and the plug-in entry point _InitQdxPlugin.
 *
 * Plain C (C11 or C++). A host includes this header alone.
 *
 * Widths: integers are little-endian int32; texts are 8-bit, NUL-terminated
 * and zero-filled after the terminator in their fixed-size fields. Every
 * pointer field and function slot has the platform's natural width and
 * alignment; nothing else depends on the platform. On a 32-bit target the
 * records have the host's original 32-bit layout (asserted below), on x86-64
 * the layout asserted for 8-byte pointers.
 *
 * Parameter blocks are packed: the parameters follow each other in declaration
 * order, each taking Count times its width (bool 4, i32/u32 4, double 8,
 * char 1 per element, string one pointer), with no padding. A double may begin
 * at any byte, so the library reads and writes block fields with byte copies.
 */
#ifndef KINETRAX_QDXPLUGIN_H
#define KINETRAX_QDXPLUGIN_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define QDX_EXPORT __attribute__((visibility("default")))
#define QDX_UNUSED __attribute__((unused))
#else
#define QDX_EXPORT
#define QDX_UNUSED
#endif

#ifdef __cplusplus
#define QDX_STATIC_ASSERT(c, m) static_assert(c, m)
extern "C" {
#else
#define QDX_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#define QDX_HEADER_VERSION 18
#define QDX_PLUGIN_NAME "kinetrax"

/* The declarations below keep their hand-aligned columns. */
/* clang-format off */
/* ---- Parameter type codes ----------------------------------------------------- */

typedef enum QdxParamType {
    QdxBool = 0,     /* 4 bytes: int32, 0 false, any other value true (written 0 or 1) */
    QdxChar = 1,     /* 1 byte per element; Count N: an inline text field of N bytes   */
    QdxUChar = 2,
    QdxByte = 3,
    QdxI16 = 4,
    QdxU16 = 5,
    QdxI32 = 6,      /* 4 bytes, signed                                                */
    QdxU32 = 7,      /* 4 bytes, unsigned                                              */
    QdxFloat = 8,
    QdxDouble = 9,   /* 8 bytes per element, IEEE double                               */
    QdxString = 10,  /* one pointer to a NUL-terminated text owned by the caller       */
    QdxUnknown = 11
} QdxParamType;

/* The name of each type code, indexed by code (the library never reads it). */
static const char *const QdxTypeNames[12] QDX_UNUSED = {
    "bool", "char", "uchar", "byte", "i16", "u16",
    "i32", "u32", "float", "double", "string", "uknown",
};

/* ---- Descriptors ----------------------------------------------------------------- */

/* One input or output parameter of a function. */
typedef struct QdxParamDescriptor {
    int32_t TypeCode;   /* QdxParamType                                              */
    int32_t Count;      /* 1 for a scalar or a string pointer; N for N values/char[N] */
    char Name[128];
} QdxParamDescriptor;

/* A function handler: (context, input block, output block) -> 0 success, 1 failure.
 * The context is not read by the library. */
typedef int32_t (*QdxHandler)(int32_t context, const void *input, void *output);

/* One function offered to the host. Entries of Inputs/Outputs beyond the
 * counts may be filled ("dummy"); the host goes by the counts. */
typedef struct QdxFuncDescriptor {
    QdxHandler Handler;
    int32_t InputCount;
    int32_t OutputCount;
    QdxParamDescriptor Inputs[8];
    QdxParamDescriptor Outputs[8];
    char PluginName[32];     /* "kinetrax"                          */
    char FunctionName[32];   /* the name the host shows and calls    */
    char Description[128];
    uint8_t Reserved[12];    /* all zero                             */
} QdxFuncDescriptor;

/* One event offered to the host. */
typedef struct QdxEventDescriptor {
    char PluginName[32];     /* "kinetrax"                          */
    char EventName[32];      /* "Motor Stopped"                     */
    char Description[128];
} QdxEventDescriptor;

/* ---- The host's function record --------------------------------------------------- */

/* Callback of a menu entry or an event subscription. */
typedef void (*QdxCallback)(void);

/* The host's record of its own functions (owned by the host; the library keeps
 * only the pointer). The library reads Version and calls the seven named slots;
 * the slots it doesn't use are placeholders so that every used slot stands at
 * its word index. No slot result is read. */
typedef struct QdxHostFuncs {
    int32_t Version;                                                      /* word 0: 18 */
    /* Writes the NUL-terminated configuration directory (<= 511 characters). */
    void (*GetConfigDir)(char *dir);                                      /* word 1 */
    /* One log line: plug-in name, printf-style format, 0, the format's values. */
    void (*Log)(const char *plugin, const char *format, int32_t zero, ...); /* word 2 */
    void *Reserved3[4];                                                   /* words 3-6 */
    /* Menu entry `caption` under `parent`; the three trailing arguments are 0. */
    void (*AddMenuItem)(const char *plugin, const char *caption, const char *parent,
                        QdxCallback callback, int32_t a, int32_t b, int32_t c); /* word 7 */
    void *Reserved8[9];                                                   /* words 8-16 */
    /* The descriptor stays valid for the life of the library. */
    void (*RegisterFunction)(const QdxFuncDescriptor *descriptor);        /* word 17 */
    void *Reserved18[6];                                                  /* words 18-23 */
    /* Registers the event and writes its id into *id. */
    void (*RegisterEvent)(const QdxEventDescriptor *descriptor, int32_t *id); /* word 24 */
    void *Reserved25[3];                                                  /* words 25-27 */
    /* Raises the event; called from any thread (the library's tick thread too). */
    void (*RaiseEvent)(int32_t id, int32_t argument);                     /* word 28 */
    /* Calls `callback` when `module` raises `event`. */
    void (*SubscribeEvent)(const char *module, const char *event, QdxCallback callback); /* word 29 */
} QdxHostFuncs;

/* ---- Parameter blocks of the eleven functions --------------------------------------- */

/* Byte offsets on x86-64 (a string is an 8-byte pointer here, 4 bytes on a
 * 32-bit host; nothing else differs):
 *   "Motor Info"        in  0 MotorIndex (i32); 4 bytes
 *                       out 0 Count (u32), 4 Name (char[10]), 14 Type (char[64]),
 *                           78 Position, 86 Zero, 94 Speed[0], 102 Speed[1] (doubles); 110 bytes
 *   "Setup Motor", "Set Zero", "Release Motor", "ResetMotor"
 *                       in  0 MotorName (string); 8 bytes     out 0 Succes (bool); 4 bytes
 *   "Motor Is Running"  in  as above                           out 0 Status (i32); 4 bytes
 *   "Motor Position"    in  as above                           out 0 Position (double); 8 bytes
 *   "Stop Motor"        in  as above                           out not written
 *   "Move Motor"        in  0 Destination (double), 8 Relative (bool), 12 MotorName (string); 20 bytes
 *   "Move2Motor"        in  0 Destination, 8 Relative, 12 MotorName (char[64]); 76 bytes
 *   "QuickMoveMotor"    in  0 Destination, 8 Relative, 12 Speed (u32), 16 MotorName (char[64]); 80 bytes
 *   The three moves write no output. */

#pragma pack(push, 1)

/* "Motor Info" input. */
typedef struct QdxMotorInfoIn {
    int32_t MotorIndex;          /* 0; -1 or out of range: count only */
} QdxMotorInfoIn;

/* "Motor Info" output. */
typedef struct QdxMotorInfoOut {
    uint32_t Count;              /* motors on all boards                  */
    char Name[10];               /* NUL-terminated when shorter than 10   */
    char Type[64];
    double Position;             /* absolute position, units               */
    double Zero;                 /* zero offset, units                     */
    double Speed[2];             /* from the minimum, maximum step time    */
} QdxMotorInfoOut;

/* Input of "Setup Motor", "Motor Is Running", "Motor Position", "Stop Motor",
 * "Set Zero", "Release Motor" and "ResetMotor". */
typedef struct QdxNameIn {
    const char *MotorName;
} QdxNameIn;

/* Output of "Setup Motor", "Set Zero", "Release Motor" and "ResetMotor". */
typedef struct QdxSuccesOut {
    int32_t Succes;              /* bool: 0 or 1 */
} QdxSuccesOut;

/* "Motor Is Running" output. */
typedef struct QdxStatusOut {
    int32_t Status;              /* 1 running, 0 at rest, -1 no such motor or board closed */
} QdxStatusOut;

/* "Motor Position" output. */
typedef struct QdxPositionOut {
    double Position;             /* relative to the motor's zero, units */
} QdxPositionOut;

/* "Move Motor" input (the three move functions write no output). */
typedef struct QdxMoveMotorIn {
    double Destination;
    int32_t Relative;            /* bool: non-zero is true */
    const char *MotorName;
} QdxMoveMotorIn;

/* "Move2Motor" input. */
typedef struct QdxMove2MotorIn {
    double Destination;
    int32_t Relative;
    char MotorName[64];          /* inline, NUL-terminated within its 64 bytes */
} QdxMove2MotorIn;

/* "QuickMoveMotor" input. */
typedef struct QdxQuickMoveMotorIn {
    double Destination;
    int32_t Relative;
    uint32_t Speed;              /* has no effect */
    char MotorName[64];
} QdxQuickMoveMotorIn;

#pragma pack(pop)

/* ---- Entry point ------------------------------------------------------------------ */

/* Registers the library with the host: 0 when registered, -1 (after a warning
 * box) when host->Version is not QDX_HEADER_VERSION. */
QDX_EXPORT int32_t _InitQdxPlugin(QdxHostFuncs *host);

/* ---- Layout checks --------------------------------------------------------------- */

#define QDX_OFFSET(t, f) ((unsigned)offsetof(t, f))
#define QDX_PTR ((unsigned)sizeof(void *))

QDX_STATIC_ASSERT(sizeof(QdxParamDescriptor) == 136, "QdxParamDescriptor is 136 bytes");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxParamDescriptor, Count) == 4, "QdxParamDescriptor.Count");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxParamDescriptor, Name) == 8, "QdxParamDescriptor.Name");
QDX_STATIC_ASSERT(sizeof(QdxEventDescriptor) == 192, "QdxEventDescriptor is 192 bytes");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxEventDescriptor, EventName) == 32, "QdxEventDescriptor.EventName");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxEventDescriptor, Description) == 64, "QdxEventDescriptor.Description");

/* Parameter blocks: packed, one pointer for a string. */
QDX_STATIC_ASSERT(sizeof(QdxMotorInfoIn) == 4, "Motor Info input");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxMotorInfoOut, Name) == 4, "Motor Info Name");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxMotorInfoOut, Type) == 14, "Motor Info Type");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxMotorInfoOut, Position) == 78, "Motor Info Position");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxMotorInfoOut, Zero) == 86, "Motor Info Zero");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxMotorInfoOut, Speed) == 94, "Motor Info Speed");
QDX_STATIC_ASSERT(sizeof(QdxMotorInfoOut) == 110, "Motor Info output");
QDX_STATIC_ASSERT(sizeof(QdxNameIn) == QDX_PTR, "name input");
QDX_STATIC_ASSERT(sizeof(QdxSuccesOut) == 4, "Succes output");
QDX_STATIC_ASSERT(sizeof(QdxStatusOut) == 4, "Status output");
QDX_STATIC_ASSERT(sizeof(QdxPositionOut) == 8, "Position output");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxMoveMotorIn, Relative) == 8, "Move Motor Relative");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxMoveMotorIn, MotorName) == 12, "Move Motor MotorName");
QDX_STATIC_ASSERT(sizeof(QdxMoveMotorIn) == 12 + QDX_PTR, "Move Motor input");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxMove2MotorIn, MotorName) == 12, "Move2Motor MotorName");
QDX_STATIC_ASSERT(sizeof(QdxMove2MotorIn) == 76, "Move2Motor input");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxQuickMoveMotorIn, Speed) == 12, "QuickMoveMotor Speed");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxQuickMoveMotorIn, MotorName) == 16, "QuickMoveMotor MotorName");
QDX_STATIC_ASSERT(sizeof(QdxQuickMoveMotorIn) == 80, "QuickMoveMotor input");

#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
/* The host's 32-bit layout. */
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, InputCount) == 4, "InputCount");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, OutputCount) == 8, "OutputCount");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, Inputs) == 12, "Inputs");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, Outputs) == 1100, "Outputs");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, PluginName) == 2188, "PluginName");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, FunctionName) == 2220, "FunctionName");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, Description) == 2252, "Description");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, Reserved) == 2380, "Reserved");
QDX_STATIC_ASSERT(sizeof(QdxFuncDescriptor) == 2392, "QdxFuncDescriptor is 2392 bytes");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxHostFuncs, GetConfigDir) == 4, "GetConfigDir");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxHostFuncs, Log) == 8, "Log");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxHostFuncs, AddMenuItem) == 28, "AddMenuItem");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxHostFuncs, RegisterFunction) == 68, "RegisterFunction");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxHostFuncs, RegisterEvent) == 96, "RegisterEvent");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxHostFuncs, RaiseEvent) == 112, "RaiseEvent");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxHostFuncs, SubscribeEvent) == 116, "SubscribeEvent");
QDX_STATIC_ASSERT(sizeof(QdxHostFuncs) == 120, "QdxHostFuncs is 120 bytes");
#elif defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 8
/* x86-64: 8-byte pointers at 8-byte alignment. */
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, InputCount) == 8, "InputCount");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, OutputCount) == 12, "OutputCount");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, Inputs) == 16, "Inputs");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, Outputs) == 1104, "Outputs");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, PluginName) == 2192, "PluginName");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, FunctionName) == 2224, "FunctionName");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, Description) == 2256, "Description");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxFuncDescriptor, Reserved) == 2384, "Reserved");
QDX_STATIC_ASSERT(sizeof(QdxFuncDescriptor) == 2400, "QdxFuncDescriptor is 2400 bytes");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxHostFuncs, GetConfigDir) == 8, "GetConfigDir");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxHostFuncs, Log) == 16, "Log");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxHostFuncs, AddMenuItem) == 56, "AddMenuItem");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxHostFuncs, RegisterFunction) == 136, "RegisterFunction");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxHostFuncs, RegisterEvent) == 192, "RegisterEvent");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxHostFuncs, RaiseEvent) == 224, "RaiseEvent");
QDX_STATIC_ASSERT(QDX_OFFSET(QdxHostFuncs, SubscribeEvent) == 232, "SubscribeEvent");
QDX_STATIC_ASSERT(sizeof(QdxHostFuncs) == 240, "QdxHostFuncs is 240 bytes");
#endif

/* clang-format on */
#ifdef __cplusplus
}
#endif

#endif /* KINETRAX_QDXPLUGIN_H */

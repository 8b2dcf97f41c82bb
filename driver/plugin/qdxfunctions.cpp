// qdxfunctions.cpp - the eleven functions the library offers the host: their
// static descriptors and their handlers. Each handler copies its input block
// (packed, see qdxplugin.h) out byte for byte, calls the library's exported
// interface and copies its output block back; the handlers take no lock.
#include "qdxfunctions.h"

#include <atomic>
#include <cstring>
#include <initializer_list>

#include "kinetrax.h"
#include "motorstopped.h"

namespace {

constexpr QdxParamDescriptor kDummy{QdxDouble, 1, "dummy"};
constexpr QdxParamDescriptor kMotorName{QdxString, 1, "MotorName"};
constexpr QdxParamDescriptor kSucces{QdxBool, 1, "Succes"};
constexpr QdxParamDescriptor kDestination{QdxDouble, 1, "Destination"};
constexpr QdxParamDescriptor kRelative{QdxBool, 1, "Relative"};
constexpr QdxParamDescriptor kInlineName{QdxChar, 64, "MotorName"};

// Copies the block of type T out of the host's memory.
template <class T> T ReadBlock(const void *block)
{
    T value;
    std::memcpy(&value, block, sizeof value);
    return value;
}

template <class T> void WriteBlock(void *block, const T &value) { std::memcpy(block, &value, sizeof value); }

// Copies `text` into a zero-filled field of N bytes, NUL-terminated when it is
// shorter than N (or always, when `terminate`).
template <size_t N> void CopyText(char (&field)[N], const char *text, size_t limit, bool terminate)
{
    std::memset(field, 0, N);
    const size_t max = terminate ? N - 1 : N;
    std::memcpy(field, text, strnlen(text, limit < max ? limit : max));
}

// An inline char[64] name, terminated at its 64th byte at the latest.
struct InlineName {
    char text[65];
    explicit InlineName(const char (&field)[64])
    {
        std::memcpy(text, field, 64);
        text[64] = 0;
    }
};

double SpeedOf(uint16_t stepTimeMs, float coefficient)
{
    // A step time of 0 (a settings file from outside) reports no speed rather
    // than infinity.
    if (stepTimeMs == 0)
        return 0.0;
    return 1000.0 / static_cast<double>(stepTimeMs) * static_cast<double>(coefficient);
}

// The motor of that name: its board and slot, false when none bears it.
bool Lookup(const char *name, unsigned *dev, unsigned *mot)
{
    *dev = 0;
    *mot = 0;
    return _SM_GetIndex(dev, mot, name, nullptr, -1) > 0;
}

// The common part of the three move functions: the move, then its log line.
int32_t MoveAndLog(const char *name, double destination, int32_t relativeFlag, int speed)
{
    const bool relative = relativeFlag != 0;
    const bool ok = _SMN_Move(name, destination, relative, speed);
    QdxHostFuncs *host = std::atomic_ref<QdxHostFuncs *>(QdxHost).load(std::memory_order_acquire);
    if (host != nullptr && host->Log != nullptr)
        host->Log(QDX_PLUGIN_NAME, "MoveMotor(%g, %s, %s)=%s", 0, destination, relative ? "true" : "false",
                  name != nullptr ? name : "", ok ? "true" : "false");
    return ok ? 0 : 1;
}

// Writes Succes as 0 or 1; the handler's result.
int32_t Succes(void *out, bool r)
{
    const QdxSuccesOut result{r ? 1 : 0};
    WriteBlock(out, result);
    return r ? 0 : 1;
}

}   // namespace

extern "C" {

int32_t QdxMotorInfo(int32_t, const void *in, void *out)
{
    if (in == nullptr || out == nullptr)
        return 1;
    const QdxMotorInfoIn request = ReadBlock<QdxMotorInfoIn>(in);
    QdxMotorInfoOut info;
    std::memset(&info, 0, sizeof info);
    info.Count = _SM_GetCountInAll();
    SMotorSettings s;
    std::memset(&s, 0, sizeof s);
    if (request.MotorIndex >= 0 && _SM_GetInfoInAll(static_cast<unsigned>(request.MotorIndex), &s)) {
        CopyText(info.Name, s.Name, sizeof s.Name, false);
        const char *type = "???";
        _INF_GetMTypeName(s.TypeCode, &type);
        CopyText(info.Type, type != nullptr ? type : "???", sizeof info.Type, true);
        info.Position = s.Position;
        info.Zero = s.Zero;
        const float coefficient = s.Coefficient;
        info.Speed[0] = SpeedOf(s.MinStepTime, coefficient);
        info.Speed[1] = SpeedOf(s.MaxStepTime, coefficient);
    } else {
        CopyText(info.Name, "???", 3, true);
        CopyText(info.Type, "???", 3, true);
    }
    WriteBlock(out, info);
    return 0;
}

int32_t QdxSetupMotor(int32_t, const void *in, void *out)
{
    if (in == nullptr || out == nullptr)
        return 1;
    const QdxNameIn request = ReadBlock<QdxNameIn>(in);
    const QdxSuccesOut result{_SMN_Setup(request.MotorName) ? 1 : 0};
    WriteBlock(out, result);
    return 0;
}

int32_t QdxMotorIsRunning(int32_t, const void *in, void *out)
{
    if (in == nullptr || out == nullptr)
        return 1;
    const QdxNameIn request = ReadBlock<QdxNameIn>(in);
    const QdxStatusOut result{_SMN_IsRunning(request.MotorName)};
    WriteBlock(out, result);
    return 0;
}

int32_t QdxMotorPosition(int32_t, const void *in, void *out)
{
    if (in == nullptr || out == nullptr)
        return 1;
    const QdxNameIn request = ReadBlock<QdxNameIn>(in);
    unsigned dev, mot;
    if (!Lookup(request.MotorName, &dev, &mot))
        return 1;
    const QdxPositionOut result{_SM_GetPosition(dev, mot)};
    WriteBlock(out, result);
    return 0;
}

int32_t QdxMoveMotor(int32_t, const void *in, void *)
{
    if (in == nullptr)
        return 1;
    const QdxMoveMotorIn request = ReadBlock<QdxMoveMotorIn>(in);
    return MoveAndLog(request.MotorName, request.Destination, request.Relative, 0);
}

int32_t QdxMove2Motor(int32_t, const void *in, void *)
{
    if (in == nullptr)
        return 1;
    const QdxMove2MotorIn request = ReadBlock<QdxMove2MotorIn>(in);
    const InlineName name(request.MotorName);
    return MoveAndLog(name.text, request.Destination, request.Relative, 0);
}

int32_t QdxQuickMoveMotor(int32_t, const void *in, void *)
{
    if (in == nullptr)
        return 1;
    const QdxQuickMoveMotorIn request = ReadBlock<QdxQuickMoveMotorIn>(in);
    const InlineName name(request.MotorName);
    return MoveAndLog(name.text, request.Destination, request.Relative, static_cast<int>(request.Speed));
}

int32_t QdxStopMotor(int32_t, const void *in, void *)
{
    if (in == nullptr)
        return 1;
    const QdxNameIn request = ReadBlock<QdxNameIn>(in);
    unsigned dev, mot;
    if (!Lookup(request.MotorName, &dev, &mot))
        return 1;
    return _SM_Stop(dev, mot) ? 0 : 1;
}

int32_t QdxSetZero(int32_t, const void *in, void *out)
{
    if (in == nullptr || out == nullptr)
        return 1;
    return Succes(out, _SMN_SetZero(ReadBlock<QdxNameIn>(in).MotorName));
}

int32_t QdxReleaseMotor(int32_t, const void *in, void *out)
{
    if (in == nullptr || out == nullptr)
        return 1;
    return Succes(out, _SMN_Release(ReadBlock<QdxNameIn>(in).MotorName));
}

int32_t QdxResetMotor(int32_t, const void *in, void *out)
{
    if (in == nullptr || out == nullptr)
        return 1;
    return Succes(out, _SMN_Reset(ReadBlock<QdxNameIn>(in).MotorName));
}

}   // extern "C"

// ---- Descriptors ----------------------------------------------------------------

namespace {

// One descriptor; entries and reserved bytes not given are zero.
constexpr QdxFuncDescriptor Describe(QdxHandler handler, const char *name, const char *description,
                                     std::initializer_list<QdxParamDescriptor> inputs, int32_t inputCount,
                                     std::initializer_list<QdxParamDescriptor> outputs, int32_t outputCount)
{
    QdxFuncDescriptor d{};
    d.Handler = handler;
    d.InputCount = inputCount;
    d.OutputCount = outputCount;
    unsigned i = 0;
    for (const QdxParamDescriptor &p : inputs)
        d.Inputs[i++] = p;
    i = 0;
    for (const QdxParamDescriptor &p : outputs)
        d.Outputs[i++] = p;
    for (i = 0; QDX_PLUGIN_NAME[i] != 0; ++i)
        d.PluginName[i] = QDX_PLUGIN_NAME[i];
    for (i = 0; name[i] != 0; ++i)
        d.FunctionName[i] = name[i];
    for (i = 0; description[i] != 0; ++i)
        d.Description[i] = description[i];
    return d;
}

}   // namespace

constinit const QdxFuncDescriptor QdxFunctionTable[kQdxFunctionCount] = {
    Describe(QdxMotorInfo, "Motor Info", "Get motors count, or motor info", {{QdxI32, 1, "MotorIndex"}}, 1,
             {{QdxU32, 1, "Count"},
              {QdxChar, 10, "Name"},
              {QdxChar, 64, "Type"},
              {QdxDouble, 2, "Position, Zero"},
              {QdxDouble, 2, "Speed Min/Max"}},
             5),
    Describe(QdxSetupMotor, "Setup Motor", "Open window for setup motor", {kMotorName}, 1, {kSucces}, 1),
    Describe(QdxMotorIsRunning, "Motor Is Running", "Motor is connected (Status=-1|0) or running (Status=1)",
             {kMotorName}, 1, {{QdxI32, 1, "Status"}}, 1),
    Describe(QdxMotorPosition, "Motor Position", "Return position of selected motor.", {kMotorName}, 1,
             {{QdxDouble, 1, "Position"}}, 1),
    Describe(QdxMoveMotor, "Move Motor", "Moves selected motor", {kDestination, kRelative, kMotorName}, 3, {kDummy}, 0),
    Describe(QdxMove2Motor, "Move2Motor", "Moves selected motor", {kDestination, kRelative, kInlineName}, 3, {kDummy},
             0),
    Describe(QdxQuickMoveMotor, "QuickMoveMotor", "Moves selected motor specified speed",
             {kDestination, kRelative, {QdxU32, 1, "Speed"}, kInlineName}, 4, {kDummy}, 0),
    Describe(QdxStopMotor, "Stop Motor", "Stops selected motor", {kMotorName}, 1, {kDummy}, 0),
    Describe(QdxSetZero, "Set Zero", "Set actual position of motor as zero", {kMotorName}, 1, {kSucces}, 1),
    Describe(QdxReleaseMotor, "Release Motor", "Unplug supply of motor", {kMotorName}, 1, {kSucces}, 1),
    Describe(QdxResetMotor, "ResetMotor", "Reset motor position", {kMotorName}, 1, {kSucces}, 1),
};

constinit const QdxEventDescriptor MotorStoppedDescriptor = {QDX_PLUGIN_NAME, "Motor Stopped",
                                                             "One of motors has been stopped"};

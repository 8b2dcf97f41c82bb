// recording_host.h - a host framework as the plug-in tests play it: a
// QdxHostFuncs whose slots record every call (in order, with their
// arguments), a configuration directory it hands out, the event id it writes,
// and the "Motor Stopped" raises it receives on any thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qdxplugin.h"

namespace qdxtest {

struct LogLine {
    std::string plugin, format, text;
    int32_t zero;
};

struct Raise {
    int32_t id, argument;
    std::thread::id thread;
};

struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;   // one entry per slot call
    std::vector<unsigned> probes;     // probe() at each slot call but RaiseEvent
    std::vector<const QdxFuncDescriptor *> functions;
    const QdxEventDescriptor *event = nullptr;
    int32_t *eventIdAddress = nullptr;
    QdxCallback menuCallback = nullptr, exitCallback = nullptr;
    std::vector<LogLine> logs;
    std::vector<Raise> raises;

    // Set by the test.
    std::string configDir;                        // what GetConfigDir writes
    bool overlongConfigDir = false;               // fill all 512 bytes, no NUL
    int32_t eventId = 77;                         // what RegisterEvent writes
    unsigned (*probe)() = nullptr;                // library state seen at each call
    void (*inside)(int32_t argument) = nullptr;   // runs inside RaiseEvent

    void Clear()
    {
        std::lock_guard<std::mutex> l(mutex);
        calls.clear();
        probes.clear();
        functions.clear();
        event = nullptr;
        eventIdAddress = nullptr;
        menuCallback = exitCallback = nullptr;
        logs.clear();
        raises.clear();
        overlongConfigDir = false;
        eventId = 77;
        probe = nullptr;
        inside = nullptr;
    }
    void Note(const std::string &call)
    {
        unsigned p = probe != nullptr ? probe() : 0;
        std::lock_guard<std::mutex> l(mutex);
        calls.push_back(call);
        probes.push_back(p);
    }
    std::vector<std::string> Calls()
    {
        std::lock_guard<std::mutex> l(mutex);
        return calls;
    }
    std::vector<Raise> Raises()
    {
        std::lock_guard<std::mutex> l(mutex);
        return raises;
    }
    // Waits (real time, bounded) until `n` raises arrived.
    bool WaitRaises(size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(10000))
    {
        std::unique_lock<std::mutex> l(mutex);
        return changed.wait_for(l, limit, [&] { return raises.size() >= n; });
    }
};

inline Recorder &Rec()
{
    static Recorder r;
    return r;
}

extern "C" {

inline void HostGetConfigDir(char *dir)
{
    if (Rec().overlongConfigDir) {
        std::memset(dir, 'd', 512);
    } else {
        std::strcpy(dir, Rec().configDir.c_str());
    }
    Rec().Note("GetConfigDir");
}

inline void HostLog(const char *plugin, const char *format, int32_t zero, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, zero);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    Rec().Note("Log");
    std::lock_guard<std::mutex> l(Rec().mutex);
    Rec().logs.push_back({plugin, format, text, zero});
}

inline void HostAddMenuItem(const char *plugin, const char *caption, const char *parent, QdxCallback callback,
                            int32_t a, int32_t b, int32_t c)
{
    {
        std::lock_guard<std::mutex> l(Rec().mutex);
        Rec().menuCallback = callback;
    }
    Rec().Note(std::string("AddMenuItem ") + plugin + "|" + caption + "|" + parent + "|" + std::to_string(a) + "," +
               std::to_string(b) + "," + std::to_string(c));
}

inline void HostRegisterFunction(const QdxFuncDescriptor *descriptor)
{
    {
        std::lock_guard<std::mutex> l(Rec().mutex);
        Rec().functions.push_back(descriptor);
    }
    Rec().Note(std::string("RegisterFunction ") + descriptor->FunctionName);
}

inline void HostRegisterEvent(const QdxEventDescriptor *descriptor, int32_t *id)
{
    *id = Rec().eventId;
    {
        std::lock_guard<std::mutex> l(Rec().mutex);
        Rec().event = descriptor;
        Rec().eventIdAddress = id;
    }
    Rec().Note(std::string("RegisterEvent ") + descriptor->EventName);
}

inline void HostRaiseEvent(int32_t id, int32_t argument)
{
    if (Rec().inside != nullptr)
        Rec().inside(argument);
    std::lock_guard<std::mutex> l(Rec().mutex);
    Rec().calls.push_back("RaiseEvent");
    Rec().raises.push_back({id, argument, std::this_thread::get_id()});
    Rec().changed.notify_all();
}

inline void HostSubscribeEvent(const char *module, const char *event, QdxCallback callback)
{
    {
        std::lock_guard<std::mutex> l(Rec().mutex);
        Rec().exitCallback = callback;
    }
    Rec().Note(std::string("SubscribeEvent ") + module + "|" + event);
}

// Unused slots: each records its word if the library ever calls it.
#define QDX_TEST_UNUSED_SLOT(n) \
    inline void HostUnused##n(void) { Rec().Note("unused slot " #n); }
QDX_TEST_UNUSED_SLOT(0)

}   // extern "C"

// A host record with every slot that the library uses set to the recorder, and
// every unused word holding a recording function too.
inline QdxHostFuncs MakeHost(int32_t version)
{
    QdxHostFuncs h;
    std::memset(&h, 0, sizeof h);
    h.Version = version;
    h.GetConfigDir = HostGetConfigDir;
    h.Log = HostLog;
    h.AddMenuItem = HostAddMenuItem;
    h.RegisterFunction = HostRegisterFunction;
    h.RegisterEvent = HostRegisterEvent;
    h.RaiseEvent = HostRaiseEvent;
    h.SubscribeEvent = HostSubscribeEvent;
    void *unused = reinterpret_cast<void *>(&HostUnused0);
    std::fill(std::begin(h.Reserved3), std::end(h.Reserved3), unused);
    std::fill(std::begin(h.Reserved8), std::end(h.Reserved8), unused);
    std::fill(std::begin(h.Reserved18), std::end(h.Reserved18), unused);
    std::fill(std::begin(h.Reserved25), std::end(h.Reserved25), unused);
    return h;
}

// The calls a registration makes, in order.
inline std::vector<std::string> RegistrationCalls()
{
    std::vector<std::string> v = {"GetConfigDir", "AddMenuItem kinetrax|USB Stepper motors|Devices|0,0,0"};
    for (const char *f : {"Motor Info", "Setup Motor", "Motor Is Running", "Motor Position", "Move Motor", "Move2Motor",
                          "QuickMoveMotor", "Stop Motor", "Set Zero", "Release Motor", "ResetMotor"})
        v.push_back(std::string("RegisterFunction ") + f);
    v.push_back("RegisterEvent Motor Stopped");
    v.push_back("SubscribeEvent vuveve|Exit");
    return v;
}

// The descriptor the host got for `name`, or nullptr.
inline const QdxFuncDescriptor *Function(const char *name)
{
    std::lock_guard<std::mutex> l(Rec().mutex);
    for (const QdxFuncDescriptor *d : Rec().functions)
        if (std::strcmp(d->FunctionName, name) == 0)
            return d;
    return nullptr;
}

// ---- Packed parameter blocks, built byte by byte at the offsets of x86-64 ----

struct Block {
    unsigned char bytes[160];
    explicit Block(unsigned char fill = 0) { std::memset(bytes, fill, sizeof bytes); }
    template <class T> Block &Put(size_t offset, const T &v)
    {
        std::memcpy(bytes + offset, &v, sizeof v);
        return *this;
    }
    Block &Text(size_t offset, const char *text, size_t field)
    {
        std::memset(bytes + offset, 0, field);
        std::memcpy(bytes + offset, text, std::min(std::strlen(text), field));
        return *this;
    }
    template <class T> T Get(size_t offset) const
    {
        T v;
        std::memcpy(&v, bytes + offset, sizeof v);
        return v;
    }
    std::string GetText(size_t offset, size_t field) const
    {
        return std::string(reinterpret_cast<const char *>(bytes + offset),
                           strnlen(reinterpret_cast<const char *>(bytes + offset), field));
    }
};

// Runs a function through its descriptor, the blocks starting at an odd
// address so that no double is aligned.
inline int32_t Call(const char *name, const Block &in, Block &out)
{
    const QdxFuncDescriptor *d = Function(name);
    if (d == nullptr)
        return -99;
    alignas(8) unsigned char inBuf[sizeof in.bytes + 1], outBuf[sizeof out.bytes + 1];
    std::memcpy(inBuf + 1, in.bytes, sizeof in.bytes);
    std::memcpy(outBuf + 1, out.bytes, sizeof out.bytes);
    const int32_t r = d->Handler(12345, inBuf + 1, outBuf + 1);
    std::memcpy(out.bytes, outBuf + 1, sizeof out.bytes);
    return r;
}

inline Block NameIn(const char *name) { return Block().Put(0, name); }
inline Block MoveIn(double destination, int32_t relative, const char *name)
{
    return Block().Put(0, destination).Put(8, relative).Put(12, name);
}
inline Block Move2In(double destination, int32_t relative, const char *name)
{
    return Block().Put(0, destination).Put(8, relative).Text(12, name, 64);
}
inline Block QuickMoveIn(double destination, int32_t relative, uint32_t speed, const char *name)
{
    return Block().Put(0, destination).Put(8, relative).Put(12, speed).Text(16, name, 64);
}

}   // namespace qdxtest

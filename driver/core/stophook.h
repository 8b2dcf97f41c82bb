// stophook.h - the hook through which the core reports "Motor Stopped" to the
// layer above it (the host plug-in installs it when it registers).
#pragma once

#include <cstdint>

// Called once for every motor that came to rest, with the motor's index on its
// board (0..6). Threading: called on the thread that noted the stop (the tick
// thread or a client thread), never with a library lock held; it may call back
// into the library. It must not throw.
using MotorStoppedHook = void (*)(int32_t index);

// Installs the hook (nullptr removes it); any thread, at any time. A raise
// that has already read the previous hook may still call that one.
void SetMotorStoppedHook(MotorStoppedHook hook);

// motorstopped.h - the "Motor Stopped" event towards the host framework.
#pragma once

#include <cstdint>

struct QdxHostFuncs;

// The registered host (nullptr while none) and the id it gave "Motor Stopped".
// Written by the plug-in registration, read by RaiseMotorStoppedToHost on any thread:
// both are accessed atomically (std::atomic_ref) once a tick may run. The host
// is published only after a successful version check and never cleared.
extern QdxHostFuncs *QdxHost;
extern int32_t MotorStoppedEventId;

// Raises "Motor Stopped" with the motor's index on its board (0..6) through the
// registered host; does nothing when no host is registered. The core's
// "Motor Stopped" hook (stophook.h), installed by the registration: takes no
// lock, runs on the tick thread or a client thread with no library lock held
// (the host may call back into the library from inside).
void RaiseMotorStoppedToHost(int32_t index);

// motorstopped.h - the "Motor Stopped" event towards the host framework.
#pragma once

#include <cstdint>

// Raises "Motor Stopped" with the motor's index on its board (0..6) through the
// registered host; does nothing when no host is registered. Callable from the
// tick thread and from client threads; must be called with no library lock held
// (the host may call back into the library from inside).
void RaiseMotorStopped(int32_t index);

// lifetime.h - steps of the layers above the core that run when the library
// is unloaded (lifetime.cpp says in what order everything starts and ends).
#pragma once

// Adds a step to run at unload, before the tick stops and the boards are
// deleted; steps run latest first. Any thread. A step must not throw and
// must not wait for another thread. False when the few places are taken.
bool AtLibraryUnload(void (*step)());

// schedprio.h - a thread's current priority as the kernel schedules it, for
// the tests of priority inheritance.
#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

// Field 18 of the thread's stat line: negative for a real-time priority
// (-1 - the SCHED_FIFO priority), a priority lent by a waiter included; 0 when
// the thread is unknown.
inline long KernelPriority(pid_t tid)
{
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(f, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos || close + 2 > line.size())
        return 0;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    long value = 0;
    for (int i = 3; i <= 18 && rest >> field; ++i)
        value = std::atol(field.c_str());
    return value;
}

// gridmod_double.h - a recording table library for the utility's tests: the
// four gridmod functions record each call (and run an optional hook) instead
// of showing windows or writing files.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace gmdouble {

struct Call {
    std::string fn;     // "_ShowTableWin", "_CloseTableWin", "_RemoveTable", "_SaveTableSettings"
    int table = 0;      // 0 for _CloseTableWin
    std::string name;   // _SaveTableSettings only
    bool operator==(const Call &) const = default;
};

void PrintTo(const Call &c, std::ostream *os);

std::vector<Call> &Calls();
// Runs inside every call, after it was recorded.
void SetHook(std::function<void(const Call &)> hook);

inline Call Show(int t) { return {"_ShowTableWin", t, ""}; }
inline Call CloseWin() { return {"_CloseTableWin", 0, ""}; }
inline Call Remove(int t) { return {"_RemoveTable", t, ""}; }
inline Call Save(int t, const std::string &n) { return {"_SaveTableSettings", t, n}; }

}   // namespace gmdouble

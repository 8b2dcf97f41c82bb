// gridmod_double.cpp - the recording table library (see gridmod_double.h).
#include "gridmod_double.h"

#include <ostream>

#include "gridmod.h"

namespace gmdouble {

namespace {
std::function<void(const Call &)> hook;

void Record(Call c)
{
    Calls().push_back(c);
    if (hook)
        hook(c);
}
}   // namespace

std::vector<Call> &Calls()
{
    static std::vector<Call> calls;
    return calls;
}

void SetHook(std::function<void(const Call &)> h) { hook = std::move(h); }

// Readable failure messages.
void PrintTo(const Call &c, std::ostream *os)
{
    *os << c.fn << "(" << c.table;
    if (c.fn == "_SaveTableSettings")
        *os << ", \"" << c.name << "\"";
    *os << ")";
}

}   // namespace gmdouble

extern "C" {
void _ShowTableWin(int32_t table) { gmdouble::Record({"_ShowTableWin", table, ""}); }
void _CloseTableWin(void) { gmdouble::Record({"_CloseTableWin", 0, ""}); }
void _RemoveTable(int32_t table) { gmdouble::Record({"_RemoveTable", table, ""}); }
void _SaveTableSettings(int32_t table, const char *name)
{
    gmdouble::Record({"_SaveTableSettings", table, name ? name : "(null)"});
}
}

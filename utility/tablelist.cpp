// tablelist.cpp - reading the table settings file with libinih (see tablelist.h).
//
// libinih is fed through a line reader that makes it read the file the way a
// Windows profile reader does:
//  - leading blanks are dropped, so an indented line is never taken as the
//    continuation of the previous value;
//  - ';' and ':' outside comment lines are masked, so a ';' is text (not an
//    inline comment) and ':' does not split a key from its value;
//  - after each section header the reader adds a marker line, so sections
//    without keys are seen too;
//  - a line longer than libinih's buffer is cut at a UTF-8 boundary and the
//    rest of it skipped.
#include "tablelist.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ini.h>

const char *const kTableSettingsFile = "configs/gridmod.ini";

namespace {

constexpr char kMarkerKey[] = "\x01";   // key of the marker line after a header
constexpr char kSemicolon = '\x1f';     // masked ';'
constexpr char kColon = '\x1e';         // masked ':'

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

std::string Lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

std::string Unmask(const char *p)
{
    std::string s = p ? p : "";
    for (char &c : s) {
        if (c == kSemicolon)
            c = ';';
        else if (c == kColon)
            c = ':';
    }
    return s;
}

struct Reader {
    const std::string *text = nullptr;
    const bool *full = nullptr;   // the collector takes no more sections
    size_t pos = 0;
    bool first = true;
    bool marker = false;   // the marker line is due

    // libinih's line source: one line into buf[num] with its '\n'.
    static char *Next(char *buf, int num, void *stream)
    {
        auto *r = static_cast<Reader *>(stream);
        if (num < 4)
            return nullptr;
        if (r->marker) {
            r->marker = false;
            std::snprintf(buf, size_t(num), "%s=\n", kMarkerKey);
            return buf;
        }
        if (r->pos >= r->text->size() || *r->full)
            return nullptr;
        const std::string &t = *r->text;
        size_t nl = t.find('\n', r->pos);
        size_t end = nl == std::string::npos ? t.size() : nl;
        std::string line;
        line.reserve(end - r->pos);
        for (size_t i = r->pos; i < end; ++i) {
            char c = t[i];
            // Bytes that would end the text early, or look like a mask.
            if (c == '\0' || c == kMarkerKey[0] || c == kSemicolon || c == kColon || c == '\r')
                continue;
            line.push_back(c);
        }
        r->pos = nl == std::string::npos ? t.size() : nl + 1;
        size_t b = 0;
        if (r->first && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            b = 3;
        r->first = false;
        while (b < line.size() && IsBlank(line[b]))
            ++b;
        line.erase(0, b);
        if (!line.empty() && line[0] != ';' && line[0] != '#') {
            for (char &c : line) {
                if (c == ';')
                    c = kSemicolon;
                else if (c == ':')
                    c = kColon;
            }
        }
        if (!line.empty() && line[0] == '[')
            r->marker = true;
        size_t room = size_t(num) - 2;   // '\n' and the terminator
        if (line.size() > room) {
            size_t cut = room;
            while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
                --cut;
            line.resize(cut);
        }
        std::memcpy(buf, line.data(), line.size());
        buf[line.size()] = '\n';
        buf[line.size() + 1] = '\0';
        return buf;
    }
};

struct Collector {
    std::vector<TableSection> sections;
    std::vector<bool> named;
    std::unordered_map<std::string, size_t> index;   // lower-case section -> position
    bool full = false;                               // a section beyond kTableSectionLimit began

    static int Handle(void *user, const char *section, const char *key, const char *value)
    {
        auto *c = static_cast<Collector *>(user);
        std::string sec = Trim(Unmask(section));
        if (sec.empty())
            return 1;   // keys before the first section, or "[]"
        auto it = c->index.find(Lower(sec));
        size_t at;
        if (it == c->index.end()) {
            if (std::strcmp(key, kMarkerKey) != 0)
                return 1;   // a section that failed to parse
            if (c->sections.size() >= kTableSectionLimit) {
                c->full = true;
                return 1;
            }
            at = c->sections.size();
            c->index.emplace(Lower(sec), at);
            c->sections.push_back({sec, "Unknown", TableNumberOf(sec)});
            c->named.push_back(false);
            return 1;
        }
        at = it->second;
        if (std::strcmp(key, kMarkerKey) == 0 || c->named[at])
            return 1;
        if (Lower(Trim(Unmask(key))) != "name")
            return 1;
        std::string v = Trim(Unmask(value));
        if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
            v = v.substr(1, v.size() - 2);
        c->sections[at].name = v;
        c->named[at] = true;
        return 1;
    }
};

}   // namespace

std::optional<int> TableNumberOf(const std::string &section)
{
    static const char prefix[] = "table_";
    const size_t n = sizeof prefix - 1;
    if (section.size() <= n || Lower(section.substr(0, n)) != prefix)
        return std::nullopt;
    int value = 0, digits = 0;
    for (size_t i = n; i < section.size() && digits < 2; ++i, ++digits) {
        char c = section[i];
        if (c < '0' || c > '9')
            break;
        value = value * 10 + (c - '0');
    }
    if (digits == 0)
        return std::nullopt;
    return value;
}

std::vector<TableSection> ReadTableSections(const std::string &path)
{
    // Non-blocking, regular files only: a FIFO, a device or a directory in the
    // file's place must not hang the window (nor read on for ever).
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return {};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return {};
    }
    std::string text(std::min(size_t(std::max<off_t>(st.st_size, 0)), kTableFileReadLimit), '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t r = ::read(fd, text.data() + got, text.size() - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += size_t(r);
    }
    ::close(fd);
    text.resize(got);
    if (text.empty())
        return {};
    Collector collector;
    Reader reader;
    reader.text = &text;
    reader.full = &collector.full;
    ini_parse_stream(&Reader::Next, &reader, &Collector::Handle, &collector);
    return std::move(collector.sections);
}

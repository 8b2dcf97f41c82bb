// inifile.cpp - line-level editing of the table settings file (see inifile.h).
#include "inifile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gridmod {

const char *const kTableFile = "configs/gridmod.ini";

namespace {

struct FileText {
    bool exists = false;
    std::vector<std::string> lines;   // each with its line ending, if it had one
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && (IsBlank(s[b]) || s[b] == '\r' || s[b] == '\n'))
        ++b;
    while (e > b && (IsBlank(s[e - 1]) || s[e - 1] == '\r' || s[e - 1] == '\n'))
        --e;
    return s.substr(b, e - b);
}

bool SameText(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x += 'a' - 'A';
        if (y >= 'A' && y <= 'Z')
            y += 'a' - 'A';
        if (x != y)
            return false;
    }
    return true;
}

// The line without a UTF-8 byte order mark (first line only) and leading blanks.
std::string Content(const std::string &line, bool first)
{
    size_t i = 0;
    if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
        i = 3;
    while (i < line.size() && IsBlank(line[i]))
        ++i;
    return line.substr(i);
}

// The section a header line opens, or nullopt for any other line.
std::optional<std::string> SectionOf(const std::string &line, bool first)
{
    std::string c = Content(line, first);
    if (c.empty() || c[0] != '[')
        return std::nullopt;
    size_t end = c.find(']');
    if (end == std::string::npos)
        return std::nullopt;
    return Trim(c.substr(1, end - 1));
}

// Key and value of a "key=value" line; nullopt for comments, headers and lines
// without '='.
std::optional<std::pair<std::string, std::string>> KeyOf(const std::string &line, bool first)
{
    std::string c = Content(line, first);
    if (c.empty() || c[0] == ';' || c[0] == '#' || c[0] == '[')
        return std::nullopt;
    size_t eq = c.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    return std::make_pair(Trim(c.substr(0, eq)), Trim(c.substr(eq + 1)));
}

std::string Unquote(const std::string &v)
{
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
        return v.substr(1, v.size() - 2);
    return v;
}

// The value text that reads back as `name`: line breaks become blanks (they
// would start new lines), and blanks at either end or quotes around the whole
// text are kept by quoting it.
std::string Encode(std::string name)
{
    for (char &c : name)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    bool quote = !name.empty() && (IsBlank(name.front()) || IsBlank(name.back()));
    if (name.size() >= 2 && (name[0] == '"' || name[0] == '\'') && name.back() == name[0])
        quote = true;
    return quote ? "\"" + name + "\"" : name;
}

bool Load(const std::string &path, FileText &out)
{
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) {
        if (!std::filesystem::status_known(status))
            return false;
        out.exists = false;
        return true;
    }
    // A FIFO or a device would block the read or never end it.
    if (!std::filesystem::is_regular_file(status))
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad())
        return false;
    std::string all = ss.str();
    out.exists = true;
    size_t pos = 0;
    while (pos < all.size()) {
        size_t nl = all.find('\n', pos);
        size_t end = nl == std::string::npos ? all.size() : nl + 1;
        out.lines.push_back(all.substr(pos, end - pos));
        pos = end;
    }
    return true;
}

std::string LineEnd(const FileText &f)
{
    for (const auto &l : f.lines)
        if (l.size() >= 2 && l.compare(l.size() - 2, 2, "\r\n") == 0)
            return "\r\n";
    return "\n";
}

// Writes the lines to a temporary file beside `path`, then renames it over
// `path`. The old file stays as it was when any step fails.
bool Store(const std::string &path, const FileText &f)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p(path);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path(), ec);
    std::string tmpl = path + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0)
        return false;
    bool ok = true;
    struct stat st {};
    fchmod(fd, stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
    for (const auto &l : f.lines) {
        const char *d = l.data();
        size_t left = l.size();
        while (ok && left > 0) {
            ssize_t n = write(fd, d, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                ok = false;
            else {
                d += n;
                left -= size_t(n);
            }
        }
    }
    if (ok && fsync(fd) != 0)
        ok = false;
    if (close(fd) != 0)
        ok = false;
    if (ok && rename(name.data(), path.c_str()) != 0)
        ok = false;
    if (!ok)
        unlink(name.data());
    return ok;
}

}   // namespace

std::string SectionName(int table)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "table_%02d", table);
    return buf;
}

std::optional<std::string> ReadTableName(const std::string &path, int table)
{
    FileText f;
    if (!Load(path, f))
        return std::nullopt;
    const std::string want = SectionName(table);
    bool found = false, inside = false;
    for (size_t i = 0; i < f.lines.size(); ++i) {
        if (auto s = SectionOf(f.lines[i], i == 0)) {
            inside = SameText(*s, want);
            found = found || inside;
            continue;
        }
        if (!inside)
            continue;
        if (auto kv = KeyOf(f.lines[i], i == 0); kv && SameText(kv->first, "name"))
            return Unquote(kv->second);
    }
    if (found)
        return std::string("Unknown");
    return std::nullopt;
}

bool SaveTableName(const std::string &path, int table, const std::string &name)
{
    FileText f;
    if (!Load(path, f))
        return false;
    const std::string want = SectionName(table);
    const std::string eol = LineEnd(f);
    const std::string line = "name=" + Encode(name) + eol;
    long header = -1;
    bool inside = false;
    for (size_t i = 0; i < f.lines.size(); ++i) {
        if (auto s = SectionOf(f.lines[i], i == 0)) {
            inside = SameText(*s, want);
            if (inside && header < 0)
                header = long(i);
            continue;
        }
        if (!inside)
            continue;
        if (auto kv = KeyOf(f.lines[i], i == 0); kv && SameText(kv->first, "name")) {
            // Keep the leading blanks, the key's spelling and the line ending.
            const std::string &old = f.lines[i];
            size_t eq = old.find('=');
            bool hasEnd = !old.empty() && old.back() == '\n';
            f.lines[i] = old.substr(0, eq + 1) + Encode(name) + (hasEnd ? eol : "");
            return Store(path, f);
        }
    }
    auto terminate = [&](size_t i) {
        if (!f.lines[i].empty() && f.lines[i].back() != '\n')
            f.lines[i] += eol;
    };
    if (header >= 0) {
        terminate(size_t(header));
        f.lines.insert(f.lines.begin() + header + 1, line);
    } else {
        if (!f.lines.empty())
            terminate(f.lines.size() - 1);
        f.lines.push_back("[" + want + "]" + eol);
        f.lines.push_back(line);
    }
    return Store(path, f);
}

bool RemoveTable(const std::string &path, int table)
{
    FileText f;
    if (!Load(path, f))
        return false;
    if (!f.exists)
        return true;
    const std::string want = SectionName(table);
    FileText kept;
    kept.exists = true;
    bool inside = false, removed = false;
    for (size_t i = 0; i < f.lines.size(); ++i) {
        if (auto s = SectionOf(f.lines[i], i == 0))
            inside = SameText(*s, want);
        if (inside) {
            removed = true;
            // A byte order mark on a removed first line stays with the file.
            if (i == 0 && f.lines[0].compare(0, 3, "\xEF\xBB\xBF") == 0)
                kept.lines.push_back("\xEF\xBB\xBF");
            continue;
        }
        kept.lines.push_back(f.lines[i]);
    }
    if (!removed)
        return true;
    return Store(path, kept);
}

int FreeTableNumber(const std::string &path)
{
    FileText f;
    if (!Load(path, f))
        return -1;
    std::vector<bool> used(100, false);
    for (size_t i = 0; i < f.lines.size(); ++i)
        if (auto s = SectionOf(f.lines[i], i == 0))
            for (int n = 0; n < 100; ++n)
                if (SameText(*s, SectionName(n)))
                    used[size_t(n)] = true;
    for (int n = 0; n < 100; ++n)
        if (!used[size_t(n)])
            return n;
    return -1;
}

}   // namespace gridmod

// tablelist.h - reading the table settings file "configs/gridmod.ini": its
// sections in file order, each with its "name" and the table number its
// section name gives.
//
// The file is untrusted text in the Windows profile format and is read as a
// Windows program reads it: section and key names compare without regard to
// case, blanks around names and values do not count, lines starting with ';'
// are comments, a ';' elsewhere is part of the text, and quotes around a whole
// value are dropped. A section that appears twice is one table; the first
// "name" in it counts. Overlong lines are cut (never split into two lines).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// "configs/gridmod.ini", relative to the current directory.
extern const char *const kTableSettingsFile;

struct TableSection {
    std::string section;         // as written, blanks around it removed
    std::string name;            // the "name" value, "Unknown" without one
    std::optional<int> number;   // TableNumberOf(section)
};

// What a reload reads at most: the file's first 1 MiB, and in it the first
// 1000 sections. The list is reloaded every second; a file beyond these
// bounds would keep the window busy for longer than that.
constexpr size_t kTableFileReadLimit = 1u << 20;
constexpr size_t kTableSectionLimit = 1000;

// The sections of the file in file order, within the limits above; none when
// the file is missing, unreadable or no regular file (a FIFO, a device or a
// directory is never opened for a blocking read).
std::vector<TableSection> ReadTableSections(const std::string &path);

// The number a section name gives under the pattern "table_%02d": "table_"
// (any case), then one or two decimal digits ("table_07" 7, "table_123" 12).
// nullopt for a name of any other form.
std::optional<int> TableNumberOf(const std::string &section);

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

#include <optional>
#include <string>
#include <vector>

// "configs/gridmod.ini", relative to the current directory.
extern const char *const kTableSettingsFile;

struct TableSection {
    std::string section;            // as written, blanks around it removed
    std::string name;               // the "name" value, "Unknown" without one
    std::optional<int> number;      // TableNumberOf(section)
};

// The sections of the file in file order; none when the file is missing or
// unreadable. Reads at most the first 16 MiB.
std::vector<TableSection> ReadTableSections(const std::string &path);

// The number a section name gives under the pattern "table_%02d": "table_"
// (any case), then one or two decimal digits ("table_07" 7, "table_123" 12).
// nullopt for a name of any other form.
std::optional<int> TableNumberOf(const std::string &section);

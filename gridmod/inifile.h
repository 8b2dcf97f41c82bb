// inifile.h - line-level editing of the table settings file for the table
// library: find a table's name, set it, remove a table, without losing
// anything else the file holds.
//
// The file keeps the Windows profile conventions: section and key names
// compare without regard to case, blanks around them and around values do not
// count, lines starting with ';' are comments. Every change is written to a
// temporary file in the same directory, which then replaces the file, so a
// failed write leaves the old file as it was.
#pragma once

#include <optional>
#include <string>

namespace gridmod {

// "configs/gridmod.ini", relative to the current directory.
extern const char *const kTableFile;

// "table_%02d" for 0..99.
std::string SectionName(int table);

// The table's "name" value; nullopt when the file or the section is missing,
// "Unknown" when the section has no name.
std::optional<std::string> ReadTableName(const std::string &path, int table);

// Sets the table's name, adding the section (at the end) or the key (after
// the section header) when missing. Creates the file and its directory when
// needed. False when the file can't be read or written.
bool SaveTableName(const std::string &path, int table, const std::string &name);

// Removes every section of the table (header and lines up to the next
// section). True when the file is as wanted afterwards (also: no such table).
bool RemoveTable(const std::string &path, int table);

// The lowest table number 0..99 without a section; -1 when all are used.
int FreeTableNumber(const std::string &path);

}   // namespace gridmod

/*
 * gridmod.h - the C interface of the table library libgridmod.so, as ordomat
 * calls it.
 *
 * Tables are numbered; table n lives in the section "table_%02d" of the table
 * settings file "configs/gridmod.ini" (relative to the current directory), with
 * its display name under the key "name". No function returns a result.
 *
 * This library is a small stand-in for the real table library: it shows one
 * simple window for one table at a time and keeps the table names in the
 * settings file. The window functions need a Qt application object
 * (QApplication) on the calling thread; without one they show nothing, and the
 * file functions still work.
 */
#ifndef GRIDMOD_H
#define GRIDMOD_H

#include <stdint.h>

#if defined(__GNUC__)
#define GM_EXPORT __attribute__((visibility("default")))
#else
#define GM_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Shows the window of table `table` (0..99), or of a new table for -1. */
GM_EXPORT void _ShowTableWin(int32_t table);
/* Closes the table window, if one is open. */
GM_EXPORT void _CloseTableWin(void);
/* Removes the table's section from the settings file. */
GM_EXPORT void _RemoveTable(int32_t table);
/* Saves `name` as the table's name (NULL saves ""); `name` is read during the
 * call only. Tables outside 0..99 are refused. */
GM_EXPORT void _SaveTableSettings(int32_t table, const char *name);

#ifdef __cplusplus
}
#endif

#endif /* GRIDMOD_H */

/*
 * exit_other.c - a shared library of another vendor, built against the C
 * library alone: it ends the process with the C library's _Exit(int).
 */
#include <stdlib.h>

__attribute__((visibility("default"))) void OtherLibraryExit(int status) { _Exit(status); }

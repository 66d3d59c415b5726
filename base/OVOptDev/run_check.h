// Internal: the argument check every run of bytes at device addresses
// passes before its first query.
#ifndef ORVEX_RUN_CHECK_H
#define ORVEX_RUN_CHECK_H

#include <limits.h>

#include "../util.h"

// A run of len bytes at addr is acceptable when its buffer exists (or it is
// empty) and its end address fits a LONG: the chunk loops advance the
// address up to addr + len.
inline bool orvex_run_ok(LONG addr, const void* data, LONG len) {
    if (len <= 0) return true;
    return data != nullptr && addr <= LONG_MAX - len;
}

#endif

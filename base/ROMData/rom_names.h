// Internal: the name of each RomInfo row, in row order (the row enum of
// ROMData.h). Shared by the library's table and by orvexctl, which shows
// them. Not installed.
#ifndef ORVEX_ROM_NAMES_H
#define ORVEX_ROM_NAMES_H

#include "../ROMData.h"

namespace orvex {

constexpr const char* kRomRowNames[] = {
    "ROM220",   "ROM225",   "ROM250V1", "ROM250V2", "ROM230V1", "ROM230V2", "ROM230V3",
    "ROM231V1", "ROM216V1", "ROM215V1", "ROM236V1", "ROM236V2", "ROM256V1", "ROM231V2",
    "ROM266V1", "ROM276V1", "ROM275V1", "ROM290V1", "ROM290V2", "ROM286V1", "ROM288V1",
    "ROM289V1", "ROM270V1", "ROM271V1", "ROM280V1", "ROM281V1", "ROM232V1", "ROM232V2",
    "ROM272V1", "ROM273V0", "ROM275V2", "ROM283",   "ROM292",   "ROM287",   "ROM267",
    "ROM276V2", "ROM285",   "ROM286"};
static_assert(sizeof kRomRowNames / sizeof kRomRowNames[0] == ROMCOUNT, "one name per RomInfo row");

// The row's name, or "unknown" past the table.
inline const char* rom_row_name(unsigned row) { return row < ROMCOUNT ? kRomRowNames[row] : "unknown"; }

}  // namespace orvex

#endif

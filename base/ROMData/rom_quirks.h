// Internal: what a few mask-ROM revisions need beyond their RomInfo row,
// one entry per row that needs anything. The identification and the
// write-protect release look their row up here instead of testing row
// numbers themselves.
#ifndef ORVEX_ROM_QUIRKS_H
#define ORVEX_ROM_QUIRKS_H

#include "../ROMData.h"

namespace orvex {

// The chip probe run after the search picked the row: it gives the variant
// character and tells revisions that share a ROM string apart.
enum class RomRefine { None, Probe276, Probe288, Probe271, Probe281 };

// How the write-protect release drives the flash's WP# GPIO.
enum class WpGpio {
    Configured,  // as the firmware's configuration byte says
    Fixed292,    // WP# as the only enabled output, fixed outputs on top, unchecked
    Untouched,   // left as it is
};

// A chip that carries another revision's ROM string: when the probe reads
// chipId, the revision is row, and the model's last digit reads digit.
struct RomAlias {
    BYTE chipId;
    unsigned row;
    char digit;
};
constexpr RomAlias kNoAlias = {0, ROMCOUNT, 0};

struct RomQuirk {
    unsigned row;  // RomInfo row
    RomRefine refine;
    RomAlias alias;
    bool olderWpFormatOnly;     // the WP configuration byte is always in the older format
    WpGpio wpGpio;
    bool setGpio2AfterRelease;  // GPIO 2 set as a high output once the flash is released
};

constexpr RomQuirk kRomQuirks[] = {
    {ROM276V1, RomRefine::Probe276, kNoAlias, false, WpGpio::Configured, false},
    {ROM288V1, RomRefine::Probe288, {0x89, ROM289V1, '9'}, false, WpGpio::Configured, false},
    {ROM271V1, RomRefine::Probe271, {0x70, ROM270V1, '0'}, false, WpGpio::Configured, false},
    {ROM281V1, RomRefine::Probe281, {0x80, ROM280V1, '0'}, false, WpGpio::Configured, false},
    {ROM275V2, RomRefine::None, kNoAlias, true, WpGpio::Configured, true},
    {ROM283, RomRefine::None, kNoAlias, true, WpGpio::Untouched, true},
    {ROM292, RomRefine::None, kNoAlias, true, WpGpio::Fixed292, false},
    {ROM287, RomRefine::None, kNoAlias, true, WpGpio::Configured, true},
};

// Rows without an entry need nothing extra.
constexpr RomQuirk kNoRomQuirk = {ROMCOUNT, RomRefine::None, kNoAlias, false, WpGpio::Configured, false};

constexpr const RomQuirk& rom_quirk(unsigned row) {
    for (const RomQuirk& q : kRomQuirks)
        if (q.row == row) return q;
    return kNoRomQuirk;
}

// Whether the 8 bytes read at a row's string address identify that row:
// model digits and 'R' equal, and the version byte equal, or at least the
// row's on a row that stands for every later version too.
inline bool rom_row_matches(const ROM_INFO& row, const BYTE* read) {
    for (int i = 0; i < 4; ++i)
        if (read[i] != row.RomString[i]) return false;
    return row.IsNewestVer ? read[5] >= row.RomString[5] : read[5] == row.RomString[5];
}

}  // namespace orvex

#endif

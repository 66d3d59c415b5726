// The calibration store's place in the camera's serial flash: where each
// record lives, how large it may be, and the identification block that
// marks a camera the store may use. Shared by libOrvexConfig, which reads
// and writes the records, and by orvexctl, which backs them up, keeps them
// through a burn and decodes them. Not installed.
#ifndef ORVEX_INTERNAL_STORE_LAYOUT_H
#define ORVEX_INTERNAL_STORE_LAYOUT_H

#include <stdlib.h>
#include <string.h>

#include "../SFData.h"
#include "../util.h"

namespace orvex_store {

// ------------------------------------------------------------ records
// Each record starts a 4 KiB sector of its own, so the sector erase of a
// save rewrites that record and no other.
constexpr long kSectorSize = 0x1000;
constexpr long kMarkerAddr = 0x30000;
constexpr long kExtraParamsAddr = 0x31000;
constexpr long kSensorTypeAddr = 0x32000;
constexpr long kRectifyAddr = 0x34000;
// [kCalibStart, kCalibEnd): the sectors of the four records.
constexpr long kCalibStart = kMarkerAddr;
constexpr long kCalibEnd = kRectifyAddr + kSectorSize;

// Marker configuration: the in-memory struct, 44 bytes.
constexpr long kMarkerLen = 44;
// Extra parameters: floats, the count given by the caller on both sides
// (an unsigned char); the flash keeps only the values.
constexpr long kMaxExtraParams = 255;
// Sensor type: a NUL-terminated text of at most 127 characters.
constexpr long kSensorTypeCapacity = 128;
constexpr long kMaxSensorTypeLen = kSensorTypeCapacity - 1;
// Rectification: ten 4-byte header values (rows and cols the last two),
// then rows x cols integer pairs; 25 x 18 pairs fill the sector.
constexpr long kRectifyHeaderLen = 40;
constexpr long kRectifyRowsOffset = 32;
constexpr long kRectifyColsOffset = 36;
constexpr long kRectifyGridAddr = kRectifyAddr + kRectifyHeaderLen;
constexpr int kMaxRectifyRows = 25;
constexpr int kMaxRectifyCols = 18;
static_assert(kRectifyHeaderLen + 8L * kMaxRectifyRows * kMaxRectifyCols <= kSectorSize,
              "the largest base grid fits the rectification sector");

// The calibration flash is a 4 KiB-sector part on every camera we ship.
constexpr SERIAL_FLASH_TYPE kFlashType = SFT_MXIC;

// ------------------------------------------------------------ identification
// The block is a 24-byte record in the camera's own flash whose characters
// sit in every other byte. Two firmware layouts exist: the first location
// holds tag "OG" and a number of up to 249, the second (looked at when the
// first does not match) tag "OF" and a number of up to 99. Only the
// even-numbered bytes named here are looked at.
constexpr long kIdBlockLen = 24;
constexpr long kIdFirstAddr = 0x190C0;
constexpr long kIdSecondAddr = 0x3FA00;
// The sectors that hold them, which a burn keeps.
constexpr long kIdFirstSector = kIdFirstAddr / kSectorSize * kSectorSize;
constexpr long kIdSecondSector = kIdSecondAddr / kSectorSize * kSectorSize;

struct IdLocation {
    long addr;
    int tag_offset;     // two tag characters at tag_offset, tag_offset + 2
    int number_offset;  // six number characters, every other byte
    const char* tag;
    int max_number;     // accepted numbers: 1 to max_number
};

constexpr IdLocation kIdLocations[] = {
    {kIdFirstAddr, 2, 6, "OG", 249},
    {kIdSecondAddr, 6, 10, "OF", 99},
};

// The location at addr, or nullptr.
inline const IdLocation* id_location(long addr) {
    for (const IdLocation& loc : kIdLocations)
        if (loc.addr == addr) return &loc;
    return nullptr;
}

// A block's fields as the store reads them. Both are NUL-terminated
// strings: a NUL among the characters ends them early.
struct IdFields {
    char tag[3];
    int number;
    bool matches;
};

inline IdFields read_id_fields(const IdLocation& loc, const BYTE* block) {
    IdFields f;
    memset(&f, 0, sizeof f);
    for (int i = 0; i < 2; ++i) f.tag[i] = static_cast<char>(block[loc.tag_offset + 2 * i]);
    char number[7];
    memset(number, 0, sizeof number);
    for (int i = 0; i < 6; ++i) number[i] = static_cast<char>(block[loc.number_offset + 2 * i]);
    // atoi rules: leading blanks and a sign, digits up to the first other
    // character; six characters cannot overflow an int.
    f.number = atoi(number);
    f.matches = strcmp(f.tag, loc.tag) == 0 && f.number >= 1 && f.number <= loc.max_number;
    return f;
}

}  // namespace orvex_store

#endif

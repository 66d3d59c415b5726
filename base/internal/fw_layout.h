// Where each chip's firmware keeps its version fields in the serial flash:
// a 5-byte code version and three 10-byte fields (customer version,
// customer, date). Shared by the library's version query and by the tool,
// which checks an image before it burns it. Not installed.
#ifndef ORVEX_INTERNAL_FW_LAYOUT_H
#define ORVEX_INTERNAL_FW_LAYOUT_H

#include "../ROMData.h"
#include "../util.h"

namespace orvex_fw {

constexpr long kCodeLen = 5;
constexpr long kFieldLen = 10;

enum Condition {
    ANY_ROM,     // no revision test
    REVISION,    // the revision must be the row's
    ROM_READ_OK  // the ROM version read succeeded and the revision is the row's
};

enum Query {
    BOTH,   // the same layout for either query
    PLAIN,  // the plain version query only
    EX      // the query naming a ROM type, with the row's romType only
};

struct Layout {
    BYTE chip;
    Condition cond;
    BYTE revision;
    Query query;
    DSP_ROM_TYPE romType;
    USHORT code, cusVer, customer, dayVer;
};

constexpr Layout kLayouts[] = {
    {0x15, ANY_ROM, 0, BOTH, DRT_Unknow, 0x01F3, 0x3E0A, 0x3E00, 0x3E14},
    {0x56, ANY_ROM, 0, BOTH, DRT_Unknow, 0x01F3, 0x3E0A, 0x3E00, 0x3E14},
    {0x16, ANY_ROM, 0, BOTH, DRT_Unknow, 0x0153, 0x0FDA, 0x0FD0, 0x0FE4},
    {0x25, ANY_ROM, 0, BOTH, DRT_Unknow, 0x01F3, 0x5E0A, 0x5E00, 0x5E14},
    {0x32, ROM_READ_OK, 1, BOTH, DRT_Unknow, 0x0153, 0x0FDA, 0x0FD0, 0x0FE4},
    {0x32, ROM_READ_OK, 2, BOTH, DRT_Unknow, 0x0FDA, 0x0FE2, 0x0FD0, 0x0FEC},
    {0x70, ANY_ROM, 0, BOTH, DRT_Unknow, 0x3E00, 0x3E0F, 0x3E05, 0x3E19},
    {0x71, ANY_ROM, 0, BOTH, DRT_Unknow, 0x3E00, 0x3E0F, 0x3E05, 0x3E19},
    {0x75, REVISION, 1, PLAIN, DRT_Unknow, 0x200A, 0x2012, 0x2000, 0x201C},
    {0x75, REVISION, 1, EX, DRT_64K, 0x4E0A, 0x4E12, 0x4E00, 0x4E1C},
    {0x75, REVISION, 1, EX, DRT_128K, 0x200A, 0x2012, 0x2000, 0x201C},
    {0x76, REVISION, 1, BOTH, DRT_Unknow, 0x0153, 0x3FDA, 0x3FD0, 0x3FE4},
    {0x83, ANY_ROM, 0, BOTH, DRT_Unknow, 0x200A, 0x2012, 0x2000, 0x201C},
    {0x85, ANY_ROM, 0, BOTH, DRT_Unknow, 0x200A, 0x2012, 0x2000, 0x201C},
    {0x90, ANY_ROM, 0, BOTH, DRT_Unknow, 0x200A, 0x2012, 0x2000, 0x201C},
    {0x92, ANY_ROM, 0, BOTH, DRT_Unknow, 0x200A, 0x2012, 0x2000, 0x201C},
};

// The layout for a chip, its ROM revision (romOk: the revision was read),
// and the query kind; nullptr when the chip's firmware keeps no version.
inline const Layout* find_layout(BYTE chip, bool romOk, BYTE revision, bool ex, DSP_ROM_TYPE romType) {
    for (const Layout& l : kLayouts) {
        if (l.chip != chip) continue;
        if (l.query == PLAIN && ex) continue;
        if (l.query == EX && (!ex || l.romType != romType)) continue;
        if (l.cond == REVISION && revision != l.revision) continue;
        if (l.cond == ROM_READ_OK && (!romOk || revision != l.revision)) continue;
        return &l;
    }
    return nullptr;
}

// One past the last byte of the version fields: an image must reach it.
inline long layout_end(const Layout& l) {
    long end = l.code + kCodeLen;
    const long fields[] = {l.cusVer, l.customer, l.dayVer};
    for (long f : fields)
        if (f + kFieldLen > end) end = f + kFieldLen;
    return end;
}

}  // namespace orvex_fw

#endif

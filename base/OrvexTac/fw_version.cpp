// The firmware's version fields: a 5-byte code version and three 10-byte
// fields (customer version, customer, date) at flash addresses that depend
// on the chip and on its ROM revision. The reply is the raw bytes laid end
// to end in a 56-byte record: code version, customer version, customer,
// date, then zeros.
#include <string.h>

#include "../OrvexTac.h"

namespace {

const long kRecordSize = 56;
const long kCodeLen = 5;
const long kFieldLen = 10;

enum Condition {
    ANY_ROM,     // no revision test
    REVISION,    // the revision must be the row's
    ROM_READ_OK  // the ROM version read succeeded and the revision is the row's
};

enum Query {
    BOTH,   // the same layout for either query
    PLAIN,  // OrvexTac_GetFWVersion only
    EX      // OrvexTac_GetFWVersionEx with the row's romType only
};

struct Layout {
    BYTE chip;
    Condition cond;
    BYTE revision;
    Query query;
    DSP_ROM_TYPE romType;
    USHORT code, cusVer, customer, dayVer;
};

const Layout kLayouts[] = {
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

const Layout* find_layout(BYTE chip, BOOL romOk, BYTE revision, bool ex, DSP_ROM_TYPE romType) {
    for (const Layout& l : kLayouts) {
        if (l.chip != chip) continue;
        if (l.query == PLAIN && ex) continue;
        if (l.query == EX && (!ex || l.romType != romType)) continue;
        if (l.cond == REVISION && revision != l.revision) continue;
        if (l.cond == ROM_READ_OK && (romOk != 1 || revision != l.revision)) continue;
        return &l;
    }
    return nullptr;
}

// A field that cannot be read fails the whole query: a record with
// undefined or missing bytes would pass for a version.
BOOL get_fw_version(bool ex, DSP_ROM_TYPE romType, unsigned char* pData, long len) {
    if (!camera_init) return 0;
    if (len < 0) return 0;
    if (!pData && len > 0) return 0;
    BYTE RomValue[10];
    memset(RomValue, 0, sizeof RomValue);
    BOOL hr = OV_GetAsicRomVersion(RomValue);
    BYTE chipID = 0;
    DSP_ARCH_TYPE asicArchType = DAT_UNKNOW;
    if (OV_GetChipRomType(&chipID, &asicArchType) == DRT_Unknow) return 0;
    BYTE FlashCodeVer[kRecordSize];
    memset(FlashCodeVer, 0, sizeof FlashCodeVer);
    const Layout* l = find_layout(chipID, hr, RomValue[5], ex, romType);
    if (!l) return 0;
    BYTE Customer[kFieldLen], CusVer[kFieldLen], DayVer[kFieldLen];
    memset(Customer, 0, sizeof Customer);
    memset(CusVer, 0, sizeof CusVer);
    memset(DayVer, 0, sizeof DayVer);
    if (OV_ReadFormSF(l->customer, Customer, kFieldLen) != 1) return 0;
    if (OV_ReadFormSF(l->cusVer, CusVer, kFieldLen) != 1) return 0;
    if (OV_ReadFormSF(l->dayVer, DayVer, kFieldLen) != 1) return 0;
    if (OV_ReadFormSF(l->code, FlashCodeVer, kCodeLen) != 1) return 0;
    memcpy(FlashCodeVer + 5, CusVer, kFieldLen);
    memcpy(FlashCodeVer + 15, Customer, kFieldLen);
    memcpy(FlashCodeVer + 25, DayVer, kFieldLen);
    BYTE Temp[kRecordSize];
    memcpy(Temp, FlashCodeVer, sizeof Temp);
    if (len > 0) {
        memset(pData, 0, static_cast<size_t>(len));
        memcpy(pData, Temp, static_cast<size_t>(len < kRecordSize ? len : kRecordSize));
    }
    return 1;
}

}  // namespace

extern "C" {

BOOL OrvexTac_GetFWVersion(unsigned char* pData, long len) {
    return get_fw_version(false, DRT_Unknow, pData, len);
}

// romType picks between the two layouts of chip 0x75 and is ignored for
// every other chip.
BOOL OrvexTac_GetFWVersionEx(DSP_ROM_TYPE romType, unsigned char* pData, long len) {
    return get_fw_version(true, romType, pData, len);
}

}

// The firmware's version fields: a 5-byte code version and three 10-byte
// fields (customer version, customer, date) at flash addresses that depend
// on the chip and on its ROM revision. The reply is the raw bytes laid end
// to end in a 56-byte record: code version, customer version, customer,
// date, then zeros.
#include <string.h>

#include "../OrvexTac.h"
#include "../internal/fw_layout.h"
#include "../OVOptDev/node_lock.h"

namespace {

using namespace orvex_fw;
const long kRecordSize = 56;

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
    const Layout* l = find_layout(chipID, hr == 1, RomValue[5], ex, romType);
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
    ORVEX_ONE_PROCESS_AT_A_TIME();
    return get_fw_version(false, DRT_Unknow, pData, len);
}

// romType picks between the two layouts of chip 0x75 and is ignored for
// every other chip.
BOOL OrvexTac_GetFWVersionEx(DSP_ROM_TYPE romType, unsigned char* pData, long len) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    return get_fw_version(true, romType, pData, len);
}

}

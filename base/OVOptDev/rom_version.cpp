// Mask-ROM identification over selector 4: an 11-byte request {addr lo,
// addr hi, count 8, 0...} makes the firmware fetch 8 ROM bytes, which the
// following GET_CUR returns from byte 3 on. The ROM's revision string sits
// at one of a few fixed addresses; a few revisions share a ROM and are told
// apart by probing the chip.
#include <string.h>

#include "../OVOptDev.h"

namespace {

const int kRomBytes = 8;

bool row_matches(const ROM_INFO& row, const BYTE* read) {
    if (memcmp(read, row.RomString, 4) != 0) return false;
    return row.IsNewestVer ? read[5] >= row.RomString[5] : read[5] == row.RomString[5];
}

BYTE read_reg(USHORT addr) {
    BYTE v = 0;  // a failed read leaves 0
    OV_ReadFromASIC(addr, &v);
    return v;
}

// First-architecture registers the probes use whatever map is in force.
const USHORT kGpioInput = 0x1005;
const USHORT kGpioOutput = 0x1006;
const USHORT kGpioOE = 0x1007;
const USHORT kChipId = 0x101F;
const USHORT kIdSelect = 0x100A;  // bit 4 is cleared while the id is read
const USHORT kProbe1185 = 0x1185; // bits 4-6 hold a written value on R1 parts only

// Makes pin n an input with its output latch set and reads its level.
// *out receives the output value as written, for the caller to adjust.
bool gpio_pin_high(int n, BYTE* out) {
    BYTE bit = static_cast<BYTE>(1u << n);
    BYTE oe = static_cast<BYTE>(read_reg(kGpioOE) & ~bit);
    *out = static_cast<BYTE>(read_reg(kGpioOutput) | bit);
    OV_WriteToASIC(kGpioOE, oe);
    OV_WriteToASIC(kGpioOutput, *out);
    return (read_reg(kGpioInput) & bit) != 0;
}

void refine_276(BYTE* data) {
    BYTE written = static_cast<BYTE>(read_reg(kProbe1185) | 0x70);
    OV_WriteToASIC(kProbe1185, written);
    BYTE back = read_reg(kProbe1185);
    if (((written ^ back) & 0x70) == 0) data[4] = '1';
}

void refine_288(BYTE* data) {
    if (read_reg(kChipId) == 0x89) {
        data[2] = '9';
        uiRomID = ROM289V1;
        return;
    }
    BYTE out = 0;
    if (gpio_pin_high(5, &out)) {
        data[4] = '1';
    } else {
        OV_WriteToASIC(kGpioOutput, static_cast<BYTE>(out & 0xDF));
    }
}

// Rows 271 and 281 also stand for 270 and 280; the chip id read while bit 4
// of 0x100A is clear tells them apart. The pins then give the variant.
void refine_271_281(BYTE* data, unsigned row) {
    BYTE ctl = read_reg(kIdSelect);
    BYTE keep = static_cast<BYTE>(ctl & 0x10);
    ctl = static_cast<BYTE>(ctl & ~0x10);
    OV_WriteToASIC(kIdSelect, ctl);
    BYTE id = read_reg(kChipId);
    OV_WriteToASIC(kIdSelect, static_cast<BYTE>(ctl | keep));
    if (row == ROM271V1 && id == 0x70) {
        data[2] = '0';
        uiRomID = ROM270V1;
    } else if (row == ROM281V1 && id == 0x80) {
        data[2] = '0';
        uiRomID = ROM280V1;
    }
    BYTE out = 0;
    if (gpio_pin_high(3, &out)) {
        data[4] = '1';
        OV_WriteToASIC(kGpioOutput, static_cast<BYTE>(out & 0xF7));
        return;
    }
    if (row == ROM281V1) {
        data[4] = '0';
        return;
    }
    if (gpio_pin_high(4, &out)) {
        data[4] = '0';
    } else if (uiRomID == ROM270V1) {
        data[4] = '2';
        OV_WriteToASIC(kGpioOutput, static_cast<BYTE>(out & 0xEF));
    }
}

}  // namespace

extern "C" {

BOOL OV_ReadFromROM(LONG addr, BYTE* data) {
    if (!data) return 0;
    BYTE ctrldata[11];
    memset(ctrldata, 0, sizeof ctrldata);
    ctrldata[0] = static_cast<BYTE>(addr & 0xFF);
    ctrldata[1] = static_cast<BYTE>((addr >> 8) & 0xFF);
    ctrldata[2] = kRomBytes;
    BYTE unit = g_curExtendUnitID;
    if (OV_Set_Cur(unit, OV_XU_SEL_ROM, 11, ctrldata) < 0) return 0;
    if (OV_Get_Cur(unit, OV_XU_SEL_ROM, 11, ctrldata) < 0) return 0;
    memcpy(data, ctrldata + 3, kRomBytes);
    return 1;
}

// Addresses in search order, rows in table order; the first match wins. An
// address whose read fails cannot match: the bytes of an earlier address
// must never be compared against this address's rows.
BOOL KS_DefGetAsicRomVersion(BYTE* data) {
    if (!data) return 0;
    for (int i = 0; i < ROMSTRADDRCNT; ++i) {
        BYTE buf[kRomBytes];
        if (OV_ReadFromROM(RomStringAddr[i], buf) != 1) continue;
        for (unsigned j = 0; j < ROMCOUNT; ++j) {
            if (RomInfo[j].RomStringAddr != RomStringAddr[i]) continue;
            if (!row_matches(RomInfo[j], buf)) continue;
            memcpy(data, buf, kRomBytes);
            uiRomID = j;
            return 1;
        }
    }
    return 0;
}

// The result is the device's string with at most the last model digit
// (byte 2) and the variant character (byte 4) replaced.
BOOL OV_GetAsicRomVersion(BYTE* data) {
    if (!data) return 0;
    if (KS_DefGetAsicRomVersion(data) != 1) return 0;
    unsigned row = uiRomID;
    if (row == ROM276V1)
        refine_276(data);
    else if (row == ROM288V1)
        refine_288(data);
    else if (row == ROM271V1 || row == ROM281V1)
        refine_271_281(data, row);
    return 1;
}

}

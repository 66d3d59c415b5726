// Mask-ROM identification over selector 4: an 11-byte request {addr lo,
// addr hi, count 8, 0...} makes the firmware fetch 8 ROM bytes, which the
// following GET_CUR returns from byte 3 on. The ROM's revision string sits
// at one of a few fixed addresses; a few revisions share a ROM and are told
// apart by probing the chip.
#include <string.h>

#include "../OVOptDev.h"
#include "node_lock.h"
#include "../ROMData/arch_maps.h"
#include "../ROMData/rom_quirks.h"

namespace {

const int kRomBytes = 8;

bool read_reg(USHORT addr, BYTE* v) { return OV_ReadFromASIC(addr, v) == 1; }
bool write_reg(USHORT addr, BYTE v) { return OV_WriteToASIC(addr, v) == 1; }

// First-architecture registers the probes use whatever map is in force.
const USHORT kGpioInput = orvex::kFirstArchMap.gpioInputAddr;
const USHORT kGpioOutput = orvex::kFirstArchMap.gpioOutputAddr;
const USHORT kGpioOE = orvex::kFirstArchMap.gpioOEAddr;
const USHORT kChipId = orvex::kFirstArchMap.asicIdAddr;
const USHORT kIdSelect = 0x100A;  // bit 4 is cleared while the id is read
const USHORT kProbe1185 = 0x1185; // bits 4-6 hold a written value on R1 parts only

// A probe either reads every value it decides on, or stops at the first
// register access that fails: a value it never read must not pick a row.
struct PinProbe {
    bool ok = false;
    bool high = false;
    BYTE out = 0;  // the output value as written, for the caller to adjust
};

// Makes pin n an input with its output latch set and reads its level. If
// the level cannot be read after the latch was set, the latch bit is
// cleared again (result ignored), as the probes do when done with a pin.
PinProbe gpio_pin(int n) {
    PinProbe p;
    BYTE bit = static_cast<BYTE>(1u << n);
    BYTE oe = 0, out = 0, in = 0;
    if (!read_reg(kGpioOE, &oe) || !read_reg(kGpioOutput, &out)) return p;
    oe = static_cast<BYTE>(oe & ~bit);
    p.out = static_cast<BYTE>(out | bit);
    if (!write_reg(kGpioOE, oe)) return p;
    if (!write_reg(kGpioOutput, p.out)) return p;
    if (!read_reg(kGpioInput, &in)) {
        OV_WriteToASIC(kGpioOutput, static_cast<BYTE>(p.out & ~bit));
        return p;
    }
    p.ok = true;
    p.high = (in & bit) != 0;
    return p;
}

bool refine_276(BYTE* data) {
    BYTE v = 0, back = 0;
    if (!read_reg(kProbe1185, &v)) return false;
    BYTE written = static_cast<BYTE>(v | 0x70);
    if (!write_reg(kProbe1185, written)) return false;
    if (!read_reg(kProbe1185, &back)) return false;
    if (((written ^ back) & 0x70) == 0) data[4] = '1';
    return true;
}

bool refine_288(BYTE* data, const orvex::RomAlias& alias) {
    BYTE id = 0;
    if (!read_reg(kChipId, &id)) return false;
    if (id == alias.chipId) {
        data[2] = static_cast<BYTE>(alias.digit);
        uiRomID = alias.row;
        return true;
    }
    PinProbe pin = gpio_pin(5);
    if (!pin.ok) return false;
    if (pin.high) {
        data[4] = '1';
        return true;
    }
    return write_reg(kGpioOutput, static_cast<BYTE>(pin.out & 0xDF));
}

// Reads the chip id with bit 4 of 0x100A cleared, then puts the bit back;
// the restoring write runs whenever the clearing one went out.
bool chip_id_with_select_cleared(BYTE* id) {
    BYTE ctl = 0;
    if (!read_reg(kIdSelect, &ctl)) return false;
    BYTE keep = static_cast<BYTE>(ctl & 0x10);
    ctl = static_cast<BYTE>(ctl & ~0x10);
    if (!write_reg(kIdSelect, ctl)) return false;
    bool got = read_reg(kChipId, id);
    bool restored = write_reg(kIdSelect, static_cast<BYTE>(ctl | keep));
    return got && restored;
}

// Rows 271 and 281 also stand for 270 and 280; the chip id read while bit 4
// of 0x100A is clear tells them apart. The pins then give the variant.
bool refine_271_281(BYTE* data, const orvex::RomQuirk& quirk) {
    BYTE id = 0;
    if (!chip_id_with_select_cleared(&id)) return false;
    const bool aliased = id == quirk.alias.chipId;
    if (aliased) {
        data[2] = static_cast<BYTE>(quirk.alias.digit);
        uiRomID = quirk.alias.row;
    }
    PinProbe pin3 = gpio_pin(3);
    if (!pin3.ok) return false;
    if (pin3.high) {
        data[4] = '1';
        return write_reg(kGpioOutput, static_cast<BYTE>(pin3.out & 0xF7));
    }
    if (quirk.refine == orvex::RomRefine::Probe281) {
        data[4] = '0';
        return true;
    }
    PinProbe pin4 = gpio_pin(4);
    if (!pin4.ok) return false;
    if (pin4.high) {
        data[4] = '0';
    } else if (aliased) {
        data[4] = '2';
        return write_reg(kGpioOutput, static_cast<BYTE>(pin4.out & 0xEF));
    }
    return true;
}

}  // namespace

extern "C" {

BOOL OV_ReadFromROM(LONG addr, BYTE* data) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
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
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!data) return 0;
    for (int i = 0; i < ROMSTRADDRCNT; ++i) {
        BYTE buf[kRomBytes];
        if (OV_ReadFromROM(RomStringAddr[i], buf) != 1) continue;
        for (unsigned j = 0; j < ROMCOUNT; ++j) {
            if (RomInfo[j].RomStringAddr != RomStringAddr[i]) continue;
            if (!orvex::rom_row_matches(RomInfo[j], buf)) continue;
            memcpy(data, buf, kRomBytes);
            uiRomID = j;
            return 1;
        }
    }
    return 0;
}

// The result is the device's string with at most the last model digit
// (byte 2) and the variant character (byte 4) replaced.
//
// A probe whose register access fails decides nothing: the result is 0,
// with data and uiRomID as they were before the call.
BOOL OV_GetAsicRomVersion(BYTE* data) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!data) return 0;
    const unsigned rowBefore = uiRomID;
    BYTE version[kRomBytes];
    if (KS_DefGetAsicRomVersion(version) != 1) return 0;
    unsigned row = uiRomID;
    bool probed = true;
    const orvex::RomQuirk& quirk = orvex::rom_quirk(row);
    switch (quirk.refine) {
    case orvex::RomRefine::Probe276: probed = refine_276(version); break;
    case orvex::RomRefine::Probe288: probed = refine_288(version, quirk.alias); break;
    case orvex::RomRefine::Probe271:
    case orvex::RomRefine::Probe281: probed = refine_271_281(version, quirk); break;
    case orvex::RomRefine::None: break;
    }
    if (!probed) {
        uiRomID = rowBefore;
        return 0;
    }
    memcpy(data, version, kRomBytes);
    return 1;
}

}

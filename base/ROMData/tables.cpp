// Register maps of the two controller architectures and the known mask-ROM
// revisions. Plain data: a new revision is a new row.
#include "../OVOptDev.h"
#include "../ROMData.h"
#include "arch_maps.h"
#include "rom_names.h"

namespace {

// The six flag columns of ROM_INFO, by name.
enum RomFlag : unsigned {
    NEWEST = 1u << 0,           // IsNewestVer: the row stands for its version and every later one
    SW_ERASE = 1u << 1,         // IsSWErase
    HOST_FLASH_CMDS = 1u << 2,  // IsDisSFWriteCmd: the firmware takes its flash command bytes from the host
    GENERIC = 1u << 3,          // IsGeneric
    COMPACT = 1u << 4,          // IsCompactMode: the memory type decides whether the flash is released
    LC = 1u << 5,               // IsLCVer
};

// One row. The string is the three model digits, 'R', '0', the version and
// two further bytes the ROM carries after it.
constexpr ROM_INFO rom(USHORT stringAddr, const char (&model)[4], BYTE version, BYTE extra1, BYTE extra2,
                       USHORT sfTypeAddr, USHORT codeVerAddr1, USHORT codeVerAddr2, uint64_t bypass,
                       unsigned flags) {
    ROM_INFO r{};
    r.RomStringAddr = stringAddr;
    r.RomString[0] = static_cast<BYTE>(model[0]);
    r.RomString[1] = static_cast<BYTE>(model[1]);
    r.RomString[2] = static_cast<BYTE>(model[2]);
    r.RomString[3] = 'R';
    r.RomString[4] = '0';
    r.RomString[5] = version;
    r.RomString[6] = extra1;
    r.RomString[7] = extra2;
    r.SFTypeAddr = sfTypeAddr;
    r.CodeVerAddr1 = codeVerAddr1;
    r.CodeVerAddr2 = codeVerAddr2;
    r.Bypass = bypass;
    r.IsNewestVer = (flags & NEWEST) != 0;
    r.IsSWErase = (flags & SW_ERASE) != 0;
    r.IsDisSFWriteCmd = (flags & HOST_FLASH_CMDS) != 0;
    r.IsGeneric = (flags & GENERIC) != 0;
    r.IsCompactMode = (flags & COMPACT) != 0;
    r.IsLCVer = (flags & LC) != 0;
    return r;
}

}  // namespace

extern "C" {

DSP_ARCH_INFO g_AsicArchInfo[DSP_ARCH_COUNT] = {orvex::first_arch_map(), orvex::second_arch_map()};

// The same maps without the I2C master; kept for hosts, never read here.
DSP_ARCH_INFO g_DspArchInfo[DSP_ARCH_COUNT] = {orvex::without_i2c(orvex::first_arch_map()),
                                               orvex::without_i2c(orvex::second_arch_map())};

// Where a ROM can keep its identification string, in search order.
USHORT RomStringAddr[ROMSTRADDRCNT] = {0x9FF8, 0xD2B2, 0xDFF8, 0xBFF8, 0xC7F8, 0xAFF8};

// ROM289V1 carries the 288 string: the two share a ROM and are told apart by
// the chip id. ROM275V2 really carries version 01.
ROM_INFO RomInfo[ROMCOUNT] = {
    // string at, model, version, extra bytes, flash-type address,
    // code-version addresses, bypass, flags
    rom(0x9FF8, "220", 0x01, 0x00, 0x00, 0x03C5, 0x0000, 0x0000, 0xA000, NEWEST),  // ROM220
    rom(0x9FF8, "225", 0x03, 0x00, 0x00, 0x031D, 0x0000, 0x01E8, 0xA000, NEWEST),  // ROM225
    rom(0x9FF8, "250", 0x01, 0x00, 0x00, 0x0530, 0x0000, 0x01E8, 0xA000, 0),  // ROM250V1
    rom(0x9FF8, "250", 0x02, 0x00, 0x00, 0x05F0, 0x0000, 0x01E8, 0xA000, NEWEST),  // ROM250V2
    rom(0xD2B2, "230", 0x01, 0x00, 0x00, 0x0530, 0x0000, 0x01E8, 0xE000, 0),  // ROM230V1
    rom(0xDFF8, "230", 0x02, 0x00, 0x00, 0x05E0, 0x0000, 0x01E8, 0xE000, SW_ERASE),  // ROM230V2
    rom(0xDFF8, "230", 0x03, 0x00, 0x03, 0x05F0, 0x0000, 0x01E8, 0xE000, NEWEST | SW_ERASE),  // ROM230V3
    rom(0xDFF8, "231", 0x01, 0x00, 0x01, 0x05F0, 0x0000, 0x01E8, 0xE000, SW_ERASE),  // ROM231V1
    rom(0xDFF8, "216", 0x01, 0x00, 0x01, 0x05F0, 0x0000, 0x0148, 0xE000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC),  // ROM216V1
    rom(0xBFF8, "215", 0x01, 0x00, 0x00, 0x05F0, 0x0000, 0x01E8, 0xC000, NEWEST),  // ROM215V1
    rom(0xBFF8, "236", 0x01, 0x00, 0x00, 0x0690, 0x0000, 0x01E8, 0xC000, 0),  // ROM236V1
    rom(0xBFF8, "236", 0x02, 0x00, 0x02, 0x05F0, 0x0000, 0x01E8, 0xC000, NEWEST | SW_ERASE),  // ROM236V2
    rom(0xBFF8, "256", 0x01, 0x00, 0x01, 0x05F0, 0x0000, 0x01E8, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS),  // ROM256V1
    rom(0xBFF8, "231", 0x02, 0x10, 0x01, 0x05F0, 0x6000, 0x61E8, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS),  // ROM231V2
    rom(0xBFF8, "266", 0x01, 0x00, 0x01, 0x05F0, 0x0000, 0x01E8, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS),  // ROM266V1
    rom(0xBFF8, "276", 0x01, 0x40, 0x06, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC),  // ROM276V1
    rom(0xBFF8, "275", 0x01, 0x30, 0x05, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC),  // ROM275V1
    rom(0xBFF8, "290", 0x01, 0x60, 0x07, 0x05F0, 0x0000, 0x0148, 0xC000, SW_ERASE | HOST_FLASH_CMDS | GENERIC),  // ROM290V1
    rom(0xBFF8, "290", 0x02, 0x61, 0x20, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC | COMPACT),  // ROM290V2
    rom(0xBFF8, "286", 0x01, 0x41, 0x19, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC | COMPACT | LC),  // ROM286V1
    rom(0xBFF8, "288", 0x01, 0x42, 0x21, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC | COMPACT | LC),  // ROM288V1
    rom(0xBFF8, "288", 0x01, 0x42, 0x21, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC | COMPACT | LC),  // ROM289V1
    rom(0xBFF8, "270", 0x01, 0x43, 0x22, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC | COMPACT | LC),  // ROM270V1
    rom(0xBFF8, "271", 0x01, 0x43, 0x22, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC | COMPACT | LC),  // ROM271V1
    rom(0xBFF8, "280", 0x01, 0x45, 0x23, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC | COMPACT | LC),  // ROM280V1
    rom(0xBFF8, "281", 0x01, 0x45, 0x23, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC | COMPACT | LC),  // ROM281V1
    rom(0xC7F8, "232", 0x01, 0x20, 0x05, 0x05F0, 0x0000, 0x0148, 0xE000, SW_ERASE | HOST_FLASH_CMDS | GENERIC),  // ROM232V1
    rom(0xC7F8, "232", 0x02, 0x50, 0x07, 0x05F0, 0x0000, 0x0148, 0xE000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC | COMPACT | LC),  // ROM232V2
    rom(0xAFF8, "272", 0x01, 0x46, 0x25, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC | COMPACT | LC),  // ROM272V1
    rom(0xAFF8, "273", 0x01, 0x46, 0x25, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC | COMPACT | LC),  // ROM273V0
    rom(0xAFF8, "275", 0x01, 0x46, 0x25, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC | COMPACT | LC),  // ROM275V2
    rom(0xAFF8, "283", 0x01, 0x46, 0x24, 0x05F0, 0x0000, 0x0148, 0xC000, SW_ERASE | HOST_FLASH_CMDS | COMPACT),  // ROM283
    rom(0x9FF8, "292", 0x01, 0x61, 0x08, 0x05F0, 0x0000, 0x0148, 0xC000, SW_ERASE | HOST_FLASH_CMDS | COMPACT),  // ROM292
    rom(0xAFF8, "287", 0x01, 0x46, 0x31, 0x05F0, 0x0000, 0x0148, 0xC000, SW_ERASE | HOST_FLASH_CMDS | COMPACT),  // ROM287
    rom(0xAFF8, "267", 0x01, 0x46, 0x32, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC | COMPACT | LC),  // ROM267
    rom(0xAFF8, "276", 0x01, 0x46, 0x35, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | GENERIC),  // ROM276V2
    rom(0xAFF8, "285", 0x01, 0x46, 0x36, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | COMPACT),  // ROM285
    rom(0xAFF8, "286", 0x01, 0x46, 0x36, 0x05F0, 0x0000, 0x0148, 0xC000, NEWEST | SW_ERASE | HOST_FLASH_CMDS | COMPACT),  // ROM286
};

BOOL LibUsb_SetAsicArchInfo(DSP_ARCH_TYPE dspArchType) { return OV_SetAsicArchInfo(dspArchType); }

}

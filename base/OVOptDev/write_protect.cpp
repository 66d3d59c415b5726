// Lifting the serial flash's write protection: drive the GPIO wired to the
// flash's WP# input to its releasing level (which GPIO and level the
// firmware's configuration byte tells), set the firmware's flash command
// bytes on ROMs that take them from the host, clear the flash's status
// register (block-protect bits), and apply the fixed GPIO settings a few
// ROM revisions need.
#include "../OVOptDev.h"
#include "../ROMData/arch_maps.h"
#include "../ROMData/rom_quirks.h"
#include "../internal/sf_bytes.h"
#include "sf_protocol.h"
#include "node_lock.h"

namespace {

// GPIO port of the first architecture; the release drives the WP# pin
// there on every chip.
constexpr USHORT kGpioValue = orvex::kFirstArchMap.gpioOutputAddr;
constexpr USHORT kGpioEnable = orvex::kFirstArchMap.gpioOEAddr;

// The firmware's flash command bytes (write enable, program) and the four
// fixed values beside them, on ROMs whose row has IsDisSFWriteCmd.
constexpr USHORT kCmdWrenAddr = 0x05F3;
constexpr USHORT kCmdProgramAddr = 0x05F5;
constexpr struct {
    USHORT addr;
    BYTE value;
} kCmdFixed[] = {{0x05F8, 0x12}, {0x05F9, 0x12}, {0x05FA, 0xED}, {0x05FB, 0xED}};

// Where the firmware keeps the WP configuration byte, by chip id.
constexpr LONG kNoConfigByte = -1;
constexpr struct {
    BYTE chip;
    LONG addr;
} kConfigByteAddr[] = {
    {0x16, 0x5834}, {0x32, 0xC034}, {0x76, 0xC034}, {0x33, 0x000F},
    {0x75, 0xB034}, {0x71, kNoConfigByte}, {0x85, kNoConfigByte},
};
constexpr LONG kConfigByteDefault = 0x8034;

LONG config_byte_addr(BYTE chip) {
    for (const auto& r : kConfigByteAddr)
        if (r.chip == chip) return r.addr;
    return kConfigByteDefault;
}

// Read, OR, write, results ignored; a failed read leaves 0.
void set_bits_unchecked(USHORT addr, BYTE bits) {
    BYTE v = 0;
    OV_ReadFromASIC(addr, &v);
    OV_WriteToASIC(addr, static_cast<BYTE>(v | bits));
}

void gpio_preset(DSP_ROM_TYPE drt) {
    BYTE data[2] = {0, 0};
    if (drt == DRT_64K) {
        OV_ReadFromASIC(gpioOutputAddr, &data[0]);
        data[0] |= 0x1F;
        OV_WriteToASIC(gpioOutputAddr, data[0]);
        OV_ReadFromASIC(gpioOutputAddr, &data[0]);
        OV_ReadFromASIC(gpioOEAddr, &data[1]);
        data[1] |= 0x1F;
        OV_WriteToASIC(gpioOEAddr, data[1]);
    } else {
        OV_ReadFromASIC(gpioOutputAddr, &data[0]);
        OV_WriteToASIC(gpioOutputAddr, 0xFF);
        OV_ReadFromASIC(gpioOutputAddr, &data[0]);
        OV_ReadFromASIC(gpioOEAddr, &data[1]);
        OV_WriteToASIC(gpioOEAddr, 0xFF);
    }
}

BOOL set_flash_commands(bool isNewWPVer, SERIAL_FLASH_TYPE sft) {
    // ubSFLib_CmdID is host-writable: a row past the table has no commands.
    if (isNewWPVer && ubSFLib_CmdID >= SFLIB_CMD_ROWS) return 0;
    BYTE v = 0;
    if (OV_ReadFromASIC(kCmdWrenAddr, &v) != 1) return 0;
    BYTE wren = isNewWPVer ? cbSFLib_Cmd[ubSFLib_CmdID][SFCMD_IDX_WREN] : orvex_sf::kCmdWriteEnable;
    if (OV_WriteToASIC(kCmdWrenAddr, wren) != 1) return 0;
    for (const auto& f : kCmdFixed)
        if (OV_WriteToASIC(f.addr, f.value) != 1) return 0;
    if (OV_ReadFromASIC(kCmdProgramAddr, &v) != 1) return 0;
    BYTE pp = isNewWPVer ? cbSFLib_Cmd[ubSFLib_CmdID][SFCMD_IDX_PP]
                         : sft == SFT_SST ? 0xAF : 0x02;
    return OV_WriteToASIC(kCmdProgramAddr, pp) == 1 ? 1 : 0;
}

// Pin mode 1 drives the WP# GPIO low, any other non-zero mode high.
BOOL drive_wp_gpio(orvex::WpGpio how, BYTE wpGPIO, BYTE pinMode) {
    BYTE m = static_cast<BYTE>(1u << wpGPIO);
    if (how == orvex::WpGpio::Fixed292) {
        // This revision gets the WP# GPIO as the only enabled output, then
        // its fixed outputs on top; nothing here is checked.
        if (pinMode == 1) {
            OV_WriteToASIC(kGpioEnable, m);
            OV_WriteToASIC(kGpioValue, static_cast<BYTE>(~m));
        } else if (pinMode == 2 || pinMode == 3) {
            OV_WriteToASIC(kGpioEnable, m);
            OV_WriteToASIC(kGpioValue, m);
        }
        set_bits_unchecked(kGpioValue, 0x04);
        set_bits_unchecked(kGpioEnable, 0x04);
        set_bits_unchecked(0x17C1, 0x01);
        set_bits_unchecked(0x17C2, 0x01);
        return 1;
    }
    if (how == orvex::WpGpio::Untouched || pinMode == 0) return 1;
    BYTE byOutputEnable = 0, byOutputValue = 0;
    if (OV_ReadFromASIC(kGpioEnable, &byOutputEnable) != 1) return 0;
    if (OV_ReadFromASIC(kGpioValue, &byOutputValue) != 1) return 0;
    if (OV_WriteToASIC(kGpioEnable, static_cast<BYTE>(byOutputEnable | m)) != 1) return 0;
    if (pinMode == 1)
        byOutputValue = static_cast<BYTE>(byOutputValue & ~m);
    else
        byOutputValue = static_cast<BYTE>(byOutputValue | m);
    return OV_WriteToASIC(kGpioValue, byOutputValue) == 1 ? 1 : 0;
}

using orvex_sf::kStatusBlockProtect;

// Write enable, then status register <- 0 (the SST parts want the status
// write enabled by 0x50 as well), waiting for the flash after each. On 1,
// *status is the not-busy status the last poll read: a flash whose status
// write was refused (WP# still asserted with its protect bit set) still
// shows its block-protect bits there.
BOOL clear_status_register(SERIAL_FLASH_TYPE sft, BYTE* status) {
    static const BYTE wren[] = {orvex_sf::kCmdWriteEnable};
    static const BYTE ewsr[] = {orvex_sf::kCmdEnableWriteStatus};
    static const BYTE wrsr[] = {orvex_sf::kCmdWriteStatus, 0x00};
    if (OV_WriteToASIC(sfModeAddr, 1) != 1) return 0;
    if (orvex_sf_send_frame(wren, 1) != 1) return 0;
    if (OV_SFCMDreadStatus() != 1) return 0;
    if (sft == SFT_SST && orvex_sf_send_frame(ewsr, 1) != 1) return 0;
    if (orvex_sf_send_frame(wrsr, 2) != 1) return 0;
    if (orvex_sf_wait_not_busy(status) != 1) return 0;
    return OV_WriteToASIC(sfModeAddr, 0) == 1 ? 1 : 0;
}

}  // namespace

extern "C" {

BOOL OV_DisableSerialFlashWriteProtect(SERIAL_FLASH_TYPE sft) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (sft == SFT_UNKNOW) return 0;
    BYTE romVersion[8] = {0};
    if (OV_GetAsicRomVersion(romVersion) != 1) return 0;
    BYTE chipID = 0;
    DSP_ARCH_TYPE dspArchType = DAT_UNKNOW;
    DSP_ROM_TYPE drt = OV_GetChipRomType(&chipID, &dspArchType);
    if (drt == DRT_Unknow) return 0;
    const unsigned row = uiRomID;
    const ROM_INFO& rom = RomInfo[row];
    const orvex::RomQuirk& quirk = orvex::rom_quirk(row);

    gpio_preset(drt);

    BYTE wpData = 0;
    LONG cfg = config_byte_addr(chipID);
    if (cfg == kNoConfigByte)
        wpData = 0xFF;
    else
        OV_ReadFormSF(cfg, &wpData, 1);

    BYTE byMemType = 0;
    if (rom.IsCompactMode) OV_GetMemType(&byMemType);

    BYTE wpGPIO = static_cast<BYTE>((wpData >> 4) & 7);
    bool isNewWPVer = !quirk.olderWpFormatOnly && (wpData & 0x0C) == 0x08;
    // Newer format: 2 drives low, 3 high; the other values keep the whole
    // byte, which is non-zero and not 1, so they drive high.
    if (isNewWPVer) {
        if ((wpData & 3) == 2)
            wpData = 1;
        else if ((wpData & 3) == 3)
            wpData = 2;
    } else {
        wpData &= 3;
    }

    if (rom.IsDisSFWriteCmd && set_flash_commands(isNewWPVer, sft) != 1) return 0;
    if (drive_wp_gpio(quirk.wpGpio, wpGPIO, wpData) != 1) return 0;
    if (rom.IsCompactMode && byMemType == 2) return 1;
    BYTE status = 0;
    if (clear_status_register(sft, &status) != 1) return 0;
    if (quirk.setGpio2AfterRelease) {
        set_bits_unchecked(kGpioValue, 0x04);
        set_bits_unchecked(kGpioEnable, 0x04);
    }
    // The release took only if the flash no longer protects any block.
    return (status & kStatusBlockProtect) == 0 ? 1 : 0;
}

}

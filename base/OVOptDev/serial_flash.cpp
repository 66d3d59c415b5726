// Serial-flash commands through the ASIC's SPI master, one register access
// at a time: the host takes the master (mode 1), frames each command with
// chip select (0 selects, 1 releases), sends a byte by loading the write-
// data register and triggering 1, receives one by clearing the read-data
// register and triggering 2, and waits for the master's ready bit after
// every byte.
#include <unistd.h>

#include "../OVOptDev.h"
#include "sf_protocol.h"
#include "node_lock.h"

namespace {

constexpr BYTE kCmdWriteEnable = 0x06;
constexpr BYTE kCmdReadStatus = 0x05;
constexpr int kReadyPolls = 50;
constexpr int kStatusPolls = 10000;
constexpr useconds_t kPollSleepUs = 1000;

// Erase opcodes that differ from the common ones, by flash type.
struct EraseCmd {
    SERIAL_FLASH_TYPE sft;
    BYTE cmd;
};
constexpr EraseCmd kSectorErase[] = {{SFT_ST, 0xD8}, {SFT_PMC, 0xD7}};
constexpr BYTE kSectorEraseDefault = 0x20;  // 4 KiB sector
constexpr EraseCmd kBlockErase[] = {{SFT_ST, 0xD8}, {SFT_GIGA, 0xD8}, {SFT_FENTECH, 0xD8}};
constexpr BYTE kBlockEraseDefault = 0x52;

template <size_t N> BYTE erase_cmd(const EraseCmd (&table)[N], SERIAL_FLASH_TYPE sft, BYTE dflt) {
    for (const EraseCmd& e : table)
        if (e.sft == sft) return e.cmd;
    return dflt;
}

// Chip-erase frames by flash type; the SST parts need their status
// register cleared (after enabling the status write) before the erase.
struct ChipEraseRow {
    SERIAL_FLASH_TYPE sft;
    int frames;
    BYTE bytes[4][2];
    int lengths[4];
};
constexpr ChipEraseRow kChipErase[] = {
    {SFT_ST, 2, {{0x06}, {0xC7}}, {1, 1}},
    {SFT_WINBOND, 2, {{0x06}, {0xC7}}, {1, 1}},
    {SFT_PMC, 2, {{0x06}, {0xC7}}, {1, 1}},
    {SFT_AMIC, 2, {{0x06}, {0xC7}}, {1, 1}},
    {SFT_SST, 4, {{0x50}, {0x01, 0x00}, {0x06}, {0x60}}, {1, 2, 1, 1}},
};
constexpr ChipEraseRow kChipEraseDefault = {SFT_UNKNOW, 2, {{0x06}, {0x60}}, {1, 1}};

BOOL select_flash() { return OV_WriteToASIC(sfCSAddr, 0); }
BOOL release_flash() { return OV_WriteToASIC(sfCSAddr, 1); }

// Sends one byte. With stop set, the first failing step ends it.
BOOL send_byte(BYTE b, bool stop = true) {
    BOOL ok = OV_WriteToASIC(sfWriteDataAddr, b);
    if (!ok && stop) return 0;
    BOOL t = OV_WriteToASIC(sfReadWriteTriggerAddr, 1);
    if (!t && stop) return 0;
    BOOL r = OV_SFWaitReady();
    return ok && t && r;
}

BOOL receive_byte(BYTE* b) {
    if (OV_WriteToASIC(sfReadDataAddr, 0) != 1) return 0;
    if (OV_WriteToASIC(sfReadWriteTriggerAddr, 2) != 1) return 0;
    if (OV_SFWaitReady() != 1) return 0;
    return OV_ReadFromASIC(sfReadDataAddr, b);
}

// One command frame whose results nobody looks at.
void frame_unchecked(const BYTE* bytes, int n) {
    select_flash();
    for (int i = 0; i < n; ++i) send_byte(bytes[i], false);
    release_flash();
}

void erase_at(LONG addr, BYTE cmd) {
    OV_WriteToASIC(sfModeAddr, 1);
    const BYTE wren = kCmdWriteEnable;
    frame_unchecked(&wren, 1);
    const BYTE frame[4] = {cmd, static_cast<BYTE>((addr >> 16) & 0xFF),
                           static_cast<BYTE>((addr >> 8) & 0xFF), static_cast<BYTE>(addr & 0xFF)};
    frame_unchecked(frame, 4);
    OV_SFWaitReady();
    OV_WriteToASIC(sfModeAddr, 0);
}

}  // namespace

BOOL orvex_sf_send_frame(const BYTE* bytes, int n) {
    if (select_flash() != 1) return 0;
    for (int i = 0; i < n; ++i)
        if (send_byte(bytes[i]) != 1) return 0;
    return release_flash() == 1 ? 1 : 0;
}

extern "C" {

BOOL OV_SFWaitReady(void) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    for (int i = 0; i < kReadyPolls; ++i) {
        if (OV_ReadBitFormAsic(sfRdyAddr, 0)) return 1;
        usleep(kPollSleepUs);
    }
    return 0;
}

// The flash stays selected between attempts: every attempt selects again
// and resends the status command, which a flash in a status read simply
// clocks past.
BOOL OV_SFCMDreadStatus(void) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    for (int i = 0; i < kStatusPolls; ++i) {
        if (select_flash() != 1) return 0;
        if (send_byte(kCmdReadStatus) != 1) return 0;
        BYTE status = 0;
        if (receive_byte(&status) != 1) return 0;
        if ((status & 0x01) == 0) return release_flash() == 1 ? 1 : 0;
        usleep(kPollSleepUs);
    }
    return 0;
}

// Sector and block erase start the erase and return: the caller waits.
BOOL OV_EraseSectorForSerialFlash(LONG addr, SERIAL_FLASH_TYPE sft) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (sft == SFT_UNKNOW) return 0;
    erase_at(addr, erase_cmd(kSectorErase, sft, kSectorEraseDefault));
    return 1;
}

BOOL OV_EraseBlockForSerialFlash(LONG addr, SERIAL_FLASH_TYPE sft) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (sft == SFT_UNKNOW) return 0;
    erase_at(addr, erase_cmd(kBlockErase, sft, kBlockEraseDefault));
    return 1;
}

// Chip erase waits for the flash before it returns, but reports nothing.
BOOL OV_SerialFlashErase(SERIAL_FLASH_TYPE sft) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    const ChipEraseRow* row = &kChipEraseDefault;
    for (const ChipEraseRow& r : kChipErase)
        if (r.sft == sft) row = &r;
    OV_WriteToASIC(sfModeAddr, 1);
    for (int f = 0; f < row->frames; ++f) frame_unchecked(row->bytes[f], row->lengths[f]);
    OV_SFCMDreadStatus();
    OV_WriteToASIC(sfModeAddr, 0);
    return 1;
}

}

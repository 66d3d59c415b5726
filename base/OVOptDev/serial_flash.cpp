// Serial-flash commands through the ASIC's SPI master; the byte protocol
// itself is internal/sf_bytes.h.
#include <unistd.h>

#include "../OVOptDev.h"
#include "../SFData/erase_commands.h"
#include "../internal/sf_bytes.h"
#include "sf_protocol.h"
#include "node_lock.h"

namespace {

using orvex_sf::kCmdReadStatus;
using orvex_sf::kCmdWriteEnable;
using orvex_sf::kStatusBusy;
constexpr int kReadyPolls = 50;
constexpr int kStatusPolls = 10000;
constexpr useconds_t kPollSleepUs = 1000;


BOOL select_flash() { return orvex_sf::select_flash() ? 1 : 0; }
BOOL release_flash() { return orvex_sf::release_flash() ? 1 : 0; }
BOOL send_byte(BYTE b) { return orvex_sf::send_byte(b) ? 1 : 0; }
BOOL receive_byte(BYTE* b) { return orvex_sf::receive_byte(b) ? 1 : 0; }

// An erase sequence: host mode, command frames, host mode off. The first
// failed step (a register write, or a ready or status poll that gives up)
// ends it. Nothing is triggered after a failed write: the master would
// send whatever its data register still held, and a stale byte in place of
// an address byte erases a sector nobody named. After a failure the master
// is handed back once, with its result ignored.
class EraseSequence {
public:
    EraseSequence() : ok_(OV_WriteToASIC(sfModeAddr, 1) == 1) {}
    void frame(const BYTE* bytes, int n) {
        if (ok_) ok_ = orvex_sf_send_frame(bytes, n) == 1;
    }
    void wait_ready() {
        if (ok_) ok_ = OV_SFWaitReady() == 1;
    }
    void wait_not_busy() {
        if (ok_) ok_ = OV_SFCMDreadStatus() == 1;
    }
    BOOL finish() {
        BOOL off = OV_WriteToASIC(sfModeAddr, 0);
        return ok_ && off == 1 ? 1 : 0;
    }

private:
    bool ok_;
};

BOOL erase_at(LONG addr, BYTE cmd) {
    EraseSequence seq;
    const BYTE wren = kCmdWriteEnable;
    seq.frame(&wren, 1);
    const BYTE frame[4] = {cmd, static_cast<BYTE>((addr >> 16) & 0xFF),
                           static_cast<BYTE>((addr >> 8) & 0xFF), static_cast<BYTE>(addr & 0xFF)};
    seq.frame(frame, 4);
    seq.wait_ready();
    return seq.finish();
}

}  // namespace

BOOL orvex_sf_send_frame(const BYTE* bytes, int n) {
    if (select_flash() != 1) return 0;
    for (int i = 0; i < n; ++i)
        if (send_byte(bytes[i]) != 1) return 0;
    return release_flash() == 1 ? 1 : 0;
}

// The flash stays selected between attempts: every attempt selects again
// and resends the status command, which a flash in a status read simply
// clocks past.
BOOL orvex_sf_wait_not_busy(BYTE* status) {
    for (int i = 0; i < kStatusPolls; ++i) {
        if (select_flash() != 1) return 0;
        if (send_byte(kCmdReadStatus) != 1) return 0;
        BYTE value = 0;
        if (receive_byte(&value) != 1) return 0;
        if ((value & kStatusBusy) == 0) {
            *status = value;
            return release_flash() == 1 ? 1 : 0;
        }
        usleep(kPollSleepUs);
    }
    return 0;
}

extern "C" {

BOOL OV_SFCMDreadStatus(void) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    BYTE status = 0;
    return orvex_sf_wait_not_busy(&status);
}

BOOL OV_SFWaitReady(void) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    for (int i = 0; i < kReadyPolls; ++i) {
        if (OV_ReadBitFormAsic(sfRdyAddr, 0)) return 1;
        usleep(kPollSleepUs);
    }
    return 0;
}

// Sector and block erase start the erase and return: the caller waits. 1
// means the command went out whole; the erase itself is not checked.
BOOL OV_EraseSectorForSerialFlash(LONG addr, SERIAL_FLASH_TYPE sft) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (sft == SFT_UNKNOW) return 0;
    return erase_at(addr, orvex::sector_erase_opcode(sft));
}

BOOL OV_EraseBlockForSerialFlash(LONG addr, SERIAL_FLASH_TYPE sft) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (sft == SFT_UNKNOW) return 0;
    return erase_at(addr, orvex::block_erase_opcode(sft));
}

// Chip erase waits for the flash before it returns: 1 only when the
// commands went out whole and the flash then reported itself not busy.
BOOL OV_SerialFlashErase(SERIAL_FLASH_TYPE sft) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    const orvex::ChipEraseFrames& row = orvex::chip_erase_frames(sft);
    EraseSequence seq;
    for (int f = 0; f < row.frames; ++f) seq.frame(row.bytes[f], row.lengths[f]);
    seq.wait_not_busy();
    return seq.finish();
}

}

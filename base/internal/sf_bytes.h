// The serial flash's byte protocol through the ASIC's SPI master, one
// register access at a time: the host takes the master (mode 1), frames each
// command with chip select (0 selects, 1 releases), sends a byte by loading
// the write-data register and triggering 1, receives one by clearing the
// read-data register and triggering 2, and waits for the master's ready
// bit after every byte. Shared by the library's erase and write-protect
// code and by orvexctl's flash identification, status reads and sector-wise
// burn. Not installed.
//
// Each step hands the result of its register access to `ok`, which says
// whether it succeeded; a caller may count the accesses there. The first
// step that fails ends a send or receive.
#ifndef ORVEX_INTERNAL_SF_BYTES_H
#define ORVEX_INTERNAL_SF_BYTES_H

#include "../OVOptDev.h"

namespace orvex_sf {

// Opcodes every supported part takes.
constexpr BYTE kCmdWriteStatus = 0x01;
constexpr BYTE kCmdReadStatus = 0x05;
constexpr BYTE kCmdWriteEnable = 0x06;
constexpr BYTE kCmdEnableWriteStatus = 0x50;  // SST parts, before a status write
constexpr BYTE kCmdReadJedecId = 0x9F;

// Status register bits.
constexpr BYTE kStatusBusy = 0x01;
constexpr BYTE kStatusBlockProtect = 0x1C;         // BP0-BP2
constexpr BYTE kStatusRegisterProtect = 0x80;      // SRWD: with WP# low, the register is locked
// Every bit that keeps a flash from being written: block protect (and BP3
// on larger parts) and the register's own write disable.
constexpr BYTE kStatusWriteLocks = 0x9C;

struct Succeeded {
    bool operator()(BOOL result) const { return result == 1; }
};

template <class Ok = Succeeded> bool host_mode(bool on, Ok ok = {}) {
    return ok(OV_WriteToASIC(sfModeAddr, on ? 1 : 0));
}
template <class Ok = Succeeded> bool select_flash(Ok ok = {}) { return ok(OV_WriteToASIC(sfCSAddr, 0)); }
template <class Ok = Succeeded> bool release_flash(Ok ok = {}) { return ok(OV_WriteToASIC(sfCSAddr, 1)); }

template <class Ok = Succeeded> bool send_byte(BYTE b, Ok ok = {}) {
    return ok(OV_WriteToASIC(sfWriteDataAddr, b)) && ok(OV_WriteToASIC(sfReadWriteTriggerAddr, 1)) &&
           ok(OV_SFWaitReady());
}

template <class Ok = Succeeded> bool receive_byte(BYTE* b, Ok ok = {}) {
    return ok(OV_WriteToASIC(sfReadDataAddr, 0)) && ok(OV_WriteToASIC(sfReadWriteTriggerAddr, 2)) &&
           ok(OV_SFWaitReady()) && ok(OV_ReadFromASIC(sfReadDataAddr, b));
}

// One command in host mode: select, send, receive, release, host mode off.
// Chip select and host mode are given back even after a failure, so that
// the firmware gets its master back whatever happened.
template <class Ok = Succeeded>
bool command(const BYTE* send, int n_send, BYTE* recv, int n_recv, Ok ok = {}) {
    if (!host_mode(true, ok)) return false;
    bool good = select_flash(ok);
    for (int i = 0; good && i < n_send; ++i) good = send_byte(send[i], ok);
    for (int i = 0; good && i < n_recv; ++i) good = receive_byte(&recv[i], ok);
    bool released = release_flash(ok);
    bool mode_off = host_mode(false, ok);
    return good && released && mode_off;
}

}  // namespace orvex_sf

#endif

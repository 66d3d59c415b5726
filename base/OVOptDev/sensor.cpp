// Image-sensor registers through the ASIC's I2C master. One transaction
// carries at most two address bytes and two data bytes through a five-byte
// data window; address and data go most significant byte first.
//
// i2cDev set-up: bit 0 speed (kept as found), bit 1 direction (1 = read),
// bits 4-6 byte count, bit 7 set. On read it reports bit 2 finished and
// bit 3 failed.
#include <unistd.h>

#include "../OVOptDev.h"
#include "node_lock.h"

namespace {

const BYTE kFinished = 0x04;
const BYTE kStatusMask = 0x0C;  // finished | failed
const USHORT kWindowSize = 5;

// Mode 1, optionally with SCL polling, and SCL select 1. The polling
// read-back is best effort: a failed read counts as 0.
bool prepare_master(BOOL pollSCL) {
    if (OV_WriteToASIC(i2cMode, 1) != 1) return false;
    if (pollSCL) {
        BYTE status = 0;
        OV_ReadFromASIC(i2cMode, &status);
        OV_WriteToASIC(i2cMode, static_cast<BYTE>(status | 0x03));
    }
    return OV_WriteToASIC(i2cSclSelOD, 1) == 1;
}

bool set_up(BYTE direction, int count, BYTE slaveID) {
    BYTE I2C_Speed = 0;
    if (OV_ReadFromASIC(i2cDev, &I2C_Speed) != 1) return false;
    BYTE setup = static_cast<BYTE>((I2C_Speed & 0x01) | 0x80 | direction | (count << 4));
    if (OV_WriteToASIC(i2cDev, setup) != 1) return false;
    return OV_WriteToASIC(i2cSlaveID, slaveID) == 1;
}

// Up to ten status reads, each followed by 1 ms, until the finished bit.
bool trigger_and_wait() {
    if (OV_WriteToASIC(i2cTrg, 0x10) != 1) return false;
    BYTE value = 0;
    for (int i = 0; i <= 9 && !(value & kFinished); ++i) {
        if (OV_ReadFromASIC(i2cDev, &value) != 1) return false;
        usleep(1000);
    }
    return (value & kStatusMask) == kFinished;
}

}  // namespace

extern "C" {

// The window receives one or two address bytes and one or two data bytes;
// the count field is the caller's address count plus data count, so a data
// count of 0 sends the address alone (the read's address phase). Counts
// above two are the caller's business: the block operations never pass
// them, as they refuse register addresses above 0xFFFF.
BOOL OV_CustomWriteToSensor(BYTE slaveID, USHORT addr, BYTE addrByteNum, USHORT data,
                            BYTE dataByteNum, BOOL pollSCL) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!prepare_master(pollSCL)) return 0;
    if (!set_up(0x00, addrByteNum + dataByteNum, slaveID)) return 0;
    BYTE window[kWindowSize] = {0, 0, 0, 0, 0};
    int n = 0;
    if (addrByteNum > 1) window[n++] = static_cast<BYTE>(addr >> 8);
    window[n++] = static_cast<BYTE>(addr & 0xFF);
    if (dataByteNum > 1) window[n++] = static_cast<BYTE>(data >> 8);
    window[n++] = static_cast<BYTE>(data & 0xFF);
    for (USHORT i = 0; i < kWindowSize; ++i)
        if (OV_WriteToASIC(static_cast<USHORT>(i2cDataArrStartAddr + i), window[i]) != 1) return 0;
    return trigger_and_wait() ? 1 : 0;
}

// The address goes out in a write transaction of its own; the data then
// arrives at the end of the window.
BOOL OV_CustomReadFromSensor(BYTE slaveID, USHORT addr, BYTE addrByteNum, USHORT* pData,
                             BYTE dataByteNum, BOOL pollSCL) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (dataByteNum == 0 || !pData) return 0;
    if (addrByteNum > 2) addrByteNum = 2;
    if (dataByteNum > 2) dataByteNum = 2;
    if (OV_CustomWriteToSensor(slaveID, addr, addrByteNum, 0, 0, pollSCL) != 1) return 0;
    if (!prepare_master(pollSCL)) return 0;
    if (!set_up(0x02, dataByteNum, slaveID)) return 0;
    for (USHORT i = 0; i < kWindowSize; ++i)
        if (OV_WriteToASIC(static_cast<USHORT>(i2cDataArrStartAddr + i), 0) != 1) return 0;
    if (!trigger_and_wait()) return 0;
    for (USHORT i = 0; i < kWindowSize; ++i) {
        BYTE v = 0;
        if (OV_ReadFromASIC(static_cast<USHORT>(i2cDataArrStartAddr + i), &v) != 1) return 0;
        if (dataByteNum == 2 && i == 3) *pData = static_cast<USHORT>(v << 8);
        if (dataByteNum == 2 && i == 4) *pData = static_cast<USHORT>(*pData | v);
        if (dataByteNum == 1 && i == 4) *pData = v;
    }
    return 1;
}

BYTE GetByteLengthFormAddr(LONG addr) {
    if (addr <= 0xFF) return 1;
    if (addr <= 0xFFFF) return 2;
    if (addr <= 0xFFFFFF) return 3;
    return 4;
}

}

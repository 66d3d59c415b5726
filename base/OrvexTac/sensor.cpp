// Runs of image-sensor registers, two bytes per transaction at ascending
// addresses; each pair travels high byte first. The number of address
// bytes is chosen per transaction, so a run crossing 0xFF -> 0x100 switches
// from one address byte to two.
#include "../OrvexTac.h"
#include "../OVOptDev/node_lock.h"

namespace {

// Sensor registers have 16-bit addresses, and each transaction names the
// register it starts at. A run is refused before any transaction when it
// starts below 0 or when one of its transactions would start above 0xFFFF;
// a last pair starting at 0xFFFF itself is an ordinary transaction. The
// last transaction starts at addr + (len - 1) rounded down to even.
bool run_fits(long addr, long len) {
    if (addr < 0 || addr > 0xFFFF || len > 0x10001) return false;
    return addr + ((len - 1) & ~1L) <= 0xFFFF;
}

}  // namespace

extern "C" {

// Every transaction runs with SCL polling off, whatever the caller passes.
BOOL OrvexTac_SensorRegisterCustomRead(unsigned char slaveId, long addr, unsigned char* pData,
                                       long len, BOOL pollSCL) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    (void)pollSCL;
    if (!camera_init) return 0;
    if (len <= 0) return 1;
    if (!pData || !run_fits(addr, len)) return 0;
    long loop = len / 2;
    long ram = len % 2;
    long startAddr = addr;
    USHORT temp = 0;
    long k = 0;
    for (long i = 0; i < loop; ++i) {
        BYTE n = GetByteLengthFormAddr(startAddr);
        if (OV_CustomReadFromSensor(slaveId, static_cast<USHORT>(startAddr), n, &temp, 2, 0) != 1)
            return 0;
        startAddr += 2;
        pData[k++] = static_cast<unsigned char>(temp >> 8);
        pData[k++] = static_cast<unsigned char>(temp & 0xFF);
    }
    if (ram) {
        BYTE n = GetByteLengthFormAddr(startAddr);
        if (OV_CustomReadFromSensor(slaveId, static_cast<USHORT>(startAddr), n, &temp, 1, 0) != 1)
            return 0;
        pData[k] = static_cast<unsigned char>(temp & 0xFF);
    }
    return 1;
}

BOOL OrvexTac_SensorRegisterCustomWrite(unsigned char slaveId, long addr, unsigned char* pData,
                                        long len, BOOL pollSCL) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!camera_init) return 0;
    if (len <= 0) return 1;
    if (!pData || !run_fits(addr, len)) return 0;
    long loop = len / 2;
    long ram = len % 2;
    long startAddr = addr;
    for (long k = 0; k < loop; ++k) {
        USHORT temp = static_cast<USHORT>((pData[2 * k] << 8) | pData[2 * k + 1]);
        BYTE n = GetByteLengthFormAddr(startAddr);
        if (OV_CustomWriteToSensor(slaveId, static_cast<USHORT>(startAddr), n, temp, 2, pollSCL) != 1)
            return 0;
        startAddr += 2;
    }
    if (ram) {
        BYTE n = GetByteLengthFormAddr(startAddr);
        if (OV_CustomWriteToSensor(slaveId, static_cast<USHORT>(startAddr), n, pData[2 * loop], 1,
                                   pollSCL) != 1)
            return 0;
    }
    return 1;
}

}

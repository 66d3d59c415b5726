// Raw frames on the ASIC's SPI master: each byte is written to the data
// register and clocked out (or in) by the trigger, then the ready poll.
#include "spi_master.h"

namespace orvexctl {

namespace {
bool sf_send(BYTE b) {
    return OV_WriteToASIC(sfWriteDataAddr, b) == 1 && OV_WriteToASIC(sfReadWriteTriggerAddr, 1) == 1 &&
           OV_SFWaitReady() == 1;
}
bool sf_receive(BYTE* b) {
    return OV_WriteToASIC(sfReadDataAddr, 0) == 1 && OV_WriteToASIC(sfReadWriteTriggerAddr, 2) == 1 &&
           OV_SFWaitReady() == 1 && OV_ReadFromASIC(sfReadDataAddr, b) == 1;
}
}  // namespace

bool spi_command(const BYTE* send, int n_send, BYTE* recv, int n_recv) {
    if (OV_WriteToASIC(sfModeAddr, 1) != 1) return false;
    bool ok = OV_WriteToASIC(sfCSAddr, 0) == 1;
    for (int i = 0; ok && i < n_send; ++i) ok = sf_send(send[i]);
    for (int i = 0; ok && i < n_recv; ++i) ok = sf_receive(&recv[i]);
    bool released = OV_WriteToASIC(sfCSAddr, 1) == 1;
    bool mode_off = OV_WriteToASIC(sfModeAddr, 0) == 1;
    return ok && released && mode_off;
}

bool read_flash_status(BYTE* status) {
    const BYTE rdsr = 0x05;
    return spi_command(&rdsr, 1, status, 1);
}

}  // namespace orvexctl

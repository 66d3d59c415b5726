// Internal: the register maps of the two controller architectures, written
// once. The exported g_AsicArchInfo/g_DspArchInfo and the registers in
// force before a chip is identified are all built from these.
#ifndef ORVEX_ARCH_MAPS_H
#define ORVEX_ARCH_MAPS_H

#include "../ROMData.h"

namespace orvex {

// Registers between 0x1005 and 0x10D9.
constexpr DSP_ARCH_INFO first_arch_map() {
    DSP_ARCH_INFO m{};
    m.asicIdAddr = 0x101F;
    m.sfRdyAddr = 0x1084;
    m.usbResetAddr = 0x1073;
    m.gpioInputAddr = 0x1005;
    m.gpioOutputAddr = 0x1006;
    m.gpioOEAddr = 0x1007;
    // SPI master: mode, chip select, write data, read data, trigger.
    m.sfModeAddr = 0x1080;
    m.sfCSAddr = 0x1091;
    m.sfWriteDataAddr = 0x1082;
    m.sfReadDataAddr = 0x1083;
    m.sfReadWriteTriggerAddr = 0x1081;
    // I2C master: control/status, mode, trigger, SCL select, slave id, data window.
    m.i2cDev = 0x10D0;
    m.i2cMode = 0x10D9;
    m.i2cTrg = 0x10D7;
    m.i2cSclSelOD = 0x10D8;
    m.i2cSlaveID = 0x10D1;
    m.i2cDataArrStartAddr = 0x10D2;
    return m;
}

// Registers between 0x80F0 and 0x8E11.
constexpr DSP_ARCH_INFO second_arch_map() {
    DSP_ARCH_INFO m{};
    m.asicIdAddr = 0x80F0;
    m.sfRdyAddr = 0x8E04;
    m.usbResetAddr = 0x8C00;
    m.gpioInputAddr = 0x8200;
    m.gpioOutputAddr = 0x8201;
    m.gpioOEAddr = 0x8202;
    m.sfModeAddr = 0x8E00;
    m.sfCSAddr = 0x8E11;
    m.sfWriteDataAddr = 0x8E02;
    m.sfReadDataAddr = 0x8E03;
    m.sfReadWriteTriggerAddr = 0x8E01;
    m.i2cDev = 0x8600;
    m.i2cMode = 0x8609;
    m.i2cTrg = 0x8607;
    m.i2cSclSelOD = 0x8608;
    m.i2cSlaveID = 0x8601;
    m.i2cDataArrStartAddr = 0x8602;
    return m;
}

// The map as hosts that do not drive the I2C master know it.
constexpr DSP_ARCH_INFO without_i2c(DSP_ARCH_INFO m) {
    m.i2cDev = 0;
    m.i2cMode = 0;
    m.i2cTrg = 0;
    m.i2cSclSelOD = 0;
    m.i2cSlaveID = 0;
    m.i2cDataArrStartAddr = 0;
    return m;
}

constexpr DSP_ARCH_INFO kFirstArchMap = first_arch_map();

}  // namespace orvex

#endif

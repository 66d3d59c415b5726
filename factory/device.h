// Internal: the camera's controller as the front ends describe it: its
// extension unit, chip, ROM and firmware version fields.
#ifndef ORVEX_FACTORY_DEVICE_H
#define ORVEX_FACTORY_DEVICE_H

#include "OrvexTac.h"
#include "session.h"

namespace orvex_factory {

struct Chip {
    int unit = 0;
    BYTE chip_id = 0;
    DSP_ARCH_TYPE arch = DAT_UNKNOW;
    DSP_ROM_TYPE rom_class = DRT_Unknow;
    bool rom_known = false;
    BYTE rom_version[8] = {};
    unsigned rom_row = 0;
};
// Finds the extension unit and classifies the chip (register reads only);
// with rom, also matches the mask-ROM revision. Throws NOT_OURS.
Chip identify_chip(Session& s, bool rom);
json chip_json(const Chip& c);
const char* arch_name(DSP_ARCH_TYPE a);
const char* rom_class_name(DSP_ROM_TYPE r);
std::string rom_version_text(const BYTE v[8]);
const char* rom_row_name(unsigned row);

struct FwVersion {
    bool ok = false;
    std::string code, customer_version, customer, date;
};
FwVersion firmware_version();
json fw_json(const FwVersion& v);

}  // namespace orvex_factory

#endif

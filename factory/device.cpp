// Identification of the camera's controller and its firmware version.
#include "device.h"

#include <cstdio>
#include <cstring>

#include "ROMData/rom_names.h"
#include "archive.h"
#include "text.h"

namespace orvex_factory {

const char* arch_name(DSP_ARCH_TYPE a) {
    switch (a) {
    case DAT_FIRST: return "first";
    case DAT_SECOND: return "second";
    default: return "unknown";
    }
}

const char* rom_class_name(DSP_ROM_TYPE r) {
    static const char* names[] = {"unknown", "32K", "64K", "128K", "256K"};
    return (r >= 0 && r <= DRT_256K) ? names[r] : "unknown";
}

const char* rom_row_name(unsigned row) { return orvex::rom_row_name(row); }

// Bytes 0-4 are text ("215R0"); byte 5 is the revision number and bytes
// 6-7 two further raw bytes.
std::string rom_version_text(const BYTE v[8]) {
    std::string s;
    for (int i = 0; i < 5; ++i) s += (v[i] >= 0x20 && v[i] < 0x7F) ? static_cast<char>(v[i]) : '?';
    char buf[16];
    std::snprintf(buf, sizeof buf, " %02X %02X %02X", v[5], v[6], v[7]);
    return s + buf;
}

Chip identify_chip(Session& s, bool rom) {
    Chip c;
    BYTE unit = OV_GetUVCExtendUnitID();
    if (unit == 0)
        throw Failure(NOT_OURS, node_name(s) + ": no Orvex extension unit answers (tried units 3 and 4)");
    c.unit = unit;
    BYTE chip = 0;
    DSP_ARCH_TYPE arch = DAT_UNKNOW;
    DSP_ROM_TYPE cls = OV_GetChipRomType(&chip, &arch);
    if (cls == DRT_Unknow) throw Failure(NOT_OURS, "chip identification failed");
    c.chip_id = chip;
    c.arch = arch;
    archive_saw(s, "chip", hex(chip, 2));
    c.rom_class = cls;
    if (rom) {
        BYTE v[8] = {};
        if (OV_GetAsicRomVersion(v) == 1) {
            c.rom_known = true;
            std::memcpy(c.rom_version, v, 8);
            c.rom_row = uiRomID;
        }
        // ROM matching may change nothing about the map, but identify again
        // so that the register map in force is the chip's own.
        OV_GetChipRomType(&chip, &arch);
    }
    return c;
}

json chip_json(const Chip& c) {
    json j = {{"extension_unit", c.unit}, {"chip_id", hex(c.chip_id, 2)},
              {"architecture", arch_name(c.arch)}, {"rom_class", rom_class_name(c.rom_class)}};
    if (c.rom_known) {
        j["rom_version"] = rom_version_text(c.rom_version);
        j["rom_row"] = rom_row_name(c.rom_row);
    } else {
        j["rom_version"] = nullptr;
        j["rom_row"] = nullptr;
    }
    return j;
}

namespace {
// A field as text: printable ASCII kept, trailing NUL, blank and erased
// (0xFF) bytes dropped, anything else escaped.
std::string field_text(const unsigned char* p, size_t n) {
    while (n > 0 && (p[n - 1] == 0 || p[n - 1] == 0xFF || p[n - 1] == ' ')) --n;
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] >= 0x20 && p[i] < 0x7F) {
            s += static_cast<char>(p[i]);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", p[i]);
            s += buf;
        }
    }
    return s;
}
}  // namespace

FwVersion firmware_version() {
    FwVersion v;
    unsigned char rec[56] = {};
    if (OrvexTac_GetFWVersion(rec, sizeof rec) != 1) return v;
    v.ok = true;
    v.code = field_text(rec, 5);
    v.customer_version = field_text(rec + 5, 10);
    v.customer = field_text(rec + 15, 10);
    v.date = field_text(rec + 25, 10);
    return v;
}

json fw_json(const FwVersion& v) {
    if (!v.ok) return nullptr;
    return {{"code", v.code}, {"customer_version", v.customer_version}, {"customer", v.customer},
            {"date", v.date}};
}

}  // namespace orvex_factory

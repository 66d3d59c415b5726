// The camera for the raw commands (xu, reg, sensor), which talk to the
// device-access library directly: the connection, held for the command,
// and the extension unit the registers answer on.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "orvexctl.h"

namespace orvexctl {

// ------------------------------------------------------------ connection

Session::Session(int index) {
    hold_camera(index);
    QuietStderr quiet;
    errno = 0;
    if (OrvexTac_Init(index) != 1) {
        int e = errno;
        throw Failure(EXIT_NO_DEVICE,
                      "cannot open /dev/video" + std::to_string(index) + (e ? std::string(": ") + std::strerror(e) : ""),
                      true);
    }
    open_ = true;
    errno = 0;  // a later failure's errno is then the failed query's own
}

Session::~Session() { close(); }

void Session::close() {
    if (!open_) return;
    QuietStderr quiet;
    OrvexTac_UnInit();
    open_ = false;
}

// ------------------------------------------------------------ identification

Identity identify(bool rom) {
    Identity id;
    BYTE unit = OV_GetUVCExtendUnitID();
    if (unit == 0)
        throw Failure(EXIT_NOT_OURS, "/dev/video" + std::to_string(g_opt.device) +
                                         ": no Orvex extension unit answers (tried units 3 and 4)",
                      true);
    id.unit = unit;
    BYTE chip = 0;
    DSP_ARCH_TYPE arch = DAT_UNKNOW;
    DSP_ROM_TYPE cls = OV_GetChipRomType(&chip, &arch);
    if (cls == DRT_Unknow) throw Failure(EXIT_NOT_OURS, "chip identification failed", true);
    id.chip_id = chip;
    id.arch = arch;
    id.rom_class = cls;
    if (rom) {
        BYTE v[8] = {};
        if (OV_GetAsicRomVersion(v) == 1) {
            id.rom_known = true;
            std::memcpy(id.rom_version, v, 8);
            id.rom_row = uiRomID;
        }
        // ROM matching may change nothing about the map, but identify again
        // so that the register map in force is the chip's own.
        OV_GetChipRomType(&chip, &arch);
    }
    return id;
}

}  // namespace orvexctl

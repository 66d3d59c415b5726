#include "orvex_test.h"

#include <cstdio>

#include "ROMData/arch_maps.h"

namespace orvex_test {

void reset_library_globals() {
    if (camera_init) OrvexTac_UnInit();
    camera_init = 0;
    fd = 0;
    g_curExtendUnitID = 3;
    // The map in force before a chip is identified, from the library's own
    // table: this puts globals back, it does not check them.
    const DSP_ARCH_INFO& m = orvex::kFirstArchMap;
    dspIdAddr = m.asicIdAddr;
    sfRdyAddr = m.sfRdyAddr;
    usbResetAddr = m.usbResetAddr;
    gpioInputAddr = m.gpioInputAddr;
    gpioOutputAddr = m.gpioOutputAddr;
    gpioOEAddr = m.gpioOEAddr;
    sfModeAddr = m.sfModeAddr;
    sfCSAddr = m.sfCSAddr;
    sfWriteDataAddr = m.sfWriteDataAddr;
    sfReadDataAddr = m.sfReadDataAddr;
    sfReadWriteTriggerAddr = m.sfReadWriteTriggerAddr;
    i2cDev = m.i2cDev;
    i2cMode = m.i2cMode;
    i2cTrg = m.i2cTrg;
    i2cSclSelOD = m.i2cSclSelOD;
    i2cSlaveID = m.i2cSlaveID;
    i2cDataArrStartAddr = m.i2cDataArrStartAddr;
    uiRomID = 0;
    g_CurDspExtendUnitID = 0x0300;
    ubSFLib_CmdID = 0;
    sfManufactureID = sfDeviceID1 = sfDeviceID2 = 0;
}

void CameraTest::SetUp() {
    reset_library_globals();
    vcam::reset();
    vcam::attach(0);
}

void CameraTest::TearDown() { reset_library_globals(); }

vcam::Camera& CameraTest::open_camera(const vcam::Profile& p) {
    vcam::Camera& c = vcam::attach(0, p);
    EXPECT_EQ(OrvexTac_Init(0), 1);
    vcam::trace().clear();
    return c;
}

std::string run_shell(const std::string& cmd, int* status) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        *status = -1;
        return out;
    }
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    *status = pclose(p);
    return out;
}

std::string without_emulator_noise(const std::string& out) {
    if (!*ORVEX_RUN_PREFIX) return out;
    static const std::string head = "ERROR: ld.so: object '";
    static const std::string tail = "' from LD_PRELOAD cannot be preloaded";
    std::string kept;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        end = end == std::string::npos ? out.size() : end + 1;
        std::string line = out.substr(at, end - at);
        size_t lib = line.find(head);
        bool noise = lib != std::string::npos &&
                     line.find("libvcam.so" + tail, lib) != std::string::npos;
        // The loader's line may have landed after unfinished program output.
        if (noise) line.erase(lib);
        kept += line;
        at = end;
    }
    return kept;
}

}  // namespace orvex_test

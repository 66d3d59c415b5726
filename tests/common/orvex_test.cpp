#include "orvex_test.h"

#include <cstdio>

namespace orvex_test {

void reset_library_globals() {
    if (camera_init) OrvexTac_UnInit();
    camera_init = 0;
    fd = 0;
    g_curExtendUnitID = 3;
    const USHORT first[17] = {0x101F, 0x1084, 0x1073, 0x1005, 0x1006, 0x1007,
                              0x1080, 0x1091, 0x1082, 0x1083, 0x1081, 0x10D0,
                              0x10D9, 0x10D7, 0x10D8, 0x10D1, 0x10D2};
    USHORT* globals[17] = {&dspIdAddr, &sfRdyAddr, &usbResetAddr, &gpioInputAddr,
                           &gpioOutputAddr, &gpioOEAddr, &sfModeAddr, &sfCSAddr,
                           &sfWriteDataAddr, &sfReadDataAddr, &sfReadWriteTriggerAddr,
                           &i2cDev, &i2cMode, &i2cTrg, &i2cSclSelOD, &i2cSlaveID,
                           &i2cDataArrStartAddr};
    for (int i = 0; i < 17; ++i) *globals[i] = first[i];
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

#include "fuzz_camera.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "OrvexTac.h"

namespace fuzz {

std::vector<uint8_t> Input::take(size_t n) {
    size_t k = n < left() ? n : left();
    std::vector<uint8_t> out(data_ + at_, data_ + at_ + k);
    at_ += k;
    return out;
}

void reset_library() {
    if (camera_init) OrvexTac_UnInit();
    camera_init = 0;
    fd = 0;
    g_curExtendUnitID = 3;
    OV_SetAsicArchInfo(DAT_FIRST);
    uiRomID = 0;
    g_CurDspExtendUnitID = 0x0300;
    ubSFLib_CmdID = 0;
    sfManufactureID = sfDeviceID1 = sfDeviceID2 = 0;
}

vcam::Camera& fresh_camera(const vcam::Profile& p) {
    reset_library();
    vcam::reset();
    return vcam::attach(0, p);
}

void silence_stdout() {
    static bool done = false;
    if (done) return;
    done = true;
    fflush(stdout);
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, 1);
        close(null);
    }
}

}  // namespace fuzz

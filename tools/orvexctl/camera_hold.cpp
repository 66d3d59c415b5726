// The tool holds the camera's lock from its first access to the end of the
// command, so that a backup, a burn and the restore after it, or a
// calibration import's reads and writes, are never interleaved with another
// process's queries. The library takes the same lock for each operation
// and goes ahead while its own process holds the camera. Another holder is
// waited for up to --wait seconds of real time, then named.
#include <string>

#include "OrvexTac.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {
bool g_held = false;
}  // namespace

void hold_camera(int index) {
    if (g_held) return;
    char holder[256] = "";
    std::string node = "/dev/video" + std::to_string(index);
    bool got = OrvexTac_HoldCamera(index, 0, holder, sizeof holder) != 0;
    if (!got && g_opt.wait_s > 0) {
        note(node + " is in use (" + (*holder ? holder : "unknown") + "); waiting up to " +
             std::to_string(g_opt.wait_s) + " s");
        got = OrvexTac_HoldCamera(index, static_cast<LONG>(g_opt.wait_s) * 1000, holder, sizeof holder) != 0;
    }
    if (!got)
        throw Failure(EXIT_NO_DEVICE, node + " is in use by another process (pid " +
                                          (*holder ? std::string(holder) : std::string("unknown")) + "); waited " +
                                          std::to_string(g_opt.wait_s) + " s (--wait SECONDS waits longer)");
    g_held = true;
}

void release_camera() {
    if (!g_held) return;
    OrvexTac_ReleaseCamera();
    g_held = false;
}

}  // namespace orvexctl

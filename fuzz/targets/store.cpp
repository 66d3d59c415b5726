// The calibration store and the read-back routine over a flash whose
// records and identification blocks come from the input, optionally with
// seeded query failures. The caller's buffers are exactly as large as the
// interface asks, so any overrun shows under AddressSanitizer.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "OrvexConfig.h"
#include "OrvexTac.h"
#include "fuzz_camera.h"

namespace {

// Flash windows the store reads, in the order the input fills them; a short
// input leaves the later ones as the factory wrote them.
struct Window {
    uint32_t addr;
    size_t len;
};
const Window kWindows[] = {
    {0x30000, 44},    // marker record
    {0x32000, 128},   // sensor type
    {0x34000, 40},    // rectification header
    {0x190C0, 24},    // identification block, first location
    {0x3FA00, 24},    // identification block, second location
    {0x31000, 1020},  // extra parameters
    {0x34028, 3600},  // base grid
};

using main_fn = int (*)(int, char**);

main_fn library_main() {
    static main_fn fn = [] {
        Dl_info info;
        if (!dladdr(reinterpret_cast<void*>(&ReadMarkerConfig), &info)) return main_fn{};
        void* lib = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
        if (!lib) return main_fn{};
        auto f = reinterpret_cast<main_fn>(dlsym(lib, "main"));
        dlclose(lib);
        return f;
    }();
    return fn;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_stdout();
    fuzz::Input in(data, size);
    uint8_t control = in.u8();
    uint8_t extra_count = in.u8();
    uint64_t seed = in.u32();
    vcam::Profile p = vcam::default_profile();
    for (const Window& w : kWindows) {
        std::vector<uint8_t> b = in.take(w.len);
        std::copy(b.begin(), b.end(), p.flash.begin() + w.addr);
    }
    vcam::Camera& cam = fuzz::fresh_camera(p);
    if (control & 0x01) {
        cam.faults().seed = seed;
        cam.faults().random_fail_per_million = 20000;
    }
    debug_enable = (control & 0x02) ? 1 : 0;

    MarkerConfig* marker = static_cast<MarkerConfig*>(std::malloc(sizeof(MarkerConfig)));
    ReadMarkerConfig(0, marker);
    std::free(marker);

    char* type = static_cast<char*>(std::malloc(129));  // the documented minimum
    GetSensorType(0, type);
    std::free(type);

    RectifyConfig rc;
    std::memset(&rc, 0, sizeof rc);
    if (control & 0x04) initializeBaseGrid(&rc, 1 + (control >> 5), 2);
    ReadRectifyConfig(0, &rc);
    std::free(rc.base_grid);

    float* params = static_cast<float*>(std::malloc(sizeof(float) * (extra_count ? extra_count : 1)));
    ReadExtraParams(0, params, extra_count);
    std::free(params);

    if ((control & 0x08) && library_main()) {
        char arg0[] = "orvex-readback";
        char* argv[] = {arg0, nullptr};
        library_main()(1, argv);
    }
    debug_enable = 0;
    fuzz::reset_library();
    return 0;
}

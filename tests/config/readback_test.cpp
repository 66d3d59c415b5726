// The read-back routine exported as main, called in process through the
// library's own symbol, and the orvex-readback program run through the
// launcher.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <functional>

#include "store_test.h"

using namespace store_test;

namespace {

using main_fn = int (*)(int, char**);

const char kFactoryOutput[] =
    "1. Read MarkerConfig...\n4. Get SensorType...\n5. Read RectifyConfig...\n"
    "Float[0]= 1.250000, Float[1]= -0.500000, Float[2]= 3.000000\n";

class Readback : public StoreTest {
protected:
    // The library's main, not the test program's.
    main_fn library_main() {
        Dl_info info;
        if (!dladdr(reinterpret_cast<void*>(&ReadMarkerConfig), &info)) return nullptr;
        void* lib = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
        if (!lib) return nullptr;
        auto fn = reinterpret_cast<main_fn>(dlsym(lib, "main"));
        dlclose(lib);
        return fn;
    }
    orvex_test::Output run_main() {
        main_fn fn = library_main();
        EXPECT_NE(fn, nullptr);
        char arg0[] = "orvex-readback";
        char* argv[] = {arg0, nullptr};
        int rc = -1;
        auto out = orvex_test::capture([&] { rc = fn ? fn(1, argv) : -1; });
        EXPECT_EQ(rc, 0);
        return out;
    }
};

const char kSteps[] = "1. Read MarkerConfig...\n4. Get SensorType...\n5. Read RectifyConfig...\n";

TEST_F(Readback, OutputByCamera) {
    const std::string zeros = std::string(kSteps) +
                              "Float[0]= 0.000000, Float[1]= 0.000000, Float[2]= 0.000000\n";
    const std::string nans =
        std::string(kSteps) + "Float[0]= -nan, Float[1]= -nan, Float[2]= -nan\n";
    const std::string open_failed = "Open video device failed\n";
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> prepare;  // null: no camera
        std::string out, err;
    } cases[] = {
        {"factory calibration", [](std::vector<uint8_t>&) {}, kFactoryOutput, ""},
        // OrvexTac_Init reports each of the four failed opens itself.
        {"no camera", nullptr, zeros, open_failed + open_failed + open_failed + open_failed},
        {"not identified", [](std::vector<uint8_t>& f) { vcam::clear_identification(f); }, zeros,
         ""},
        {"extra parameters never written",
         [](std::vector<uint8_t>& f) { erase(f, kExtra, kSector); }, nans, ""},
        {"identified, everything else erased",
         [](std::vector<uint8_t>& f) {
             f.assign(vcam::kFlashSize, 0xFF);
             vcam::write_identification(f, 2, "OF", "000042");
         },
         nans, ""},
        // base_grid stays null and its release is harmless.
        {"rectification record over its limit",
         [](std::vector<uint8_t>& f) { put32(f, kRectify + 0x20, 26); }, kFactoryOutput, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vcam::attach(0);
        if (c.prepare)
            c.prepare(flash());
        else
            vcam::detach(0);
        debug_enable = 1;  // switched off for the whole run
        vcam::trace().clear();
        auto out = run_main();
        EXPECT_EQ(out.out, c.out);
        EXPECT_EQ(out.err, c.err);
        EXPECT_EQ(debug_enable, 0);
        EXPECT_TRUE(writes().empty());
    }
}

// The program is the library's main: run it as a host would, under the
// launcher, on the default virtual camera.
TEST_F(Readback, ProgramUnderTheLauncher) {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = 0;
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    // Sanitizer builds: the preloaded virtual camera comes before the
    // sanitizer runtime in the program's library list.
    std::string cmd = "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\" '" +
                      dir + "/orvex-vcam' -- '" + dir + "/orvex-readback' 2>&1";
    for (const char* extra : {"", " --no-id"}) {
        SCOPED_TRACE(extra);
        std::string c = cmd;
        if (*extra) c.insert(c.find("' --") + 1, extra);
        FILE* p = popen(c.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buf[256];
        size_t got;
        while ((got = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, got);
        EXPECT_EQ(pclose(p), 0);
        EXPECT_EQ(out, *extra ? "1. Read MarkerConfig...\n4. Get SensorType...\n"
                                "5. Read RectifyConfig...\n"
                                "Float[0]= 0.000000, Float[1]= 0.000000, Float[2]= 0.000000\n"
                              : kFactoryOutput);
    }
}

}  // namespace

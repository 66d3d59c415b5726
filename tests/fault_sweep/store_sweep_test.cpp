// The calibration store under one failed, stalled or unplugged query at
// every point. A read either hands back exactly the stored record or leaves
// the caller's record exactly as it was; a save changes no sector but its
// record's; every operation leaves the camera closed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

#include "OrvexConfig.h"
#include "orvex_test.h"
#include "sweep.h"

namespace {

using sweep::Ctx;
using sweep::Operation;
using Bytes = std::vector<uint8_t>;

const uint8_t kUntouched = 0xA5;

// The store prints its debug lines unless told not to; the sweep runs
// thousands of operations.
void quiet_report(const Operation& op) {
    DisableDebug();
    sweep::report(op);
}

template <class T> Bytes raw(const T& v) { return sweep::bytes(reinterpret_cast<const uint8_t*>(&v), sizeof v); }

// A store operation leaves no camera open.
void expect_closed(Ctx& r) {
    r.check.expect(camera_init == 0, "the store left the camera open");
    r.check.expect(vcam::open_descriptor_count() == 0, "the store left a descriptor open");
}

// The caller's record after a read: what the healthy run read, or
// untouched. Anything else is invented data.
std::string judge_read(Ctx& r, const Bytes& after, const Bytes& untouched) {
    expect_closed(r);
    r.check.expect(r.cam.flash() == r.flash_before, "a read changed the flash");
    if (r.clean) {
        r.check.expect(after != untouched, "healthy run reads the record");
        r.memo["record"] = after;
        return "record read";
    }
    if (after == r.memo["record"]) return "record read";
    r.check.expect(after == untouched, "the caller's record was changed but not to the stored one");
    return after == untouched ? "record untouched" : "record invented";
}

TEST(FaultSweep, StoreReads) {
    Operation marker;
    marker.name = "ReadMarkerConfig";
    marker.open_first = false;
    marker.run = [](Ctx& r) {
        MarkerConfig m;
        std::memset(&m, kUntouched, sizeof m);
        Bytes untouched = raw(m);
        ReadMarkerConfig(0, &m);
        return judge_read(r, raw(m), untouched);
    };
    quiet_report(marker);

    Operation extra;
    extra.name = "ReadExtraParams";
    extra.open_first = false;
    extra.run = [](Ctx& r) {
        float p[4];
        std::memset(p, kUntouched, sizeof p);
        Bytes untouched = raw(p);
        ReadExtraParams(0, p, 3);
        Bytes after = raw(p);
        r.check.expect(std::equal(after.begin() + 12, after.end(), untouched.begin() + 12),
                       "a read of three values wrote a fourth");
        return judge_read(r, after, untouched);
    };
    quiet_report(extra);

    Operation sensor;
    sensor.name = "GetSensorType";
    sensor.open_first = false;
    sensor.run = [](Ctx& r) {
        char type[1024];
        std::memset(type, kUntouched, sizeof type);
        Bytes untouched = raw(type);
        GetSensorType(0, type);
        return judge_read(r, raw(type), untouched);
    };
    quiet_report(sensor);

    // The caller hands in a grid of its own; a failed read must leave even
    // the pointer as it was (and the grid alive).
    Operation rectify;
    rectify.name = "ReadRectifyConfig";
    rectify.open_first = false;
    rectify.run = [](Ctx& r) {
        RectifyConfig c;
        std::memset(&c, kUntouched, sizeof c);
        int* mine = static_cast<int*>(std::malloc(8 * sizeof(int)));
        for (int i = 0; i < 8; ++i) mine[i] = 1000 + i;
        c.base_grid = mine;
        Bytes untouched = raw(c);
        ReadRectifyConfig(0, &c);
        Bytes after = raw(c);
        // The record as compared: the header, then the grid's contents.
        Bytes record(after.begin(), after.begin() + offsetof(RectifyConfig, base_grid));
        if (after == untouched) {
            bool grid_kept = true;
            for (int i = 0; i < 8; ++i) grid_kept &= mine[i] == 1000 + i;
            r.check.expect(grid_kept, "the caller's grid was written");
            std::free(mine);
            expect_closed(r);
            r.check.expect(!r.clean, "healthy run reads the record");
            return std::string("record untouched");
        }
        // A new grid replaced the caller's (which the read released).
        int64_t pairs = int64_t{c.rows} * c.cols;
        r.check.expect(c.base_grid != nullptr && pairs > 0 && pairs <= 450, "a read record has its grid");
        if (c.base_grid && pairs > 0 && pairs <= 450) {
            Bytes grid = sweep::bytes(reinterpret_cast<const uint8_t*>(c.base_grid),
                                      static_cast<size_t>(pairs) * 8);
            record.insert(record.end(), grid.begin(), grid.end());
        }
        std::free(c.base_grid);
        // Compared as a whole record, not field by field, so a mix of old
        // and new header values shows.
        return judge_read(r, record, {});
    };
    quiet_report(rectify);
}

// The read-back routine reads every record; whatever fails, it prints the
// factory values or the zeros its own buffers start with, and returns 0.
TEST(FaultSweep, ReadbackMain) {
    Dl_info info;
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&ReadMarkerConfig), &info), 0);
    void* lib = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(lib, nullptr);
    using main_fn = int (*)(int, char**);
    static main_fn library_main = reinterpret_cast<main_fn>(dlsym(lib, "main"));
    dlclose(lib);
    ASSERT_NE(library_main, nullptr);

    Operation op;
    op.name = "read-back main";
    op.open_first = false;
    op.run = [](Ctx& r) {
        char arg0[] = "orvex-readback";
        char* argv[] = {arg0, nullptr};
        char* text = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&text, &size);
        // The routine prints with printf; catch its standard output in memory.
        fflush(stdout);
        FILE* saved = stdout;
        stdout = out;
        int rc = library_main(1, argv);
        fflush(stdout);
        stdout = saved;
        fclose(out);
        std::string printed(text, size);
        std::free(text);
        r.check.expect(rc == 0, "main returns 0");
        expect_closed(r);
        size_t at = printed.find("Float[0]=");
        r.check.expect(at != std::string::npos, "main prints the extra parameters");
        std::string floats = at == std::string::npos ? "" : printed.substr(at);
        if (floats == "Float[0]= 1.250000, Float[1]= -0.500000, Float[2]= 3.000000\n")
            return std::string("factory values");
        r.check.expect(floats == "Float[0]= 0.000000, Float[1]= 0.000000, Float[2]= 0.000000\n",
                       "main prints stored values or zeros, got: " + floats);
        return std::string("zeros");
    };
    quiet_report(op);
}

// Saves: only the record's own sector may change.
Operation save(const char* name, uint32_t sector, std::function<void()> call) {
    Operation op;
    op.name = name;
    op.open_first = false;
    op.target_sectors = {sector};
    op.run = [call](Ctx& r) {
        call();
        expect_closed(r);
        return std::string(sweep::changed_sectors(r.flash_before, r.cam.flash()).empty()
                               ? "flash unchanged"
                               : "record sector changed");
    };
    return op;
}

TEST(FaultSweep, StoreSaves) {
    quiet_report(save("SaveMarkerConfig", 0x30000, [] {
        MarkerConfig m = {1, 2, 3, 4, 0.5f, 6, 7, 8, 9, 10, 11};
        SaveMarkerConfig(0, &m);
    }));
    quiet_report(save("SaveExtraParams", 0x31000, [] {
        const float p[3] = {0.25f, 0.5f, 0.75f};
        SaveExtraParams(0, p, 3);
    }));
    quiet_report(save("SetSensorType", 0x32000, [] { SetSensorType(0, "sweep-sensor"); }));
    quiet_report(save("SaveRectifyConfig", 0x34000, [] {
        RectifyConfig c = {};
        c.rotation = 1.5f;
        initializeBaseGrid(&c, 2, 2);
        SaveRectifyConfig(0, &c);
        std::free(c.base_grid);
    }));
}

}  // namespace

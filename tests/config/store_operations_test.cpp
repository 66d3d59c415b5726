// What all eight record operations share: the debug switch, the closing
// step, and a Save rewriting its own sector and no other.
#include <cstring>
#include <functional>

#include "store_test.h"

using namespace store_test;

namespace {

struct Op {
    const char* name;
    uint32_t sector;  // the record's sector
    bool save;
    std::function<void()> run;
};

class StoreOperations : public StoreTest {
protected:
    MarkerConfig marker_ = {1, 2, 3, 4, 0.25f, 5, 6, 7, 8, 9, 10};
    RectifyConfig rectify_{};
    float params_[4] = {9.5f, 8.5f, 7.5f, 6.5f};
    char text_[160] = {};

    void TearDown() override {
        free(rectify_.base_grid);
        StoreTest::TearDown();
    }
    std::vector<Op> ops() {
        return {
            {"SaveMarkerConfig", kMarker, true, [this] { SaveMarkerConfig(0, &marker_); }},
            {"ReadMarkerConfig", kMarker, false, [this] { ReadMarkerConfig(0, &marker_); }},
            {"SaveExtraParams", kExtra, true, [this] { SaveExtraParams(0, params_, 4); }},
            {"ReadExtraParams", kExtra, false, [this] { ReadExtraParams(0, params_, 4); }},
            {"SetSensorType", kSensor, true, [this] { SetSensorType(0, "mono-640"); }},
            {"GetSensorType", kSensor, false, [this] { GetSensorType(0, text_); }},
            {"SaveRectifyConfig", kRectify, true,
             [this] {
                 if (!rectify_.base_grid) initializeBaseGrid(&rectify_, 3, 2);
                 SaveRectifyConfig(0, &rectify_);
             }},
            {"ReadRectifyConfig", kRectify, false, [this] { ReadRectifyConfig(0, &rectify_); }},
        };
    }
};

TEST_F(StoreOperations, SilentWithDebuggingOffDotsWithItOn) {
    for (const Op& op : ops()) {
        SCOPED_TRACE(op.name);
        debug_enable = 0;
        auto quiet = orvex_test::capture(op.run);
        EXPECT_EQ(quiet.out, "");
        EXPECT_EQ(quiet.err, "");
        expect_closed();

        debug_enable = -7;  // any non-zero value enables it
        auto loud = orvex_test::capture(op.run);
        const std::string dots = ".\n.\n.\n";
        ASSERT_GE(loud.out.size(), dots.size());
        EXPECT_EQ(loud.out.substr(loud.out.size() - dots.size()), dots);
        EXPECT_EQ(loud.err, "");
        expect_closed();
    }
}

TEST_F(StoreOperations, EnableAndDisableDebug) {
    EnableDebug();
    EXPECT_EQ(debug_enable, 1);
    DisableDebug();
    EXPECT_EQ(debug_enable, 0);
}

// Each record starts a 4 KiB sector of its own: a Save erases and
// rewrites that sector and leaves every other byte of the flash, the
// other records and the gap at 0x33000 included, as it was.
TEST_F(StoreOperations, SaveTouchesOnlyItsOwnSector) {
    for (uint32_t a = 0x33000; a < 0x34000; ++a) flash()[a] = static_cast<uint8_t>(a * 13);
    for (const Op& op : ops()) {
        if (!op.save) continue;
        SCOPED_TRACE(op.name);
        std::vector<uint8_t> before = flash();
        op.run();
        for (uint32_t a = 0; a < vcam::kFlashSize; ++a) {
            if (a >= op.sector && a < op.sector + kSector) continue;
            ASSERT_EQ(flash()[a], before[a]) << std::hex << a;
        }
        EXPECT_NE(0, std::memcmp(&flash()[op.sector], &before[op.sector], kSector));
    }
}

// A null record, buffer or text: the operation returns before it opens the
// camera, prints nothing, and the flash stays as it was. A Save given no
// data must not erase the sector it would have written.
TEST_F(StoreOperations, NullArgumentsReturnBeforeOpeningTheCamera) {
    struct Case {
        const char* name;
        std::function<void()> run;
    } cases[] = {
        {"SaveMarkerConfig", [] { SaveMarkerConfig(0, nullptr); }},
        {"ReadMarkerConfig", [] { ReadMarkerConfig(0, nullptr); }},
        {"SaveExtraParams", [] { SaveExtraParams(0, nullptr, 3); }},
        {"ReadExtraParams", [] { ReadExtraParams(0, nullptr, 3); }},
        {"SetSensorType", [] { SetSensorType(0, nullptr); }},
        {"GetSensorType", [] { GetSensorType(0, nullptr); }},
        {"SaveRectifyConfig", [] { SaveRectifyConfig(0, nullptr); }},
        {"ReadRectifyConfig", [] { ReadRectifyConfig(0, nullptr); }},
        {"initializeBaseGrid", [] { initializeBaseGrid(nullptr, 3, 2); }},
    };
    const std::vector<uint8_t> before = flash();
    debug_enable = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vcam::trace().clear();
        auto out = orvex_test::capture(c.run);
        EXPECT_EQ(out.out, "");
        EXPECT_EQ(vcam::trace().query_count(), 0u);
        expect_closed();
    }
    EXPECT_TRUE(flash() == before);
}

// No values asked for: the read runs and closes, whatever the pointer.
TEST_F(StoreOperations, ZeroExtraParamsWithoutABuffer) {
    auto out = orvex_test::capture([] { ReadExtraParams(0, nullptr, 0); });
    EXPECT_EQ(out.out, "");
    EXPECT_FALSE(reads().empty());
}

// A failed program transfer is not detected by a Save: it finishes as if
// it had succeeded, debug output and closing step included.
TEST_F(StoreOperations, FailedSaveTransferGoesUnnoticed) {
    debug_enable = 1;
    // Every flash-data program refused: the sector write reports 0.
    cam().faults().fail_if = [](const vcam::QueryRecord& q) {
        return orvex_test::programs_flash(q);
    };
    auto out = orvex_test::capture([&] { SetSensorType(0, "x"); });
    EXPECT_EQ(out.out, "Setting Sensor Type...\n.\n.\n.\n");
    EXPECT_FALSE(writes().empty());
}

// A read whose transfer fails, at any transfer of the record (the
// rectification header included), leaves the caller's record exactly as
// it was, grid pointer and grid included, prints nothing and closes the
// camera.
TEST_F(StoreOperations, FailedReadLeavesTheRecordAsItWas) {
    MarkerConfig marker;
    float params[4];
    char text[160];
    RectifyConfig rectify;
    int grid[4];
    auto set_sentinels = [&] {
        std::memset(&marker, 0x5A, sizeof marker);
        std::memset(params, 0x5A, sizeof params);
        std::memset(text, 'Z', sizeof text);
        std::memset(&rectify, 0x5A, sizeof rectify);
        std::memset(grid, 0x5A, sizeof grid);
        rectify.base_grid = grid;  // must be neither freed nor replaced
    };
    struct Case {
        const char* name;
        uint32_t sector;
        std::function<void()> run;
        std::function<bool()> untouched;
    } cases[] = {
        {"ReadMarkerConfig", kMarker, [&] { ReadMarkerConfig(0, &marker); },
         [&] { MarkerConfig m; std::memset(&m, 0x5A, sizeof m);
               return std::memcmp(&m, &marker, sizeof m) == 0; }},
        {"ReadExtraParams", kExtra, [&] { ReadExtraParams(0, params, 4); },
         [&] { float p[4]; std::memset(p, 0x5A, sizeof p);
               return std::memcmp(p, params, sizeof p) == 0; }},
        {"GetSensorType", kSensor, [&] { GetSensorType(0, text); },
         [&] { return std::string(text, sizeof text) == std::string(sizeof text, 'Z'); }},
        {"ReadRectifyConfig", kRectify, [&] { ReadRectifyConfig(0, &rectify); },
         [&] { RectifyConfig r; std::memset(&r, 0x5A, sizeof r); r.base_grid = grid;
               int g[4]; std::memset(g, 0x5A, sizeof g);
               return std::memcmp(&r, &rectify, sizeof r) == 0 &&
                      std::memcmp(g, grid, sizeof g) == 0; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The record's reads in a clean run.
        set_sentinels();
        rectify.base_grid = nullptr;  // the clean read allocates its own
        vcam::trace().clear();
        c.run();
        free(rectify.base_grid);
        long n = 0;
        for (const auto& t : reads()) n += t.addr >= c.sector && t.addr < c.sector + 2 * kSector;
        ASSERT_GT(n, 0);
        for (long k = 1; k <= n; ++k) {
            SCOPED_TRACE(k);
            set_sentinels();
            long seen = 0;
            const uint32_t sector = c.sector;
            cam().reset_faults();
            cam().faults().fail_if = [&seen, k, sector](const vcam::QueryRecord& q) {
                vcam::FlashTransfer f;
                if (!vcam::as_flash_request(q, &f) || !f.read) return false;
                return f.addr >= sector && f.addr < sector + 2 * kSector && ++seen == k;
            };
            debug_enable = 1;
            auto out = orvex_test::capture(c.run);
            debug_enable = 0;
            EXPECT_EQ(out.out, "");
            EXPECT_TRUE(c.untouched());
            expect_closed();
        }
        cam().reset_faults();
    }
}

}  // namespace

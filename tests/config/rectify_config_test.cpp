// Rectification record: header of ten values and the base grid at 0x34000.
#include <climits>
#include <cmath>
#include <cstdlib>

#include "store_test.h"

using namespace store_test;

namespace {

class Rectify : public StoreTest {
protected:
    void TearDown() override {
        for (RectifyConfig* r : owned_) free(r->base_grid);
        StoreTest::TearDown();
    }
    // A record whose grid the fixture frees at the end.
    RectifyConfig& record() {
        records_.push_back(std::make_unique<RectifyConfig>());
        RectifyConfig& r = *records_.back();
        std::memset(&r, 0, sizeof r);
        owned_.push_back(&r);
        return r;
    }
    void put_header(int rows, int cols) {
        erase(flash(), kRectify, kSector);
        const float f[4] = {0.5f, -1.0f, 2.0f, 1.0f};
        for (int i = 0; i < 4; ++i) put32(flash(), kRectify + 4 * i, bits_of(f[i]));
        for (int i = 0; i < 4; ++i) put32(flash(), kRectify + 0x10 + 4 * i, 10 + i);
        put32(flash(), kRectify + 0x20, static_cast<uint32_t>(rows));
        put32(flash(), kRectify + 0x24, static_cast<uint32_t>(cols));
    }
    std::vector<std::unique_ptr<RectifyConfig>> records_;
    std::vector<RectifyConfig*> owned_;
};

TEST_F(Rectify, InitializeBaseGridFillsRowAndColumnIndices) {
    RectifyConfig& r = record();
    initializeBaseGrid(&r, 2, 3);
    ASSERT_NE(r.base_grid, nullptr);
    EXPECT_EQ(r.rows, 2);
    EXPECT_EQ(r.cols, 3);
    const int expected[12] = {0, 0, 0, 1, 0, 2, 1, 0, 1, 1, 1, 2};
    EXPECT_EQ(0, std::memcmp(r.base_grid, expected, sizeof expected));
}

TEST_F(Rectify, InitializeBaseGridWithNegativeProductFailsWithoutAllocating) {
    debug_enable = 1;
    for (auto dims : {std::pair<int, int>{-1, 5}, {3, -2}, {INT_MIN, 1}}) {
        RectifyConfig& r = record();
        auto out = orvex_test::capture([&] { initializeBaseGrid(&r, dims.first, dims.second); });
        EXPECT_EQ(out.out, "Memory allocation failed for base_grid\n");
        EXPECT_EQ(r.base_grid, nullptr);
        EXPECT_EQ(r.rows, dims.first);
        EXPECT_EQ(r.cols, dims.second);
    }
}

TEST_F(Rectify, LargestGridRoundTrip) {
    RectifyConfig& saved = record();
    initializeBaseGrid(&saved, 25, 18);
    ASSERT_NE(saved.base_grid, nullptr);
    for (int k = 0; k < 900; ++k) saved.base_grid[k] = k * 7919 - 3000000;
    saved.rotation = as_float(0x7FC00005);
    saved.translation_x = -0.0f;
    saved.translation_y = 1e-40f;
    saved.scale = 1.0042f;
    const int padding[4] = {INT_MIN, -1, 0, INT_MAX};
    std::memcpy(saved.padding, padding, sizeof padding);
    SaveRectifyConfig(0, &saved);

    EXPECT_EQ(0, std::memcmp(&flash()[kRectify], &saved, 40));
    EXPECT_EQ(0, std::memcmp(&flash()[kRectify + 40], saved.base_grid, 3600));
    for (uint32_t a = kRectify + 3640; a < kRectify + kSector; ++a)
        ASSERT_EQ(flash()[a], 0xFF) << std::hex << a;

    RectifyConfig& back = record();
    ReadRectifyConfig(0, &back);
    ASSERT_EQ(back.rows, 25);
    ASSERT_EQ(back.cols, 18);
    ASSERT_NE(back.base_grid, nullptr);
    EXPECT_EQ(0, std::memcmp(&back, &saved, 40));
    EXPECT_EQ(0, std::memcmp(back.base_grid, saved.base_grid, 3600));
}

// One sector rewrite of rotation, then every other value with its own
// 4-byte program, in ascending address order.
TEST_F(Rectify, SaveWritesValueByValue) {
    RectifyConfig& r = record();
    initializeBaseGrid(&r, 2, 3);
    SaveRectifyConfig(0, &r);
    std::vector<Transfer> expected;
    for (uint32_t a = kRectify; a < kRectify + 40 + 48; a += 4) expected.push_back({false, a, 4});
    EXPECT_EQ(writes(), expected);
}

// Records the limit check stops: rows above 25, cols above 18, or a pair
// count above 450 from two negative dimensions.
TEST_F(Rectify, SaveStopsAtTheLimitsWithHeaderAndErasedGrid) {
    const std::pair<int, int> dims[] = {{26, 1}, {1, 19}, {26, 18}, {-30, -16}, {INT_MIN, INT_MIN}};
    for (auto d : dims) {
        SCOPED_TRACE(::testing::Message() << d.first << " x " << d.second);
        RectifyConfig& r = record();
        r.base_grid = static_cast<int*>(calloc(2 * 26 * 19, sizeof(int)));
        r.rows = d.first;
        r.cols = d.second;
        debug_enable = 1;
        vcam::trace().clear();
        auto out = orvex_test::capture([&] { SaveRectifyConfig(0, &r); });
        EXPECT_EQ(out.out, "");  // no message, no dots
        EXPECT_EQ(writes().size(), 10u);
        EXPECT_EQ(static_cast<int>(get32(flash(), kRectify + 0x20)), d.first);
        EXPECT_EQ(static_cast<int>(get32(flash(), kRectify + 0x24)), d.second);
        for (uint32_t a = kRectify + 40; a < kRectify + kSector; ++a)
            ASSERT_EQ(flash()[a], 0xFF) << std::hex << a;
        expect_closed();

        // The Read that follows stops after the header with a null grid.
        RectifyConfig& back = record();
        back.base_grid = static_cast<int*>(malloc(16));  // released first
        out = orvex_test::capture([&] { ReadRectifyConfig(0, &back); });
        EXPECT_EQ(out.out, "");
        EXPECT_EQ(back.base_grid, nullptr);
        EXPECT_EQ(back.rows, d.first);
        EXPECT_EQ(back.cols, d.second);
        EXPECT_EQ(back.padding[3], r.padding[3]);
    }
}

// A record whose grid was never allocated (initializeBaseGrid failed, or
// the caller forgot) stops like the limit check instead of being read
// through a null pointer.
TEST_F(Rectify, SaveWithoutGridStopsAfterTheHeader) {
    RectifyConfig& r = record();
    r.rows = 2;
    r.cols = 3;
    debug_enable = 1;
    auto out = orvex_test::capture([&] { SaveRectifyConfig(0, &r); });
    EXPECT_EQ(out.out, "");
    EXPECT_EQ(writes().size(), 10u);
    EXPECT_EQ(get32(flash(), kRectify + 0x28), 0xFFFFFFFFu);
}

// The sector rewrite that carries the first value fails (here: the ROM
// cannot be identified, so the protection is never released and nothing
// is erased). The rest of the record is not programmed over the old one,
// which stays readable; the debug lines are printed as after any Save.
TEST_F(Rectify, FailedSectorRewriteProgramsNothingOverTheOldRecord) {
    const std::vector<uint8_t> before = flash();
    RectifyConfig& r = record();
    initializeBaseGrid(&r, 3, 2);
    r.rotation = 0.25f;
    cam().faults().fail_if = [](const vcam::QueryRecord& q) { return q.selector == 4; };
    debug_enable = 1;
    auto out = orvex_test::capture([&] { SaveRectifyConfig(0, &r); });
    EXPECT_EQ(out.out, "Configuration saved to flash!\n.\n.\n.\n");
    EXPECT_TRUE(writes().empty());
    EXPECT_TRUE(flash() == before);
}

TEST_F(Rectify, ReadOfFlashDimensions) {
    struct Case {
        int rows, cols;
        bool grid;            // a grid is allocated and read
        const char* message;  // debug output before the dots, "" when none
    } cases[] = {
        {0, 5, true, nullptr},   {5, 0, true, nullptr},
        {-2, -3, true, nullptr},  // 6 pairs: within the limits, no grid lines
        {-1, 5, false, "Memory allocation failed!\n"},
        {25, INT_MIN, false, "Memory allocation failed!\n"},
        {-30, -16, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.rows << " x " << c.cols);
        put_header(c.rows, c.cols);
        RectifyConfig& r = record();
        debug_enable = 1;
        vcam::trace().clear();
        auto out = orvex_test::capture([&] { ReadRectifyConfig(0, &r); });
        EXPECT_EQ(r.rows, c.rows);
        EXPECT_EQ(r.cols, c.cols);
        EXPECT_EQ(r.padding[2], 12);
        if (c.grid) {
            ASSERT_NE(r.base_grid, nullptr);
            long n = 2L * c.rows * c.cols;
            EXPECT_EQ(reads().size(), 3u + 10u + static_cast<size_t>((4 * n + 7) / 8));
            EXPECT_EQ(out.out,
                      "Rectification Parameters Loaded:\nRotation: 0.5000\n"
                      "Translation: (-1.0000, 2.0000)\nScale: 1.0000\nPadding: 10, 11, 12, 13\n"
                      "Rows: " + std::to_string(c.rows) + ", Cols: " + std::to_string(c.cols) +
                          "\nBase Grid Data:\n.\n.\n.\n.\n.\n.\n");
        } else {
            EXPECT_EQ(r.base_grid, nullptr);
            EXPECT_EQ(reads().size(), 13u);
            EXPECT_EQ(out.out, c.message);
        }
    }
}

TEST_F(Rectify, NeverWrittenRecord) {
    erase(flash(), kRectify, kSector);
    RectifyConfig& r = record();
    debug_enable = 1;
    auto out = orvex_test::capture([&] { ReadRectifyConfig(0, &r); });
    EXPECT_EQ(r.rows, -1);
    EXPECT_EQ(r.cols, -1);
    ASSERT_NE(r.base_grid, nullptr);
    EXPECT_EQ(r.base_grid[0], -1);
    EXPECT_EQ(r.base_grid[1], -1);
    EXPECT_TRUE(std::isnan(r.rotation));
    EXPECT_TRUE(std::isnan(r.scale));
    EXPECT_EQ(out.out,
              "Rectification Parameters Loaded:\nRotation: -nan\nTranslation: (-nan, -nan)\n"
              "Scale: -nan\nPadding: -1, -1, -1, -1\nRows: -1, Cols: -1\nBase Grid Data:\n"
              ".\n.\n.\n.\n.\n.\n");
}

TEST_F(Rectify, FactoryRecordDebugOutput) {
    RectifyConfig& r = record();
    debug_enable = 1;
    auto out = orvex_test::capture([&] { ReadRectifyConfig(0, &r); });
    std::string expected =
        "Rectification Parameters Loaded:\nRotation: 0.0031\nTranslation: (-2.3750, 1.1250)\n"
        "Scale: 1.0042\nPadding: 8, 8, 6, 6\nRows: 5, Cols: 4\nBase Grid Data:\n";
    char line[64];
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j) {
            std::snprintf(line, sizeof line, "Grid[%d][%d]: (%d, %d)\n", i, j,
                          r.base_grid[2 * (4 * i + j)], r.base_grid[2 * (4 * i + j) + 1]);
            expected += line;
        }
    EXPECT_EQ(out.out, expected + ".\n.\n.\n.\n.\n.\n");
}

TEST_F(Rectify, SaveDebugOutput) {
    RectifyConfig& r = record();
    initializeBaseGrid(&r, 1, 1);
    debug_enable = 1;
    auto out = orvex_test::capture([&] { SaveRectifyConfig(0, &r); });
    EXPECT_EQ(out.out, "Configuration saved to flash!\n.\n.\n.\n");
}

}  // namespace

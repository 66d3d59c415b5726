// Marker configuration record: 44 bytes at 0x30000, the struct as is.
#include <cmath>

#include "store_test.h"

using namespace store_test;

namespace {

class MarkerRecord : public StoreTest {};

const char kFactoryMarkerLines[] =
    "x0: 32\ny0: 24\ndx: 36\ndy: 36\ntheta: 0.01\nncol: 16\nnrow: 12\n"
    "width: 640\nheight: 480\nlower_threshold: 48\nmin_area: 20\n";

TEST_F(MarkerRecord, ReadPrintsTheRecordThenThreeDots) {
    debug_enable = 1;
    MarkerConfig m{};
    auto out = orvex_test::capture([&] { ReadMarkerConfig(0, &m); });
    EXPECT_EQ(out.out, std::string("ReadBack MarkerConfig from flash...\n") + kFactoryMarkerLines +
                           ".\n.\n.\n");
    EXPECT_EQ(out.err, "");
    EXPECT_EQ(m.min_area, 20);
    EXPECT_EQ(m.theta, 0.0125f);
}

TEST_F(MarkerRecord, SaveAndReadBackBitForBit) {
    const uint32_t thetas[] = {0x3F8CCCCD, 0x7FC00001, 0xFF800001, 0x80000000, 0x00000001,
                               0xFFFFFFFF};
    for (uint32_t theta : thetas) {
        SCOPED_TRACE(theta);
        MarkerConfig saved = {-1, 2147483647, -2147483647 - 1, 0, as_float(theta), 7, 9,
                              1280, 800, 255, 3};
        SaveMarkerConfig(0, &saved);
        EXPECT_EQ(0, std::memcmp(&flash()[kMarker], &saved, sizeof saved));
        for (uint32_t a = kMarker + sizeof saved; a < kMarker + kSector; ++a)
            ASSERT_EQ(flash()[a], 0xFF) << std::hex << a;
        MarkerConfig back;
        std::memset(&back, 0, sizeof back);
        ReadMarkerConfig(0, &back);
        EXPECT_EQ(0, std::memcmp(&back, &saved, sizeof saved));
    }
}

// The debug lines show the caller's record even when the flash refused
// every byte: nothing is read back.
TEST_F(MarkerRecord, SaveDebugLinesShowTheCallersValues) {
    MarkerConfig m = {32, 24, 36, 36, 0.0125f, 16, 12, 640, 480, 48, 20};
    cam().faults().fail_if = [](const vcam::QueryRecord& q) {
        return orvex_test::programs_flash(q);
    };
    debug_enable = 1;
    auto out = orvex_test::capture([&] { SaveMarkerConfig(0, &m); });
    EXPECT_EQ(out.out, std::string("Saving MarkerConfig to flash...\n") + kFactoryMarkerLines +
                           ".\n.\n.\n");
}

TEST_F(MarkerRecord, NeverWrittenReadsAsMinusOneAndNaN) {
    erase(flash(), kMarker, kSector);
    debug_enable = 1;
    MarkerConfig m{};
    auto out = orvex_test::capture([&] { ReadMarkerConfig(0, &m); });
    const int* ints = reinterpret_cast<const int*>(&m);
    for (int i = 0; i < 11; ++i) {
        if (i == 4) continue;  // theta
        EXPECT_EQ(ints[i], -1) << i;
    }
    EXPECT_TRUE(std::isnan(m.theta));
    EXPECT_EQ(bits_of(m.theta), 0xFFFFFFFFu);
    EXPECT_EQ(out.out,
              "ReadBack MarkerConfig from flash...\nx0: -1\ny0: -1\ndx: -1\ndy: -1\n"
              "theta: -nan\nncol: -1\nnrow: -1\nwidth: -1\nheight: -1\nlower_threshold: -1\n"
              "min_area: -1\n.\n.\n.\n");
}

}  // namespace

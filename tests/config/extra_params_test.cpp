// Extra parameters record: count floats at 0x31000, the count given by the
// caller on both sides.
#include <algorithm>
#include <cmath>

#include "store_test.h"

using namespace store_test;

namespace {

class ExtraParams : public StoreTest {
protected:
    std::vector<float> values(size_t n, uint32_t seed) {
        std::vector<float> v(n);
        for (size_t i = 0; i < n; ++i)
            v[i] = as_float(seed * 2654435761u + static_cast<uint32_t>(i) * 40503u);
        return v;
    }
    static bool same_bits(const float* a, const float* b, size_t n) {
        return std::memcmp(a, b, 4 * n) == 0;
    }
};

TEST_F(ExtraParams, SavedAndReadCounts) {
    struct Case {
        unsigned saved, read;
    } cases[] = {{3, 3}, {5, 3}, {3, 5}, {1, 1}, {50, 50}, {51, 51}, {255, 255}, {0, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.saved << " saved, " << c.read << " read");
        std::vector<float> saved = values(c.saved, c.saved);
        saved.push_back(0);  // data() valid for a count of 0
        SaveExtraParams(0, saved.data(), static_cast<unsigned char>(c.saved));
        std::vector<float> back(256, 7.0f);
        ReadExtraParams(0, back.data(), static_cast<unsigned char>(c.read));
        unsigned common = std::min(c.saved, c.read);
        EXPECT_TRUE(same_bits(back.data(), saved.data(), common));
        // Values beyond the saved ones are the erased sector: NaNs.
        for (unsigned i = common; i < c.read; ++i) EXPECT_EQ(bits_of(back[i]), 0xFFFFFFFFu) << i;
        // Nothing beyond the count is touched.
        for (unsigned i = c.read; i < back.size(); ++i) ASSERT_EQ(back[i], 7.0f) << i;
        for (uint32_t a = kExtra + 4 * c.saved; a < kExtra + kSector; ++a)
            ASSERT_EQ(flash()[a], 0xFF) << std::hex << a;
    }
}

TEST_F(ExtraParams, CountZero) {
    float v[2] = {1.0f, 2.0f};
    SaveExtraParams(0, v, 0);
    EXPECT_TRUE(writes().empty());
    for (uint32_t a = kExtra; a < kExtra + kSector; ++a) ASSERT_EQ(flash()[a], 0xFF);

    vcam::trace().clear();
    ReadExtraParams(0, v, 0);
    EXPECT_EQ(reads(), id_block_reads(1));  // the record itself is not read
    EXPECT_EQ(v[0], 1.0f);
}

TEST_F(ExtraParams, NeverWrittenReadsAsNaN) {
    erase(flash(), kExtra, kSector);
    float v[3] = {0, 0, 0};
    ReadExtraParams(0, v, 3);
    for (float f : v) EXPECT_TRUE(std::isnan(f));
}

TEST_F(ExtraParams, DebugOutputIsTheSaveLineAndTheDots) {
    debug_enable = 1;
    float v[3] = {1, 2, 3};
    auto save = orvex_test::capture([&] { SaveExtraParams(0, v, 3); });
    EXPECT_EQ(save.out, "Saving floats...\n.\n.\n.\n");
    auto read = orvex_test::capture([&] { ReadExtraParams(0, v, 3); });
    EXPECT_EQ(read.out, ".\n.\n.\n");
}

}  // namespace

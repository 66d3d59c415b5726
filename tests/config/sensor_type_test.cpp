// Sensor type record: a NUL-terminated text at 0x32000, at most 127
// characters.
#include "store_test.h"

using namespace store_test;

namespace {

class SensorType : public StoreTest {
protected:
    long programmed_bytes() {
        long n = 0;
        for (const auto& t : writes()) n += t.len;
        return n;
    }
};

TEST_F(SensorType, SaveAndReadBack) {
    std::string high;
    for (int c = 0x80; c <= 0xFF; ++c) high.push_back(static_cast<char>(c));
    struct Case {
        const char* name;
        std::string text;
        std::string stored;  // what reads back
    } cases[] = {
        {"empty", "", ""},
        {"short", "stereo-nir-1280x800", "stereo-nir-1280x800"},
        {"127 characters", std::string(127, 'a'), std::string(127, 'a')},
        {"128 characters are cut to 127", std::string(128, 'b'), std::string(127, 'b')},
        {"300 characters are cut to 127", std::string(300, 'c'), std::string(127, 'c')},
        {"bytes above 0x7F pass through", high, high.substr(0, 127)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vcam::trace().clear();
        SetSensorType(0, c.text.c_str());
        // The text and its NUL, nothing else programmed; the rest of the
        // sector stays erased.
        size_t len = c.stored.size() + 1;
        EXPECT_EQ(programmed_bytes(), static_cast<long>(len));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&flash()[kSensor]), len - 1), c.stored);
        EXPECT_EQ(flash()[kSensor + len - 1], 0);
        for (uint32_t a = kSensor + static_cast<uint32_t>(len); a < kSensor + kSector; ++a)
            ASSERT_EQ(flash()[a], 0xFF) << std::hex << a;

        char back[160];
        std::memset(back, 0x5A, sizeof back);
        GetSensorType(0, back);
        EXPECT_EQ(std::string(back), c.stored);
        EXPECT_EQ(back[c.stored.size() + 1], 0x5A);  // nothing copied past the NUL
    }
}

TEST_F(SensorType, NeverWrittenGives128BytesAndTheAppendedNul) {
    erase(flash(), kSensor, kSector);
    char back[160];
    std::memset(back, 0x5A, sizeof back);
    GetSensorType(0, back);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(static_cast<uint8_t>(back[i]), 0xFF) << i;
    EXPECT_EQ(back[128], 0);
    EXPECT_EQ(back[129], 0x5A);
}

TEST_F(SensorType, DebugOutput) {
    debug_enable = 1;
    char back[160];
    auto get = orvex_test::capture([&] { GetSensorType(0, back); });
    EXPECT_EQ(get.out, "Sensor Type is: stereo-nir-640x480\n.\n.\n.\n");
    auto set = orvex_test::capture([&] { SetSensorType(0, "mono"); });
    EXPECT_EQ(set.out, "Setting Sensor Type...\n.\n.\n.\n");
}

}  // namespace

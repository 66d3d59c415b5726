// Sector rewrite through the public API, checked against the flash the
// virtual camera holds afterwards.
#include "orvex_test.h"
#include "serial_flash.h"
#include "spi_trace.h"

using Strings = std::vector<std::string>;

namespace {

class SectorWrite : public orvex_test::CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        open_camera();
    }
    vcam::NorFlash& chip() { return *cam().part<vcam::NorFlash>(); }
    std::vector<vcam::QueryRecord> flash_sets() {
        std::vector<vcam::QueryRecord> out;
        for (auto& q : vcam::trace().queries())
            if (q.selector == 3 && q.request == vcam::REQ_SET_CUR) out.push_back(q);
        return out;
    }
    // The erase frame: what follows the write enable after the release.
    std::string erase_frame() {
        Strings f = orvex_test::spi_frames(cam().profile().arch);
        for (size_t i = f.size(); i-- > 1;)
            if (f[i - 1] == "06" && f[i] != "01 00") return f[i];
        return "";
    }
};

TEST_F(SectorWrite, RewritesTheSectorAndKeepsTheRest) {
    std::vector<uint8_t>& flash = cam().flash();
    std::fill(flash.begin() + 0x2F000, flash.begin() + 0x32000, 0x00);
    unsigned char d[20];
    for (int i = 0; i < 20; ++i) d[i] = static_cast<unsigned char>(0xA0 + i);
    ASSERT_EQ(OrvexTac_SerialFlashSectorWrite(0x30000, d, 20, SFT_MXIC), 1);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(flash[0x30000 + i], d[i]) << i;
    EXPECT_EQ(flash[0x30014], 0xFF);
    EXPECT_EQ(flash[0x30FFF], 0xFF);
    EXPECT_EQ(flash[0x2FFFF], 0x00) << "sector below survives";
    EXPECT_EQ(flash[0x31000], 0x00) << "sector above survives";

    auto s = flash_sets();
    ASSERT_EQ(s.size(), 4u);  // the configuration byte read, then 8 + 8 + 4
    EXPECT_EQ(s[1].sent[2], 0x38);
    EXPECT_EQ(s[2].sent[0], 0x08);
    EXPECT_EQ(s[3].sent[0], 0x10);
    EXPECT_EQ(s[3].sent[2], 0x34);
    EXPECT_EQ(erase_frame(), "20 03 00 00");
    EXPECT_EQ(vcam::trace().sleeps().back(), 1000000u);
}

}  // namespace

// Sector rewrite through the public API, checked against the flash the
// virtual camera holds afterwards.
#include "orvex_test.h"
#include "serial_flash.h"

using Strings = std::vector<std::string>;

namespace {

class SectorWrite : public orvex_test::CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        open_camera();
    }
    vcam::NorFlash& chip() { return *cam().part<vcam::NorFlash>(); }
    std::vector<vcam::FlashTransfer> flash_sets() { return vcam::trace().flash_transfers(); }
    // The erase frame: what follows the write enable after the release.
    std::string erase_frame() {
        Strings f = vcam::trace().spi_frames(cam().profile().arch);
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
    EXPECT_EQ(s[1].str(), "FW 30000 [8] A0 A1 A2 A3 A4 A5 A6 A7");
    EXPECT_EQ(s[2].str(), "FW 30008 [8] A8 A9 AA AB AC AD AE AF");
    EXPECT_EQ(s[3].str(), "FW 30010 [4] B0 B1 B2 B3");
    EXPECT_EQ(erase_frame(), "20 03 00 00");
    EXPECT_EQ(vcam::trace().sleeps().back(), 1000000u);
}

TEST_F(SectorWrite, UnknownTypeOrClosedCameraSendsNothing) {
    std::vector<uint8_t> before = cam().flash();
    unsigned char d[4] = {1, 2, 3, 4};
    EXPECT_EQ(OrvexTac_SerialFlashSectorWrite(0x30000, d, 4, SFT_UNKNOW), 0);
    EXPECT_EQ(vcam::trace().query_count(), 0u);
    ASSERT_EQ(OrvexTac_UnInit(), 1);
    vcam::trace().clear();
    EXPECT_EQ(OrvexTac_SerialFlashSectorWrite(0x30000, d, 4, SFT_MXIC), 0);
    EXPECT_EQ(vcam::trace().query_count(), 0u);
    EXPECT_EQ(cam().flash(), before);
}

TEST_F(SectorWrite, ZeroLengthLeavesTheSectorErased) {
    std::fill_n(cam().flash().begin() + 0x30000, 0x1000, 0x00);
    EXPECT_EQ(OrvexTac_SerialFlashSectorWrite(0x30000, nullptr, 0, SFT_MXIC), 1);
    EXPECT_EQ(cam().flash()[0x30000], 0xFF);
    EXPECT_EQ(cam().flash()[0x30FFF], 0xFF);
    EXPECT_EQ(flash_sets().size(), 1u) << "only the configuration byte read";
    EXPECT_EQ(vcam::trace().sleeps().back(), 1000000u);
}

TEST_F(SectorWrite, FourBytesAreOneShortTransfer) {
    unsigned char d[4] = {0x11, 0x22, 0x33, 0x44};
    ASSERT_EQ(OrvexTac_SerialFlashSectorWrite(0x30000, d, 4, SFT_MXIC), 1);
    EXPECT_EQ(erase_frame(), "20 03 00 00");
    auto s = flash_sets();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[1].str(), "FW 30000 [4] 11 22 33 44");
    // On the wire the unused data bytes are zero.
    EXPECT_EQ(vcam::trace().queries().back().sent,
              (std::vector<uint8_t>{0x00, 0x00, 0x34, 0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0}));
    // The one-second sleep comes right before the first program.
    Strings conv = vcam::strs(vcam::trace().conversation());
    ASSERT_GE(conv.size(), 2u);
    EXPECT_EQ(conv[conv.size() - 2], "sleep 1000000");
    EXPECT_EQ(conv.back(), "FW 30000 [4] 11 22 33 44");
}

// The camera starts with every block protected and the status register
// locked by WP#: the rewrite gets through only because the release drives
// the pin and clears the status register.
TEST_F(SectorWrite, SucceedsOnAProtectedFlashOnlyThroughTheRelease) {
    for (const char* name : {"default", "second-arch"}) {
        SCOPED_TRACE(name);
        vcam::Profile p;
        ASSERT_TRUE(vcam::find_profile(name, &p));
        p.start_protected = true;
        std::fill_n(p.flash.begin() + 0x30000, 0x10, 0x00);

        // Without the release: erase and program are refused.
        open_camera(p);
        if (p.arch == 1) LibUsb_SetAsicArchInfo(DAT_SECOND);
        unsigned char d[8] = {9, 8, 7, 6, 5, 4, 3, 2};
        OV_EraseSectorForSerialFlash(0x30000, SFT_MXIC);
        OrvexTac_SerialFlashWrite(0x30000, d, 8);
        EXPECT_EQ(cam().flash()[0x30000], 0x00);
        EXPECT_EQ(chip().commands().back().outcome, vcam::NorFlash::PROTECTED);

        open_camera(p);
        ASSERT_EQ(OrvexTac_SerialFlashSectorWrite(0x30000, d, 8, SFT_MXIC), 1);
        EXPECT_EQ(std::vector<uint8_t>(cam().flash().begin() + 0x30000,
                                       cam().flash().begin() + 0x30008),
                  std::vector<uint8_t>(d, d + 8));
        EXPECT_EQ(cam().flash()[0x30008], 0xFF);
        EXPECT_EQ(chip().status(), 0);
    }
}

TEST_F(SectorWrite, ReleaseFailureStopsBeforeTheErase) {
    vcam::Profile p = vcam::default_profile();
    p.rom_string[0] = '9';
    open_camera(p);
    cam().flash()[0x30000] = 0x00;
    unsigned char d[4] = {1, 2, 3, 4};
    EXPECT_EQ(OrvexTac_SerialFlashSectorWrite(0x30000, d, 4, SFT_MXIC), 0);
    EXPECT_TRUE(chip().commands().empty());
    EXPECT_TRUE(flash_sets().empty());
    EXPECT_EQ(cam().flash()[0x30000], 0x00);
}

// WP# is wired elsewhere than the firmware's configuration says: the
// release cannot lift the protection, so the rewrite fails before its
// erase instead of reporting data it never wrote.
TEST_F(SectorWrite, ProtectionThatStaysFailsBeforeTheErase) {
    vcam::Profile p;
    ASSERT_TRUE(vcam::find_profile("locked", &p));
    open_camera(p);
    const std::vector<uint8_t> before = cam().flash();
    unsigned char d[4] = {1, 2, 3, 4};
    EXPECT_EQ(OrvexTac_SerialFlashSectorWrite(0x33000, d, 4, SFT_MXIC), 0);
    for (const auto& c : chip().commands()) EXPECT_NE(c.bytes[0], 0x20) << "no erase command";
    EXPECT_EQ(flash_sets().size(), 1u) << "only the configuration byte was read";
    EXPECT_TRUE(cam().flash() == before);
}

TEST_F(SectorWrite, FailingProgramTransferFails) {
    unsigned char d[24] = {};
    cam().faults().fail_if = [](const vcam::QueryRecord& q) {
        vcam::FlashTransfer f;
        return vcam::as_flash_request(q, &f) && !f.read && f.addr == 0x30008;
    };
    EXPECT_EQ(OrvexTac_SerialFlashSectorWrite(0x30000, d, 24, SFT_MXIC), 0);
    EXPECT_EQ(cam().flash()[0x30000], 0x00) << "the chunk before the failure stays programmed";
    EXPECT_EQ(cam().flash()[0x30010], 0xFF);
}

// The first address byte of the erase command cannot be written: the
// master's data register still holds the opcode, and a trigger now would
// send it as the address and erase some other sector. The rewrite stops
// instead, with nothing erased and nothing programmed.
TEST_F(SectorWrite, FailedEraseStepErasesNothingAndFails) {
    std::fill(cam().flash().begin(), cam().flash().end(), 0x00);
    const std::vector<uint8_t> before = cam().flash();
    bool failed_once = false;
    cam().faults().fail_if = [&](const vcam::QueryRecord& q) {
        // Register write 0x1082 <- 0x03: the erase's first address byte.
        bool hit = !failed_once && q.selector == 1 && q.request == vcam::REQ_SET_CUR &&
                   q.sent == std::vector<uint8_t>{0x82, 0x10, 0x03, 0x00};
        failed_once = failed_once || hit;
        return hit;
    };
    unsigned char d[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    orvex_test::capture(
        [&] { EXPECT_EQ(OrvexTac_SerialFlashSectorWrite(0x31000, d, 8, SFT_MXIC), 0); });
    ASSERT_TRUE(failed_once);
    vcam::advance_us(1000000);
    EXPECT_TRUE(cam().flash() == before) << "no sector erased, nothing programmed";
    EXPECT_TRUE(flash_sets().size() == 1u) << "only the configuration byte was read";
    EXPECT_EQ(vcam::trace().spi_log().back(), "mode 0");
}

// Each family erases its own sector size: an ST part loses the whole
// 64 KiB sector around the address, a 4 KiB-sector part only its sector.
TEST_F(SectorWrite, DataOutsideTheErasedSectorSurvives) {
    struct Case {
        int sft;
        uint32_t sector;
    } cases[] = {{SFT_MXIC, 0x1000}, {SFT_ST, 0x10000}, {SFT_PMC, 0x1000}, {SFT_SST, 0x1000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sft);
        vcam::Profile p = vcam::default_profile();
        p.flash_type = c.sft;
        std::fill(p.flash.begin() + 0x10000, p.flash.end(), 0x5A);
        open_camera(p);
        unsigned char d[4] = {1, 2, 3, 4};
        const uint32_t addr = 0x21000, base = addr & ~(c.sector - 1);
        ASSERT_EQ(OrvexTac_SerialFlashSectorWrite(addr, d, 4, static_cast<SERIAL_FLASH_TYPE>(c.sft)), 1);
        const std::vector<uint8_t>& f = cam().flash();
        EXPECT_EQ(f[addr], 1);
        EXPECT_EQ(f[addr + 4], 0xFF);
        EXPECT_EQ(f[base], base == addr ? 1 : 0xFF);
        EXPECT_EQ(f[base + c.sector - 1], 0xFF);
        EXPECT_EQ(f[base - 1], 0x5A);
        EXPECT_EQ(f[base + c.sector], 0x5A);
    }
}

// Outside the 256 KiB the flash-data path reaches, the erase and the
// program would hit different sectors (the erase wraps on the flash, the
// data folds into bank 3): refused before anything is sent. The last
// sector itself stays writable up to its final byte.
TEST_F(SectorWrite, RangeOutsideTheReachableFlashIsRefused) {
    struct Case {
        long addr;
        long len;
        int result;
    } cases[] = {
        {0x40010, 4, 0}, {0x40000, 0, 0}, {-8, 4, 0}, {0x3FFFC, 8, 0},
        {0x3FFFC, 4, 1}, {0x3F000, 0, 1}, {0x3FFFF, -3, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.addr);
        vcam::Profile p = vcam::default_profile();
        std::fill(p.flash.begin(), p.flash.end(), 0x00);
        open_camera(p);
        unsigned char d[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        EXPECT_EQ(OrvexTac_SerialFlashSectorWrite(c.addr, d, c.len, SFT_MXIC), c.result);
        const std::vector<uint8_t>& f = cam().flash();
        if (c.result == 0) {
            EXPECT_EQ(vcam::trace().query_count(), 0u);
            EXPECT_EQ(f[0x00000], 0x00) << "the firmware's first sector is untouched";
            EXPECT_EQ(f[0x3F000], 0x00);
        } else {
            EXPECT_EQ(f[0x3F000], 0xFF) << "the last sector was erased";
            EXPECT_EQ(f[0x00000], 0x00);
            if (c.len == 4) {
                EXPECT_EQ(f[0x3FFFF], 4) << "programmed up to the last byte";
            }
        }
    }
}

}  // namespace

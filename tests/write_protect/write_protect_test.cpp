// Write-protect release: configuration byte and format, ROM rows, the
// firmware command bytes, the status-register release, on both
// architectures, against a flash that really is protected.
#include <cstring>

#include "images.h"
#include "orvex_test.h"
#include "serial_flash.h"

using Strings = std::vector<std::string>;

namespace {

class WriteProtect : public orvex_test::CameraTest {
protected:
    // A camera whose mask ROM matches RomInfo row `row`, with chip id
    // `chip` and configuration byte `cfg` (where the chip has one).
    vcam::Camera& open_row(unsigned row, uint8_t chip, int cfg, bool start_protected = false,
                           uint8_t mem_type = 0, bool release_high = true) {
        vcam::Profile p = vcam::default_profile();
        p.chip_id = chip;
        p.arch = chip == 0x85 || chip == 0x86 ? 1 : 0;
        p.rom_string_addr = RomInfo[row].RomStringAddr;
        std::memcpy(p.rom_string, RomInfo[row].RomString, 8);
        p.mem_type = mem_type;
        p.start_protected = start_protected;
        p.wp_release_high = release_high;
        int addr = vcam::wp_config_address(chip);
        if (addr >= 0 && cfg >= 0) p.flash[static_cast<size_t>(addr)] = static_cast<uint8_t>(cfg);
        return open_camera(p);
    }
    vcam::NorFlash& chip() { return *cam().part<vcam::NorFlash>(); }
    // Register writes to the given addresses, in order.
    Strings writes_to(std::initializer_list<uint16_t> addrs) {
        Strings out;
        char b[16];
        for (const auto& a : vcam::trace().register_writes())
            for (uint16_t x : addrs)
                if (a.addr == x) {
                    std::snprintf(b, sizeof b, "W %04X=%02X", a.addr, a.value);
                    out.push_back(b);
                }
        return out;
    }
    // Frames other than status reads.
    Strings command_frames(int arch = 0) {
        Strings out;
        for (const auto& f : vcam::trace().spi_frames(arch))
            if (f.rfind("05 ", 0) != 0) out.push_back(f);
        return out;
    }
    size_t flash_data_queries() {
        size_t n = 0;
        for (const auto& q : vcam::trace().queries()) n += q.selector == 3;
        return n;
    }
};

TEST_F(WriteProtect, UnknownFlashTypeIsRefusedWithoutQuery) {
    open_camera();
    EXPECT_EQ(OV_DisableSerialFlashWriteProtect(SFT_UNKNOW), 0);
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

// GPIO writes per configuration byte, format and ROM row. Chip 0x15 is a
// 64 KiB-ROM part, so the preset first ORs 0x1F into value and enable.
TEST_F(WriteProtect, ConfigurationBytePicksPinAndLevel) {
    struct Case {
        const char* what;
        unsigned row;
        uint8_t chip;
        int cfg;
        Strings gpio;  // writes to 0x1006, 0x1007, 0x17C1, 0x17C2
        int pin;
        bool level;
    } cases[] = {
        {"older 0x21: GPIO 2 low", ROM215V1, 0x15, 0x21,
         {"W 1006=1F", "W 1007=1F", "W 1007=1F", "W 1006=1B"}, 2, false},
        {"older 0x21 on ROM292", ROM292, 0x15, 0x21,
         {"W 1006=1F", "W 1007=1F", "W 1007=04", "W 1006=FB", "W 1006=FF", "W 1007=04",
          "W 17C1=01", "W 17C2=01"}, 2, true},
        {"newer 0x2A: mode 1, GPIO 2 low", ROM215V1, 0x15, 0x2A,
         {"W 1006=1F", "W 1007=1F", "W 1007=1F", "W 1006=1B"}, 2, false},
        {"0x2A on ROM283: older, no pin write", ROM283, 0x15, 0x2A,
         {"W 1006=1F", "W 1007=1F", "W 1006=1F", "W 1007=1F"}, 2, true},
        {"newer 0x59: low bits 1 drive high", ROM215V1, 0x15, 0x59,
         {"W 1006=1F", "W 1007=1F", "W 1007=3F", "W 1006=3F"}, 5, true},
        {"0x59 on ROM275V2: older, mode 1", ROM275V2, 0x15, 0x59,
         {"W 1006=1F", "W 1007=1F", "W 1007=3F", "W 1006=1F", "W 1006=1F", "W 1007=3F"}, 5,
         false},
        {"newer 0x5B: GPIO 5 high", ROM215V1, 0x15, 0x5B,
         {"W 1006=1F", "W 1007=1F", "W 1007=3F", "W 1006=3F"}, 5, true},
        {"0x30: pin mode 0", ROM215V1, 0x15, 0x30, {"W 1006=1F", "W 1007=1F"}, 6, false},
        {"chip 0x71: no byte, GPIO 7 high", ROM215V1, 0x71, -1,
         {"W 1006=1F", "W 1007=1F", "W 1007=9F", "W 1006=9F"}, 7, true},
        {"chip 0x16 reads 0x5834", ROM215V1, 0x16, 0x61,
         {"W 1006=1F", "W 1007=1F", "W 1007=5F", "W 1006=1F"}, 6, false},
        {"chip 0x33 reads 0x000F", ROM215V1, 0x33, 0x12,
         {"W 1006=1F", "W 1007=1F", "W 1007=1F", "W 1006=1F"}, 1, true},
        {"chip 0x76 reads 0xC034 (128 KiB ROM preset)", ROM215V1, 0x76, 0x42,
         {"W 1006=FF", "W 1007=FF", "W 1007=FF", "W 1006=FF"}, 4, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        open_row(c.row, c.chip, c.cfg);
        EXPECT_EQ(OV_DisableSerialFlashWriteProtect(SFT_MXIC), 1);
        EXPECT_EQ(writes_to({0x1006, 0x1007, 0x17C1, 0x17C2}), c.gpio);
        EXPECT_EQ(cam().part<vcam::Gpio>()->pin_level(c.pin), c.level);
        EXPECT_EQ(flash_data_queries(), c.cfg < 0 ? 0u : 2u);
    }
}

// Without its configuration byte the release drives no pin; WP# keeps the
// level the GPIO preset left (high). An unprotected flash takes the status
// write anyway, and so does a protected one released by a high WP#; one
// that needs WP# low keeps its block-protect bits, and the release says so.
TEST_F(WriteProtect, FailedConfigurationReadMeansNoPinAction) {
    struct Case {
        const char* what;
        bool locked, release_high;
        BOOL result;
    } cases[] = {
        {"unprotected", false, true, 1},
        {"protected, released by the preset level", true, true, 1},
        {"protected, released only by a low WP#", true, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        open_row(ROM215V1, 0x15, 0x21, c.locked, 0, c.release_high);
        cam().faults().fail_if = [](const vcam::QueryRecord& q) { return q.selector == 3; };
        EXPECT_EQ(OV_DisableSerialFlashWriteProtect(SFT_MXIC), c.result);
        EXPECT_EQ(writes_to({0x1006, 0x1007}), (Strings{"W 1006=1F", "W 1007=1F"}));
        EXPECT_EQ(chip().status() & 0x0C, c.result ? 0x00 : 0x0C);
        EXPECT_EQ(command_frames().back(), "M0") << "the release still runs to its end";
    }
}

TEST_F(WriteProtect, StatusRegisterReleaseSequenceByFlashType) {
    struct Case {
        int sft;
        Strings frames;
    } cases[] = {{SFT_SST, {"M1", "06", "50", "01 00", "M0"}},
                 {SFT_MXIC, {"M1", "06", "01 00", "M0"}},
                 {SFT_PMC, {"M1", "06", "01 00", "M0"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sft);
        vcam::Profile p = vcam::default_profile();
        p.flash_type = c.sft;
        p.start_protected = true;
        open_camera(p);
        EXPECT_EQ(OV_DisableSerialFlashWriteProtect(static_cast<SERIAL_FLASH_TYPE>(c.sft)), 1);
        Strings f = command_frames();
        EXPECT_EQ(Strings(f.begin() + static_cast<long>(f.size() - c.frames.size()), f.end()),
                  c.frames);
        EXPECT_EQ(chip().status(), 0) << "block protection and SRP are gone";
    }
}

TEST_F(WriteProtect, LiftsProtectionOnBothArchitectures) {
    struct Case {
        const char* profile;
        int arch;
        bool release_high;
    } cases[] = {{"default", 0, true}, {"second-arch", 1, true}, {"default", 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.profile) + (c.release_high ? " high" : " low"));
        vcam::Profile p;
        ASSERT_TRUE(vcam::find_profile(c.profile, &p));
        p.start_protected = true;
        p.wp_release_high = c.release_high;
        vcam::write_wp_config(p);
        open_camera(p);
        EXPECT_EQ(OV_DisableSerialFlashWriteProtect(SFT_MXIC), 1);
        EXPECT_EQ(chip().status(), 0);
        EXPECT_EQ(cam().part<vcam::Gpio>()->pin_level(p.wp_gpio), c.release_high);
        Strings f = command_frames(c.arch);
        ASSERT_GE(f.size(), 4u);
        EXPECT_EQ(Strings(f.end() - 4, f.end()), (Strings{"M1", "06", "01 00", "M0"}));
    }
}

TEST_F(WriteProtect, WrongPinLeavesTheStatusRegisterLocked) {
    // The configuration names GPIO 3 but WP# hangs on GPIO 2: the status
    // write is refused while SRP is set. The status poll after it still
    // reads the block-protect bits, so the release reports its failure,
    // with no query beyond the usual sequence.
    open_row(ROM215V1, 0x15, 0x32, true, 0, false);
    EXPECT_EQ(OV_DisableSerialFlashWriteProtect(SFT_MXIC), 0);
    Strings f = vcam::trace().spi_frames();
    ASSERT_GE(f.size(), 3u);
    EXPECT_EQ(Strings(f.end() - 3, f.end()), (Strings{"01 00", "05 <8C>", "M0"}));
    const vcam::NorFlash::Command* wrsr = nullptr;
    for (const auto& c : chip().commands())
        if (c.bytes[0] == 0x01) wrsr = &c;
    ASSERT_NE(wrsr, nullptr);
    EXPECT_EQ(wrsr->outcome, vcam::NorFlash::HW_PROTECTED);
    EXPECT_NE(chip().status() & vcam::sr::SRP, 0);
}

TEST_F(WriteProtect, SecondArchitectureChipUsesItsOwnMasterAndTheFixedGpioPort) {
    vcam::Profile p;
    ASSERT_TRUE(vcam::find_profile("second-arch", &p));
    open_camera(p);
    EXPECT_EQ(OV_DisableSerialFlashWriteProtect(SFT_MXIC), 1);
    EXPECT_EQ(flash_data_queries(), 0u) << "chip 0x85 has no configuration byte";
    EXPECT_EQ(writes_to({0x8201, 0x8202, 0x1006, 0x1007}),
              (Strings{"W 8201=FF", "W 8202=FF", "W 1007=FF", "W 1006=FF"}));
    EXPECT_EQ(sfModeAddr, 0x8E00);
    Strings f = command_frames(1);
    EXPECT_EQ(Strings(f.end() - 4, f.end()), (Strings{"M1", "06", "01 00", "M0"}));
}

TEST_F(WriteProtect, CompactModeWithMemoryTypeTwoSkipsTheStatusRelease) {
    open_row(ROM290V2, 0x15, 0x22, true, 2);
    EXPECT_EQ(OV_DisableSerialFlashWriteProtect(SFT_MXIC), 1);
    EXPECT_TRUE(command_frames().size() > 0);
    for (const auto& s : vcam::trace().spi_log()) EXPECT_NE(s.rfind("mode", 0), 0u) << s;
    EXPECT_NE(chip().status(), 0) << "the status register is left alone";

    open_row(ROM290V2, 0x15, 0x22, true, 1);
    EXPECT_EQ(OV_DisableSerialFlashWriteProtect(SFT_MXIC), 1);
    EXPECT_EQ(chip().status(), 0);
}

TEST_F(WriteProtect, FirmwareCommandBytesOnRowsThatTakeThem) {
    struct Case {
        const char* what;
        int cfg;
        int sft;
        BYTE cmd_id;
        BOOL result;
        Strings writes;
    } cases[] = {
        {"older, MXIC", 0x22, SFT_MXIC, 0, 1,
         {"W 05F3=06", "W 05F8=12", "W 05F9=12", "W 05FA=ED", "W 05FB=ED", "W 05F5=02"}},
        {"older, SST", 0x22, SFT_SST, 0, 1,
         {"W 05F3=06", "W 05F8=12", "W 05F9=12", "W 05FA=ED", "W 05FB=ED", "W 05F5=AF"}},
        {"newer, row 0", 0x2B, SFT_MXIC, 0, 1,
         {"W 05F3=04", "W 05F8=12", "W 05F9=12", "W 05FA=ED", "W 05FB=ED", "W 05F5=03"}},
        {"newer, row 4", 0x2B, SFT_MXIC, 4, 1,
         {"W 05F3=06", "W 05F8=12", "W 05F9=12", "W 05FA=ED", "W 05FB=ED", "W 05F5=AF"}},
        {"newer, row past the table", 0x2B, SFT_MXIC, 5, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        open_row(ROM256V1, 0x15, c.cfg);
        ubSFLib_CmdID = c.cmd_id;
        EXPECT_EQ(OV_DisableSerialFlashWriteProtect(static_cast<SERIAL_FLASH_TYPE>(c.sft)),
                  c.result);
        EXPECT_EQ(writes_to({0x05F3, 0x05F5, 0x05F8, 0x05F9, 0x05FA, 0x05FB}), c.writes);
    }
}

TEST_F(WriteProtect, RowsWithoutFirmwareCommandsLeaveThemAlone) {
    open_row(ROM215V1, 0x15, 0x22);
    EXPECT_EQ(OV_DisableSerialFlashWriteProtect(SFT_MXIC), 1);
    EXPECT_TRUE(writes_to({0x05F3, 0x05F5}).empty());
}

TEST_F(WriteProtect, IdentificationFailureWritesNothing) {
    vcam::Profile p = vcam::default_profile();
    p.rom_string[0] = '9';  // no known revision
    open_camera(p);
    EXPECT_EQ(OV_DisableSerialFlashWriteProtect(SFT_MXIC), 0);
    EXPECT_TRUE(vcam::trace().register_writes().empty());

    p = vcam::default_profile();
    p.chip_id = 0x01;  // not a known chip
    open_camera(p);
    EXPECT_EQ(OV_DisableSerialFlashWriteProtect(SFT_MXIC), 0);
    EXPECT_TRUE(vcam::trace().register_writes().empty());
}

TEST_F(WriteProtect, FailedStepInTheStatusReleaseStops) {
    open_row(ROM215V1, 0x15, 0x22, true);
    // Refuse the write-status byte's data register write.
    cam().faults().fail_if = [](const vcam::QueryRecord& q) {
        return orvex_test::accesses_register(q, 0x1082, 0x01);
    };
    orvex_test::capture([] { EXPECT_EQ(OV_DisableSerialFlashWriteProtect(SFT_MXIC), 0); });
    EXPECT_NE(chip().status(), 0);
    EXPECT_EQ(vcam::trace().spi_log().back(), "tx 01 !");
}

}  // namespace

// Serial-flash commands through the SPI master: byte protocol, polls,
// erase commands per flash type, and the chip's reaction to them.
#include <algorithm>
#include <functional>

#include "orvex_test.h"
#include "serial_flash.h"

using Strings = std::vector<std::string>;

namespace {

class SerialFlash : public orvex_test::CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        open_camera();
    }
    vcam::Camera& open_with(int flash_type, bool start_protected = false) {
        vcam::Profile p = vcam::default_profile();
        p.flash_type = flash_type;
        p.start_protected = start_protected;
        return open_camera(p);
    }
    vcam::NorFlash& chip() { return *cam().part<vcam::NorFlash>(); }
    void fill(uint32_t from, uint32_t n, uint8_t v) {
        std::fill_n(cam().flash().begin() + from, n, v);
    }
    // Sends one frame through the library's own register functions,
    // waiting for the master after each byte as the library does.
    void frame(std::initializer_list<BYTE> bytes) {
        OV_WriteToASIC(sfCSAddr, 0);
        for (BYTE b : bytes) {
            OV_WriteToASIC(sfWriteDataAddr, b);
            OV_WriteToASIC(sfReadWriteTriggerAddr, 1);
            OV_SFWaitReady();
        }
        OV_WriteToASIC(sfCSAddr, 1);
    }
};

TEST_F(SerialFlash, SectorEraseFramesAndCommandByType) {
    struct Case {
        int sft;
        const char* cmd;
    } cases[] = {{SFT_MXIC, "20"}, {SFT_ST, "D8"},   {SFT_PMC, "D7"},    {SFT_GIGA, "20"},
                 {SFT_SST, "20"},  {SFT_WINBOND, "20"}, {SFT_FENTECH, "20"}, {15, "20"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sft);
        vcam::trace().clear();
        EXPECT_EQ(OV_EraseSectorForSerialFlash(0x30000, static_cast<SERIAL_FLASH_TYPE>(c.sft)), 1);
        EXPECT_EQ(vcam::trace().spi_frames(), (Strings{"M1", "06", std::string(c.cmd) + " 03 00 00", "M0"}));
        EXPECT_EQ(vcam::trace().spi_log().size(), 11u) << "no status poll after the erase command";
    }
}

TEST_F(SerialFlash, BlockEraseCommandByType) {
    struct Case {
        int sft;
        const char* cmd;
    } cases[] = {{SFT_GIGA, "D8"}, {SFT_ST, "D8"},   {SFT_FENTECH, "D8"},
                 {SFT_PMC, "52"},  {SFT_MXIC, "52"}, {SFT_SST, "52"},    {20, "52"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sft);
        vcam::trace().clear();
        EXPECT_EQ(OV_EraseBlockForSerialFlash(0x12345, static_cast<SERIAL_FLASH_TYPE>(c.sft)), 1);
        EXPECT_EQ(vcam::trace().spi_frames(), (Strings{"M1", "06", std::string(c.cmd) + " 01 23 45", "M0"}));
    }
}

TEST_F(SerialFlash, UnknownTypeIsRefusedByTheAddressedErasesOnly) {
    EXPECT_EQ(OV_EraseSectorForSerialFlash(0x1000, SFT_UNKNOW), 0);
    EXPECT_EQ(OV_EraseBlockForSerialFlash(0x1000, SFT_UNKNOW), 0);
    EXPECT_EQ(vcam::trace().query_count(), 0u);
    fill(0, 0x100, 0x00);
    EXPECT_EQ(OV_SerialFlashErase(SFT_UNKNOW), 1);
    Strings f = vcam::trace().spi_frames();
    ASSERT_GE(f.size(), 4u);
    EXPECT_EQ(Strings(f.begin(), f.begin() + 3), (Strings{"M1", "06", "60"}));
    EXPECT_EQ(f.back(), "M0");
    EXPECT_EQ(cam().flash()[0], 0xFF);
}

TEST_F(SerialFlash, ChipEraseSequenceByTypeAndTheChipIsErased) {
    struct Case {
        int sft;
        Strings frames;
    } cases[] = {
        {SFT_SST, {"M1", "50", "01 00", "06", "60"}},
        {SFT_WINBOND, {"M1", "06", "C7"}},
        {SFT_ST, {"M1", "06", "C7"}},
        {SFT_PMC, {"M1", "06", "C7"}},
        {SFT_MXIC, {"M1", "06", "60"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sft);
        // SST parts come up with their block-protect bits set; the status
        // write in front of the erase is what lets it through.
        open_with(c.sft);
        if (c.sft == SFT_SST) chip().set_status(0x0C);
        fill(0x100, 0x10, 0x00);
        EXPECT_EQ(OV_SerialFlashErase(static_cast<SERIAL_FLASH_TYPE>(c.sft)), 1);
        Strings f = vcam::trace().spi_frames();
        ASSERT_GT(f.size(), c.frames.size() + 1);
        EXPECT_EQ(Strings(f.begin(), f.begin() + static_cast<long>(c.frames.size())), c.frames);
        EXPECT_EQ(f.back(), "M0");
        EXPECT_EQ(f[f.size() - 2].substr(f[f.size() - 2].size() - 7), "05 <00>");
        EXPECT_EQ(cam().flash()[0x100], 0xFF);
        EXPECT_FALSE(chip().busy()) << "chip erase returns only when the flash is done";
    }
}

// Each query of an erase fails in turn. A failed register write, or a
// status read that fails, stops the sequence: the master gets host mode 0
// once and nothing else, and the result is 0. A failed ready-bit read only
// counts as "not ready yet", so the poll reads again and the erase goes on.
// No stop may ever let a trigger send a stale data register: nothing
// outside the target range changes.
TEST_F(SerialFlash, AFailedStepStopsTheEraseAndHandsTheMasterBack) {
    struct Case {
        const char* what;
        std::function<BOOL()> run;
        uint32_t from, to;  // the range the erase may touch
        long max_k;         // queries to fail, counted from the first
    } cases[] = {
        {"sector", [] { return OV_EraseSectorForSerialFlash(0x31000, SFT_MXIC); }, 0x31000, 0x32000,
         1000},
        {"block", [] { return OV_EraseBlockForSerialFlash(0x31000, SFT_MXIC); }, 0x30000, 0x40000,
         1000},
        // The busy readings of the status poll repeat one pattern; the
        // first forty queries cover the command frames and the first reads.
        {"chip", [] { return OV_SerialFlashErase(SFT_MXIC); }, 0, vcam::kFlashSize, 40},
    };
    const uint16_t mode = vcam::arch_map(0).sf_mode, ready = vcam::arch_map(0).sf_ready;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        open_camera();
        ASSERT_EQ(c.run(), 1);
        const long n = std::min<long>(static_cast<long>(vcam::trace().query_count()), c.max_k);
        for (long k = 1; k <= n; ++k) {
            SCOPED_TRACE(k);
            open_camera();
            fill(0, vcam::kFlashSize, 0x00);
            vcam::trace().clear();
            cam().faults().fail_query_n = cam().query_count() + k;
            BOOL r = 0;
            orvex_test::capture([&] { r = c.run(); });
            vcam::advance_us(3000000);
            auto acc = vcam::trace().register_accesses();
            auto failed = std::find_if(acc.begin(), acc.end(), [](const auto& a) { return !a.ok; });
            ASSERT_NE(failed, acc.end());
            const bool only_not_ready = !failed->write && failed->addr == ready;
            EXPECT_EQ(r, only_not_ready ? 1 : 0);
            ASSERT_TRUE(acc.back().write && acc.back().addr == mode && acc.back().value == 0);
            if (!only_not_ready) {
                EXPECT_TRUE(failed + 1 == acc.end() || failed + 2 == acc.end())
                    << "after the failed step only host mode 0 is written";
            }
            long mode_off = std::count_if(acc.begin(), acc.end(), [&](const auto& a) {
                return a.write && a.addr == mode && a.value == 0;
            });
            EXPECT_EQ(mode_off, 1);
            for (uint32_t a = 0; a < vcam::kFlashSize; ++a) {
                if (a >= c.from && a < c.to) {
                    if (r == 1) {
                        ASSERT_EQ(cam().flash()[a], 0xFF) << std::hex << a;
                    }
                    continue;
                }
                ASSERT_EQ(cam().flash()[a], 0x00) << std::hex << a;
            }
        }
    }
}

TEST_F(SerialFlash, EraseWithoutAReadyBitFailsAfterItsFirstByte) {
    cam().regs().map(vcam::arch_map(0).sf_ready, [](uint16_t) { return uint8_t{0xFE}; }, nullptr);
    fill(0, 0x1000, 0x00);
    Strings expected{"mode 1", "sel", "tx 06"};
    expected.insert(expected.end(), 50, "sleep 1000");
    expected.push_back("mode 0");
    EXPECT_EQ(OV_EraseSectorForSerialFlash(0x0, SFT_MXIC), 0);
    EXPECT_EQ(vcam::trace().spi_log(), expected);
    vcam::trace().clear();
    EXPECT_EQ(OV_SerialFlashErase(SFT_MXIC), 0);
    EXPECT_EQ(vcam::trace().spi_log(), expected);
    vcam::advance_us(3000000);
    EXPECT_EQ(cam().flash()[0], 0x00);
}

TEST_F(SerialFlash, ChipEraseWhoseStatusPollGivesUpFails) {
    cam().regs().map(vcam::arch_map(0).sf_read_data, [](uint16_t) { return uint8_t{0x01}; }, nullptr);
    EXPECT_EQ(OV_SerialFlashErase(SFT_MXIC), 0);
    EXPECT_EQ(vcam::trace().sleep_count(1000), 10000u);
    Strings f = vcam::trace().spi_frames();
    ASSERT_GE(f.size(), 4u);
    EXPECT_EQ(Strings(f.begin(), f.begin() + 3), (Strings{"M1", "06", "60"}));
    EXPECT_EQ(f[3], "M0") << "host mode off once, the flash still selected";
    EXPECT_EQ(vcam::trace().spi_log().back(), "mode 0");
}

TEST_F(SerialFlash, FailedClosingModeWriteFailsTheErase) {
    cam().faults().fail_if = [](const vcam::QueryRecord& q) {
        return orvex_test::accesses_register(q, 0x1080, 0);
    };
    orvex_test::capture([] {
        EXPECT_EQ(OV_EraseSectorForSerialFlash(0x30000, SFT_MXIC), 0);
        EXPECT_EQ(OV_SerialFlashErase(SFT_MXIC), 0);
    });
    Strings log = vcam::trace().spi_log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "mode 0 !"), 2)
        << "one closing write each, not repeated";
}

TEST_F(SerialFlash, StatusPollRepeatsUntilNotBusyWithoutReleasingInBetween) {
    // A page program keeps the flash busy for 1.4 ms: the poll reads busy
    // (WIP and WEL) twice, sleeping after each, then idle.
    OV_WriteToASIC(sfModeAddr, 1);
    frame({0x06});
    frame({0x02, 0x00, 0x10, 0x00, 0x5A});
    vcam::trace().clear();
    EXPECT_EQ(OV_SFCMDreadStatus(), 1);
    EXPECT_EQ(vcam::trace().spi_log(), (Strings{"sel", "tx 05", "rx 03", "sleep 1000", "sel", "tx 05", "rx 03",
                                  "sleep 1000", "sel", "tx 05", "rx 00", "rel"}));
    EXPECT_EQ(cam().flash()[0x1000], 0x5A);
}

TEST_F(SerialFlash, StatusPollGivesUpAfterTenThousandBusyReadings) {
    const vcam::ArchMap& m = vcam::arch_map(0);
    cam().regs().map(m.sf_read_data, [](uint16_t) { return uint8_t{0x01}; }, nullptr);
    OV_WriteToASIC(sfModeAddr, 1);
    vcam::trace().clear();
    EXPECT_EQ(OV_SFCMDreadStatus(), 0);
    EXPECT_EQ(vcam::trace().sleep_count(1000), 10000u);
    EXPECT_TRUE(chip().selected()) << "the flash is left selected";
}

TEST_F(SerialFlash, StatusPollStopsAtTheFirstFailedAccess) {
    OV_WriteToASIC(sfModeAddr, 1);
    vcam::trace().clear();
    cam().faults().fail_query_n = cam().query_count() + 3;  // the trigger of the 0x05
    orvex_test::capture([] { EXPECT_EQ(OV_SFCMDreadStatus(), 0); });
    EXPECT_EQ(vcam::trace().spi_log(), (Strings{"sel", "tx 05 !"}));
}

TEST_F(SerialFlash, ReadyPollGivesUpAfterFiftySleeps) {
    cam().regs().map(vcam::arch_map(0).sf_ready, [](uint16_t) { return uint8_t{0xFE}; }, nullptr);
    EXPECT_EQ(OV_SFWaitReady(), 0);
    EXPECT_EQ(vcam::trace().sleeps(), std::vector<uint64_t>(50, 1000));
    EXPECT_EQ(vcam::trace().register_log(), Strings(50, "R 1084"));
}

TEST_F(SerialFlash, SectorEraseErasesOnlyItsAlignedSectorAndTakesTime) {
    fill(0x2F000, 0x3000, 0x00);
    EXPECT_EQ(OV_EraseSectorForSerialFlash(0x30123, SFT_MXIC), 1);
    EXPECT_TRUE(chip().busy());
    EXPECT_EQ(chip().status(), vcam::sr::WIP | vcam::sr::WEL);
    vcam::advance_us(40000);
    EXPECT_EQ(chip().status(), 0) << "WEL is cleared when the erase is done";
    EXPECT_EQ(cam().flash()[0x2FFFF], 0x00);
    EXPECT_EQ(cam().flash()[0x30000], 0xFF);
    EXPECT_EQ(cam().flash()[0x30FFF], 0xFF);
    EXPECT_EQ(cam().flash()[0x31000], 0x00);
}

TEST_F(SerialFlash, FamiliesEraseTheirOwnSizes) {
    struct Case {
        int type;
        uint8_t opcode;
        uint32_t size;
    } cases[] = {{SFT_ST, 0xD8, 0x10000}, {SFT_PMC, 0xD7, 0x1000},    {SFT_MXIC, 0x52, 0x10000},
                 {SFT_SST, 0x52, 0x8000}, {SFT_GIGA, 0xD8, 0x10000}, {SFT_WINBOND, 0x20, 0x1000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        open_with(c.type);
        std::fill(cam().flash().begin(), cam().flash().end(), 0x00);
        OV_WriteToASIC(sfModeAddr, 1);
        frame({0x06});
        frame({c.opcode, 0x01, 0x80, 0x00});
        OV_WriteToASIC(sfModeAddr, 0);
        ASSERT_EQ(chip().commands().back().outcome, vcam::NorFlash::DONE);
        uint32_t base = 0x18000 & ~(c.size - 1);
        EXPECT_EQ(cam().flash()[base - 1], 0x00);
        EXPECT_EQ(cam().flash()[base], 0xFF);
        EXPECT_EQ(cam().flash()[base + c.size - 1], 0xFF);
        EXPECT_EQ(cam().flash()[base + c.size], 0x00);
    }
}

// What the chip refuses, as a table of command sequences and outcomes.
TEST_F(SerialFlash, ChipRefusesWhatARealPartRefuses) {
    using O = vcam::NorFlash::Outcome;
    struct Case {
        const char* what;
        int type;
        bool start_protected;
        std::vector<std::vector<BYTE>> frames;
        O last;
    } cases[] = {
        {"erase without write enable", SFT_MXIC, false, {{0x20, 0x00, 0x10, 0x00}}, O::NO_WEL},
        {"erase of a protected sector", SFT_MXIC, true, {{0x06}, {0x20, 0x00, 0x10, 0x00}},
         O::PROTECTED},
        {"chip erase while protected", SFT_MXIC, true, {{0x06}, {0x60}}, O::PROTECTED},
        {"write disable drops the latch", SFT_MXIC, false, {{0x06}, {0x04}, {0x20, 0, 0, 0}},
         O::NO_WEL},
        {"latch is gone after an erase", SFT_MXIC, false,
         {{0x06}, {0x20, 0x00, 0x10, 0x00}, {0x20, 0x00, 0x20, 0x00}}, O::BUSY},
        {"opcode the family lacks", SFT_ST, false, {{0x06}, {0x20, 0x00, 0x10, 0x00}}, O::UNKNOWN},
        {"0x50 is unknown outside SST", SFT_MXIC, false, {{0x50}}, O::UNKNOWN},
        {"address cut short", SFT_MXIC, false, {{0x06}, {0x20, 0x00, 0x10}}, O::BAD_LENGTH},
        {"status write without enable", SFT_MXIC, true, {{0x01, 0x00}}, O::NO_WEL},
        {"status write locked by WP#", SFT_MXIC, true, {{0x06}, {0x01, 0x00}}, O::HW_PROTECTED},
        {"SST status write after 0x50", SFT_SST, false, {{0x50}, {0x01, 0x0C}}, O::DONE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        open_with(c.type, c.start_protected);
        std::fill(cam().flash().begin(), cam().flash().end(), 0x00);
        OV_WriteToASIC(sfModeAddr, 1);
        for (const auto& f : c.frames) {
            OV_WriteToASIC(sfCSAddr, 0);
            for (BYTE b : f) {
                OV_WriteToASIC(sfWriteDataAddr, b);
                OV_WriteToASIC(sfReadWriteTriggerAddr, 1);
                OV_SFWaitReady();
            }
            OV_WriteToASIC(sfCSAddr, 1);
        }
        ASSERT_FALSE(chip().commands().empty());
        EXPECT_EQ(chip().commands().back().outcome, c.last);
        if (c.last != O::DONE) {
            EXPECT_EQ(cam().flash()[0x2000], 0x00);
        }
    }
}

TEST_F(SerialFlash, WithoutHostModeTheMasterDoesNotReachTheFlash) {
    fill(0x1000, 0x1000, 0x00);
    frame({0x06});
    frame({0x20, 0x00, 0x10, 0x00});
    EXPECT_TRUE(chip().commands().empty());
    EXPECT_EQ(cam().part<vcam::SpiMaster>()->ignored_triggers, 5);
    EXPECT_EQ(cam().flash()[0x1000], 0x00);
}

TEST_F(SerialFlash, FirmwareProgramIsRefusedWhileProtectedOrBusy) {
    open_with(SFT_MXIC, true);
    BYTE v = 0x12;
    EXPECT_EQ(OV_WriteDataToFlash(0x100, &v, 1), 1) << "the firmware acknowledges anyway";
    EXPECT_EQ(cam().flash()[0x100], 0xFF);

    open_with(SFT_MXIC);
    EXPECT_EQ(OV_EraseSectorForSerialFlash(0x0, SFT_MXIC), 1);
    EXPECT_EQ(OV_WriteDataToFlash(0x100, &v, 1), 1);
    EXPECT_EQ(cam().flash()[0x100], 0xFF) << "the erase is still running";
    BYTE r[2] = {0, 0};
    EXPECT_EQ(OV_ReadDataFormFlash(0x100, r, 2), 1);
    EXPECT_EQ(r[0], 0xFF);
    vcam::advance_us(40000);
    EXPECT_EQ(OV_WriteDataToFlash(0x100, &v, 1), 1);
    EXPECT_EQ(cam().flash()[0x100], 0x12);
}

// The firmware's program ends with the latch cleared, as every program
// does, whether the chip took it or refused it for protection: an erase
// that follows without its own write enable is refused.
TEST_F(SerialFlash, NoWriteEnableOutlivesAFirmwareProgram) {
    struct Case {
        const char* what;
        uint8_t status;  // block protection in force
        uint32_t program_at;
        uint8_t programmed;  // what the flash then holds there
    } cases[] = {
        {"program taken", 0x00, 0x100, 0x12},
        {"program refused in the protected top quarter", 0x04, 0x30100, 0x00},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        open_with(SFT_MXIC);
        std::fill(cam().flash().begin(), cam().flash().end(), 0x00);
        cam().flash()[0x100] = 0xFF;
        chip().set_status(c.status);
        OV_WriteToASIC(sfModeAddr, 1);
        frame({0x06});
        ASSERT_TRUE(chip().status() & vcam::sr::WEL);
        OV_WriteToASIC(sfModeAddr, 0);
        BYTE v = 0x12;
        ASSERT_EQ(OV_WriteDataToFlash(c.program_at, &v, 1), 1);
        EXPECT_EQ(cam().flash()[c.program_at], c.programmed);
        EXPECT_EQ(chip().status() & vcam::sr::WEL, 0);
        OV_WriteToASIC(sfModeAddr, 1);
        frame({0x20, 0x00, 0x10, 0x00});
        ASSERT_FALSE(chip().commands().empty());
        EXPECT_EQ(chip().commands().back().outcome, vcam::NorFlash::NO_WEL);
        EXPECT_EQ(cam().flash()[0x1000], 0x00);
    }
}

// A partial block-protect level guards only the top of the array: the
// first sector below it erases and programs as usual, through the SPI
// master and the firmware's path alike.
TEST_F(SerialFlash, PartialBlockProtectionRefusesOnlyItsRange) {
    using O = vcam::NorFlash::Outcome;
    struct Case {
        const char* what;
        int type;
        uint8_t status;
        uint32_t protected_from;
    } cases[] = {
        {"top quarter, two BP bits", SFT_MXIC, 0x04, 0x30000},
        {"top half, two BP bits", SFT_MXIC, 0x08, 0x20000},
        {"top quarter, three BP bits", SFT_WINBOND, 0x04, 0x30000},
        {"top half, three BP bits", SFT_WINBOND, 0x08, 0x20000},
        {"whole array", SFT_MXIC, 0x0C, 0x00000},
    };
    for (const auto& c : cases) {
        for (uint32_t sector : {c.protected_from - 0x1000, c.protected_from}) {
            if (sector > vcam::kFlashSize) continue;  // nothing lies below the whole array
            const bool refused = sector >= c.protected_from;
            SCOPED_TRACE(std::string(c.what) + (refused ? ", inside" : ", below"));
            open_with(c.type);
            chip().set_status(c.status);
            OV_WriteToASIC(sfModeAddr, 1);
            fill(sector, 0x1000, 0x00);
            frame({0x06});
            frame({0x20, static_cast<BYTE>(sector >> 16), static_cast<BYTE>(sector >> 8), 0x00});
            ASSERT_FALSE(chip().commands().empty());
            EXPECT_EQ(chip().commands().back().outcome, refused ? O::PROTECTED : O::DONE);
            vcam::advance_us(1000000);
            EXPECT_EQ(cam().flash()[sector + 0x800], refused ? 0x00 : 0xFF);

            fill(sector, 0x1000, 0xFF);
            frame({0x06});
            frame({0x02, static_cast<BYTE>(sector >> 16), static_cast<BYTE>(sector >> 8), 0x10, 0x5A});
            EXPECT_EQ(chip().commands().back().outcome, refused ? O::PROTECTED : O::DONE);
            vcam::advance_us(10000);
            EXPECT_EQ(cam().flash()[sector + 0x10], refused ? 0xFF : 0x5A);

            BYTE v = 0x33;
            ASSERT_EQ(OV_WriteDataToFlash(sector + 0x20, &v, 1), 1);
            EXPECT_EQ(cam().flash()[sector + 0x20], refused ? 0xFF : 0x33);
        }
    }
}

TEST_F(SerialFlash, SecondArchitectureMasterAnswersOnlyAtItsOwnMap) {
    vcam::Profile p;
    ASSERT_TRUE(vcam::find_profile("second-arch", &p));
    open_camera(p);
    std::fill(cam().flash().begin(), cam().flash().end(), 0x00);
    // With the first map still in force nothing reaches the flash, and the
    // ready bit never shows: the erase stops after its first byte.
    EXPECT_EQ(OV_EraseSectorForSerialFlash(0x0, SFT_MXIC), 0);
    EXPECT_TRUE(chip().commands().empty());
    EXPECT_EQ(cam().flash()[0], 0x00);

    // The second map's serial-flash registers, as the camera lays them out.
    const vcam::ArchMap& second = vcam::arch_map(1);
    sfRdyAddr = second.sf_ready;
    sfModeAddr = second.sf_mode;
    sfCSAddr = second.sf_cs;
    sfWriteDataAddr = second.sf_write_data;
    sfReadDataAddr = second.sf_read_data;
    sfReadWriteTriggerAddr = second.sf_trigger;
    vcam::trace().clear();
    EXPECT_EQ(OV_EraseSectorForSerialFlash(0x0, SFT_MXIC), 1);
    EXPECT_EQ(vcam::trace().spi_frames(1), (Strings{"M1", "06", "20 00 00 00", "M0"}));
    EXPECT_EQ(cam().flash()[0], 0xFF);
}

}  // namespace

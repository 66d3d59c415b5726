// flash write, erase and verify against the flash's regions: the unit's
// calibration records and identification sectors are only touched when
// asked, and a dry run changes nothing.
#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

TEST_F(Orvexctl, WritesStayOutOfTheUnitsOwnSectorsUnlessAsked) {
    std::string img = firmware_image();
    spill(dir + "/small.bin", std::string(64, '\x5A'));
    struct Case {
        const char* addr;
        bool unit_data;
    } cases[] = {
        {"0x01000", false},  // firmware
        {"0x19F00", true},   // sector of identification block 1
        {"0x18FF0", true},   // the last 16 bytes cross into it
        {"0x31000", true},   // calibration records
        {"0x36000", false},  // free
        {"0x3F800", true},   // sector of identification block 2
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.addr);
        std::string before = flash();
        Result r = run(std::string("flash write ") + c.addr + " small.bin", "--trace trace.txt");
        if (c.unit_data) {
            EXPECT_EQ(r.code, 7) << r.err;
            EXPECT_NE(r.err.find("--include-calibration"), std::string::npos) << r.err;
            EXPECT_TRUE(flash() == before);
            EXPECT_EQ(trace_writes(dir + "/trace.txt", true), 0);
            // A dry run with the flag says what would change, and changes nothing.
            json plan = run_json(std::string("flash write --dry-run --include-calibration ") + c.addr + " small.bin");
            EXPECT_GE(plan["sectors_to_rewrite"].get<int>(), 1);
            EXPECT_TRUE(flash() == before);
        } else {
            EXPECT_EQ(r.code, 0) << r.err;
            EXPECT_EQ(flash().substr(std::stoul(c.addr, nullptr, 16), 64), std::string(64, '\x5A'));
        }
    }
    // The firmware image written over the rest of the flash: it would have
    // wiped the calibration and both identification blocks.
    std::string before = flash();
    Result r = run("flash write 0x10000 fw.bin");
    EXPECT_EQ(r.code, 7) << r.err;
    EXPECT_NE(r.err.find("calibration records"), std::string::npos) << r.err;
    EXPECT_TRUE(flash() == before);
}

TEST_F(Orvexctl, EraseAndVerify) {
    ASSERT_EQ(run("flash dump -o full.bin").code, 0);
    json same = run_json("flash verify full.bin");
    EXPECT_EQ(same["identical"], true);

    spill(dir + "/data.bin", std::string(0x1800, '\x11'));
    ASSERT_EQ(run("flash write 0x36800 data.bin").code, 0);
    json diff = run_json("flash verify full.bin", 6);
    EXPECT_EQ(diff["first_difference"], "0x36800");
    EXPECT_EQ(diff["bytes_differing"], 0x1800);
    EXPECT_EQ(diff["differing_by_region"]["free"], 0x1800);
    EXPECT_EQ(run_json("flash verify --addr 0x36800 data.bin")["identical"], true);

    std::string before = flash();
    EXPECT_EQ(run_json("flash erase --dry-run 0x36000 0x2000")["sectors_to_erase"], 2);
    EXPECT_TRUE(flash() == before);
    json e = run_json("flash erase 0x36000 0x3000");
    EXPECT_EQ(e["sectors_erased"], 2);
    EXPECT_EQ(e["sectors_already_blank"], 1);
    EXPECT_EQ(run_json("flash verify full.bin")["identical"], true);

    before = flash();
    struct Refusal {
        const char* args;
        int code;
    } refusals[] = {{"flash erase 0x36100 0x1000", 2}, {"flash erase 0x30000 0x1000", 7},
                    {"flash erase 0x3F000 0x1000", 7}, {"flash erase 0x3F000 0x2000", 2}};
    for (const auto& c : refusals) {
        SCOPED_TRACE(c.args);
        EXPECT_EQ(run(c.args).code, c.code);
        EXPECT_TRUE(flash() == before);
    }
    // Asked for, the calibration's sector goes.
    ASSERT_EQ(run("flash erase --include-calibration 0x32000 0x1000").code, 0);
    EXPECT_EQ(flash().substr(0x32000, 0x1000), std::string(0x1000, '\xFF'));
}

}  // namespace

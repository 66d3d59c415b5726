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

namespace {

// flash read, write, verify and erase take a region by the library's name
// where they take an address; a region is always whole.
TEST_F(Orvexctl, FlashCommandsTakeRegionsByName) {
    ASSERT_EQ(run("flash dump -o full.bin").code, 0);
    const std::string full = slurp(dir + "/full.bin");
    struct Read {
        const char* region;
        size_t from, len;
    } reads[] = {{"firmware", 0, 0x30000},           {"calibration", 0x30000, 0x5000},
                 {"identification-1", 0x19000, 0x1000}, {"identification-2", 0x3F000, 0x1000},
                 {"whole", 0, 0x40000}};
    for (const auto& c : reads) {
        SCOPED_TRACE(c.region);
        Result r = run(std::string("flash read ") + c.region + " -o region.bin");
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(slurp(dir + "/region.bin") == full.substr(c.from, c.len));
        EXPECT_EQ(run(std::string("flash verify ") + c.region + " region.bin").code, 0);
        EXPECT_EQ(run(std::string("flash verify region.bin --addr ") + c.region).code, 0);
    }
    // A whole-region write takes the image without an address; the
    // guards of the unit's own sectors still hold.
    std::string before = flash();
    spill(dir + "/fw0.bin", full.substr(0, 0x30000));
    Result guarded = run("flash write firmware fw0.bin");
    EXPECT_EQ(guarded.code, 7) << guarded.err;
    EXPECT_NE(guarded.err.find("identification block 1"), std::string::npos) << guarded.err;
    spill(dir + "/free.bin", std::string(0xA000, '\x42'));
    Result w = run("flash write free free.bin");
    EXPECT_EQ(w.code, 0) << w.err;
    EXPECT_EQ(flash().substr(0x35000, 0xA000), std::string(0xA000, '\x42'));
    EXPECT_EQ(flash().substr(0, 0x35000), before.substr(0, 0x35000));
    json e = run_json("flash erase free");
    EXPECT_EQ(e["sectors_erased"], 10);
    EXPECT_EQ(flash().substr(0x35000, 0xA000), std::string(0xA000, '\xFF'));
    EXPECT_EQ(run("flash erase calibration").code, 7);

    // Wrong uses, before any device access.
    struct Bad {
        const char* args;
        const char* says;
    } bad[] = {
        {"flash read identification -o x", "did you mean identification-1 or identification-2?"},
        {"flash read firmwar -o x", "'firmwar' is neither a flash address nor a region"},
        {"flash read calibration 16 -o x", "a region is read whole"},
        {"flash read 0x30000 -o x", "give the length"},
        {"flash erase free 0x1000", "a region is erased whole"},
        {"flash write calibration fw0.bin", "is larger than the calibration region 0x30000-0x34FFF"},
        {"flash verify free fw0.bin --addr 0", "give the address once"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.args);
        Result r = run(c.args);
        EXPECT_EQ(r.code, 2) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

// Flash addresses read as decimal unless written with 0x, as everywhere
// in the tool; a bare number where the digits would mean another address
// in hex is noted, so that `flash read 30000 16` cannot pass unnoticed.
TEST_F(Orvexctl, ABareDecimalFlashAddressIsNoted) {
    const std::string full = (run("flash dump -o full.bin"), slurp(dir + "/full.bin"));
    Result r = run("flash read 30000 16 -o x.bin");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("note: flash address 30000 is decimal, 0x07530; write 0x30000 for hex"), std::string::npos)
        << r.err;
    EXPECT_TRUE(slurp(dir + "/x.bin") == full.substr(30000, 16));
    struct Case {
        const char* args;
        bool noted;
    } cases[] = {{"flash read 0x30000 16 -o x.bin", false}, {"flash read 0 16 -o x.bin", false},
                 {"flash read 7 16 -o x.bin", false},       {"flash read 196608 16 -o x.bin", true},
                 {"flash verify x.bin --addr 4096", true},  {"flash verify 0X1000 x.bin", false},
                 {"-q flash read 30000 16 -o x.bin", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        Result n = run(c.args);
        EXPECT_EQ(n.err.find("is decimal") != std::string::npos, c.noted) << n.err;
    }
}

}  // namespace

// The firmware-version rule of a burn as an operator meets it: an older
// image refused unless --allow-older, the version the camera runs unless
// --allow-reinstall, a camera whose firmware area is blank taking any; the
// dry run naming both versions; info and list telling a blank or damaged
// firmware area instead of printing empty fields.
#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

class FirmwareVersion : public Orvexctl {
protected:
    // The shipped firmware with its code version (at 0x1F3 on this chip,
    // V1501 as shipped) replaced.
    void image_with_code(const std::string& file, const std::string& code) {
        std::string img = slurp(dir + "/fw.bin");
        img.replace(0x1F3, 5, code);
        spill(dir + "/" + file, img);
    }
};

TEST_F(FirmwareVersion, OlderAndSameVersionsAreRefusedBeforeAnythingIsErased) {
    firmware_image();
    image_with_code("older.bin", "V1500");
    image_with_code("newer.bin", "V1510");
    image_with_code("later-digit.bin", "V1502");
    const std::string shipped = flash();
    struct Case {
        const char* args;
        int code;
        const char* says;  // in the refusal, or the plan's change
    } cases[] = {
        {"burn older.bin", 7, "older than the camera's V1501"},
        {"burn fw.bin", 7, "the version the camera runs"},
        {"burn --allow-reinstall older.bin", 7, "--allow-older burns it"},
        {"burn --allow-older fw.bin", 7, "--allow-reinstall burns it"},
        {"burn --dry-run older.bin", 7, "older than the camera's"},
        {"burn --dry-run --allow-older older.bin", 0, "older"},
        {"burn --dry-run --allow-reinstall fw.bin", 0, "same"},
        {"burn --dry-run newer.bin", 0, "newer"},
        {"burn --dry-run later-digit.bin", 0, "newer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        Result r = run(std::string("--json ") + c.args, "--trace trace.txt");
        EXPECT_EQ(r.code, c.code) << r.err;
        json doc = json::parse(r.out, nullptr, false);
        ASSERT_TRUE(doc.is_object()) << r.out;
        if (c.code == 0)
            EXPECT_EQ(doc["firmware"]["change"], c.says) << doc.dump();
        else
            EXPECT_NE(doc.value("error", "").find(c.says), std::string::npos) << doc.dump();
        // Refused or planned: nothing written to the camera.
        EXPECT_EQ(trace_writes(dir + "/trace.txt", true), 0);
        EXPECT_TRUE(flash() == shipped);
    }
    // The refusal says how to burn it anyway on this camera.
    Result r = run("burn older.bin");
    EXPECT_NE(r.err.find("orvexctl --serial 0001 burn --allow-older older.bin"), std::string::npos) << r.err;
    // Allowed, it burns.
    EXPECT_EQ(run("burn --allow-older older.bin").code, 0);
    EXPECT_EQ(flash().substr(0x1F3, 5), "V1500");
    // A station takes the same options for all its cameras.
    if (orvex_test::emulated()) GTEST_SKIP() << "station workers fork() under the user-mode emulator";
    shared_device = true;
    const std::string two = "--config '1:serial=A1,usb=1-2,state=a.bin;2:serial=B2,usb=1-3,state=b.bin'";
    EXPECT_EQ(run("station burn fw.bin 1 2", two).code, 7);
    EXPECT_EQ(run("station burn --allow-reinstall fw.bin 1 2", two).code, 0);
}

TEST_F(FirmwareVersion, TheDryRunShowsCurrentAndNewVersion) {
    firmware_image();
    image_with_code("newer.bin", "V1510");
    Result r = run("burn --dry-run newer.bin");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("firmware V1501 CV15.R01.A (2024-06-15) \u2192 V1510 CV15.R01.A (2024-06-15)"),
              std::string::npos)
        << r.out;
}

TEST_F(FirmwareVersion, ABlankOrDamagedFirmwareAreaIsToldAndInfoFails) {
    std::string img = firmware_image();
    const std::string shipped = flash();
    std::string blank = shipped, damaged = shipped;
    // An erase with no burn after it: both places of the version fields.
    blank.replace(0x0000, 0x1000, std::string(0x1000, '\xFF'));
    blank.replace(0x3000, 0x1000, std::string(0x1000, '\xFF'));
    // A burn that stopped between them.
    damaged.replace(0x0000, 0x1000, std::string(0x1000, '\xFF'));
    struct Case {
        const std::string* flash;
        const char* state;
        int code;
        const char* text;
        const char* listed;
    } cases[] = {
        {&shipped, "intact", 0, "firmware code:     V1501", "firmware V1501 CV15.R01.A"},
        {&blank, "blank", 4, "none: the firmware area is blank", "firmware none (firmware area blank)"},
        {&damaged, "damaged", 4, "damaged: its version fields", "firmware damaged (version fields"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        spill(state, *c.flash);
        Result t = run("info");
        EXPECT_EQ(t.code, c.code) << t.err;
        EXPECT_NE(t.out.find(c.text), std::string::npos) << t.out;
        if (c.code) {
            EXPECT_NE(t.err.find("the firmware area is " + std::string(c.state)), std::string::npos) << t.err;
            EXPECT_NE(t.err.find("orvexctl --serial 0001 burn IMAGE"), std::string::npos) << t.err;
        }
        json j = run_json("info", c.code);
        EXPECT_EQ(j["firmware_area"]["state"], c.state);
        json l = run_json("list");
        EXPECT_EQ(l["nodes"][0]["firmware_area"]["state"], c.state);
        Result lt = run("list");
        EXPECT_EQ(lt.code, 0);
        EXPECT_NE(lt.out.find(c.listed), std::string::npos) << lt.out;
    }
    // A blank camera takes any version without --allow-*.
    spill(state, blank);
    EXPECT_EQ(run("burn fw.bin").code, 0);
    EXPECT_EQ(run("info").code, 0);
}

}  // namespace

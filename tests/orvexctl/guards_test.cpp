// orvexctl's guards against a flash that does not end up as intended: what
// a burn keeps, how a read-back mismatch and a refused write are reported.
// The real program under the launcher, each test in a fresh directory with
// its own flash image.
#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

class OrvexctlGuards : public Orvexctl {
protected:
    // Runs orvexctl ARGS against camera 0, which keeps its flash in `state`;
    // CAMERA adds keys of the launcher's camera description (profile=,
    // stuck=ADDR/MASK).
    Result run(const std::string& args, const std::string& camera = "") {
        return Orvexctl::run(args, "--config '0:state=" + state + (camera.empty() ? "" : "," + camera) + "'");
    }
};

// An image that brings its own second identification sector (0x3F000 on)
// gets exactly that sector; only the calibration comes back from the backup.
TEST_F(OrvexctlGuards, BurnWritesTheImagesOwnSecondIdentificationSector) {
    ASSERT_EQ(run("flash dump -o shipped.bin").code, 0);
    const std::string shipped = flash();
    ASSERT_EQ(shipped.size(), 0x40000u);
    std::string img = shipped.substr(0, 0x30000) + std::string(0x10000, '\xFF');
    for (size_t a = 0x3F000; a < 0x40000; ++a) img[a] = static_cast<char>((a * 13 + 7) & 0x7F);
    ASSERT_NE(img.substr(0x3F000), shipped.substr(0x3F000));
    spill(dir + "/fw.bin", img);

    // The sector-wise burn never writes that sector: refused, untouched.
    Result sector = run("burn --allow-reinstall fw.bin");
    EXPECT_EQ(sector.code, 7) << sector.err;
    EXPECT_NE(sector.err.find("at 0x3F000, in the sector of the identification block"), std::string::npos)
        << sector.err;
    EXPECT_EQ(flash(), shipped);

    Result r = run("burn --allow-reinstall --method=library --backup kept.json fw.bin");
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string after = flash();
    ASSERT_EQ(after.size(), 0x40000u);
    EXPECT_EQ(after.substr(0, 0x30000), img.substr(0, 0x30000));
    EXPECT_EQ(after.substr(0x30000, 0x5000), shipped.substr(0x30000, 0x5000)) << "calibration kept";
    EXPECT_EQ(after.substr(0x3F000), img.substr(0x3F000)) << "the image's bytes, not the old ones";
}

// A flash that takes the write but reads back something else is a failed
// verification (6), apart from a flash that refused the write (5).
TEST_F(OrvexctlGuards, VerificationMismatchHasItsOwnExitCode) {
    std::string data(16, '\x00');
    spill(dir + "/data.bin", data);
    Result r = run("flash write --include-calibration 0x33000 data.bin", "stuck=0x33004/0x01");
    EXPECT_EQ(r.code, 6) << r.err;
    EXPECT_NE(r.err.find("verification failed at 0x33004"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("write-protected"), std::string::npos) << r.err;
    EXPECT_EQ(static_cast<uint8_t>(flash()[0x33004]), 0x01);
}

// A restore onto a flash that refuses every write must not report success:
// its read-back finds the old bytes and names the protection.
TEST_F(OrvexctlGuards, RestoreOnAFlashThatRefusesTheWriteFails) {
    ASSERT_EQ(run("backup -o b.json").code, 0);
    ASSERT_EQ(run("calib set-params 1.5 -2 1e-3").code, 0);
    const std::string edited = flash();
    Result r = run("restore b.json", "profile=locked");
    EXPECT_EQ(r.code, 5) << r.out << r.err;
    EXPECT_NE(r.err.find("write-protected"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("verified"), std::string::npos) << r.out;
    EXPECT_EQ(flash(), edited);
    // The same restore on a writable flash goes through.
    EXPECT_EQ(run("restore b.json").code, 0);
    EXPECT_NE(flash(), edited);
}

}  // namespace

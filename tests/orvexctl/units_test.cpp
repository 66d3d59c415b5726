// Every command on both extension units the firmware may answer on: the
// same user workflow on a unit-3 and a unit-4 camera.
#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

class EveryUnit : public Orvexctl, public ::testing::WithParamInterface<int> {
protected:
    std::string cam() const { return GetParam() == 4 ? "--profile unit4" : ""; }
};

TEST_P(EveryUnit, TheUsersWorkflowWorks) {
    const std::string c = cam();
    json info = run_json("info", 0, c);
    EXPECT_EQ(info["extension_unit"], GetParam());
    EXPECT_EQ(info["calibration_store_recognises"], true);

    json reg = run_json("reg read 0x101f", 0, c);
    EXPECT_EQ(reg["data"], json::array({"0x15"}));
    EXPECT_EQ(run("reg write 0x1006 a5", c).code, 0);

    // The README's workflow: read the flash, burn, back up and restore.
    ASSERT_EQ(run("flash dump -o full.bin", c).code, 0);
    std::string shipped = slurp(dir + "/full.bin");
    ASSERT_EQ(shipped.size(), 0x40000u);
    EXPECT_TRUE(shipped == flash());
    ASSERT_EQ(run("flash read 0x190C0 24 -o id.bin", c).code, 0);
    EXPECT_EQ(slurp(dir + "/id.bin"), shipped.substr(0x190C0, 24));
    spill(dir + "/fw.bin", shipped.substr(0, 0x30000));
    spill(dir + "/gap.bin", "unit test data");
    EXPECT_EQ(run("flash write --include-calibration 0x32F00 gap.bin", c).code, 0);

    json before = run_json("calib show", 0, c)["records"];
    ASSERT_FALSE(before["marker"].is_null());
    Result burn = run("burn --allow-reinstall fw.bin", c);
    ASSERT_EQ(burn.code, 0) << burn.err;
    EXPECT_EQ(run_json("calib show", 0, c)["records"], before);
    ASSERT_EQ(run("backup -o b.json", c).code, 0);
    ASSERT_EQ(run("calib set-sensor-type stereo-nir-1280x800", c).code, 0);
    EXPECT_EQ(run("restore b.json", c).code, 0);
    EXPECT_EQ(run_json("calib show", 0, c)["records"], before);

    // The library's own probe program.
    std::string probe = std::string(ORVEX_RUN_PREFIX) + "'" + ORVEX_BIN_DIR + "/orvex-probe' 0";
    std::string cmd = "cd '" + dir + "' && " + ORVEX_RUN_PREFIX + "'" + ORVEX_VCAM_BIN + "' --state '" + state + "' " + c +
                      " -- " + probe + " >'" + dir + "/probe.out' 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << slurp(dir + "/probe.out");
    EXPECT_NE(slurp(dir + "/probe.out").find("registers 0x1018..0x101F:"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Units, EveryUnit, ::testing::Values(3, 4),
                         [](const ::testing::TestParamInfo<int>& i) { return "unit" + std::to_string(i.param); });

}  // namespace

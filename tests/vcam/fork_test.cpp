// Programs that fork without exec under the launcher, in the shared-device
// and the in-process mode: shells, worker pools, a program whose other
// thread is inside the virtual camera when it forks. A hang is a failure
// (each run has a time limit), not a stuck suite.
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "orvex_test.h"

namespace {

using orvex_test::run_shell;

std::string build_program(const char* name) { return std::string(ORVEX_BIN_DIR) + "/" + name; }

// Runs COMMAND under the launcher in the mode given, killed after a minute.
std::string under_launcher(const std::string& mode, const std::string& command, int* status) {
    return run_shell("timeout -k 5 60 " + build_program("orvex-vcam") + mode + " -- " + command + " 2>&1", status);
}

class Forking : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (orvex_test::emulated()) GTEST_SKIP() << "the user-mode emulator cannot run a program that forks";
    }
};

TEST_P(Forking, ShellWithCommandSubstitutions) {
    int status = -1;
    std::string out = under_launcher(
        GetParam(),
        "bash -c 'a=$(echo 1); b=$(echo 2); c=$(" + build_program("orvex-probe") +
            " 0 | cut -c1-11); d=$(echo 3); echo \"$a$b$d $c\"'",
        &status);
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_EQ(out, "123 /dev/video0\n");
}

TEST_P(Forking, ChildrenOpenAndQueryTheCameraWithoutExec) {
    int status = -1;
    std::string out = under_launcher(GetParam(), build_program("vcam-fork-child") + " 4", &status);
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_EQ(out, "4 children\n");
}

TEST_P(Forking, ForksWhileAnotherThreadIsInsideTheCamera) {
    int status = -1;
    std::string out = under_launcher(GetParam(), build_program("vcam-fork-child") + " --busy-thread 24", &status);
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_EQ(out, "24 children\n");
}

// Each process has a connection of its own to the shared device: children
// that query one camera while their parent queries another, with no lock
// in common, each get their own replies.
TEST_P(Forking, ChildrenAndParentQueryTwoCamerasAtOnce) {
    int status = -1;
    std::string out = under_launcher(GetParam() + std::string(" --config '0;1:profile=chip-16,serial=B,usb=1-2'"),
                                     build_program("vcam-fork-child") + " --two-cameras 3", &status);
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_EQ(out, "3 children\n");
}

INSTANTIATE_TEST_SUITE_P(Modes, Forking, ::testing::Values("", " --in-process"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             return std::string(*p.param ? "InProcess" : "SharedDevice");
                         });

}  // namespace

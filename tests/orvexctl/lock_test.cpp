// One process at a time on a camera: the library holds the node's lock for
// each operation, orvexctl for a whole command, and a waiting orvexctl
// names the holder.
#include <fcntl.h>
#include <sys/file.h>

#include <chrono>
#include <thread>

#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

class CameraLock : public Orvexctl {
protected:
    // Takes the lock of /dev/video0 as another process would.
    int take(const std::string& holder) {
        int fd = open((dir + "/orvex-dev_video0.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);  // not inherited by the commands
        EXPECT_GE(fd, 0);
        EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
        EXPECT_EQ(pwrite(fd, holder.data(), holder.size(), 0), static_cast<ssize_t>(holder.size()));
        return fd;
    }
    // Starts SHELL_COMMAND in the background; returns a file that appears
    // when it has finished.
    std::string start(const std::string& shell_command, const std::string& name) {
        std::string done = dir + "/" + name + ".done";
        std::string cmd = "( (" + shell_command + ") >'" + dir + "/" + name + ".out' 2>&1; echo $? >'" + done + "' ) &";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return done;
    }
    static bool appears(const std::string& path, int ms) {
        for (int i = 0; i < ms / 20; ++i) {
            if (access(path.c_str(), F_OK) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return access(path.c_str(), F_OK) == 0;
    }
};

TEST_F(CameraLock, AWaitingCommandNamesTheHolderOrGoesOnWhenItIsFree) {
    int fd = take("4242 calibrator --station 7\n");
    Result r = run("--wait 1 info");
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("in use by another process (pid 4242 calibrator --station 7)"), std::string::npos) << r.err;
    // Usage errors and dry runs without a device never wait.
    EXPECT_EQ(run("--wait 1 burn --force nonsense x.bin").code, 2);

    std::string done = start(command("--wait 20 info"), "info");
    EXPECT_FALSE(appears(done, 700));
    close(fd);
    ASSERT_TRUE(appears(done, 20000));
    EXPECT_EQ(slurp(done), "0\n") << slurp(dir + "/info.out");
}

TEST_F(CameraLock, TheLibraryWaitsForTheHolderBeforeEachOperation) {
    int fd = take("4243 other\n");
    // A program of the library's own, not orvexctl.
    std::string probe = "cd '" + dir + "' && ORVEX_LOCK_DIR='" + dir + "' " + ORVEX_RUN_PREFIX + "'" + ORVEX_VCAM_BIN +
                        "' -- " + ORVEX_RUN_PREFIX + "'" + ORVEX_BIN_DIR + "/orvex-probe' 0";
    std::string done = start(probe, "probe");
    EXPECT_FALSE(appears(done, 700));
    close(fd);
    ASSERT_TRUE(appears(done, 20000));
    EXPECT_EQ(slurp(done), "0\n") << slurp(dir + "/probe.out");
}

}  // namespace

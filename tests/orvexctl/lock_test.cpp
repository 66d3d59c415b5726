// One process at a time on a camera: the library holds the camera's lock
// for each operation, orvexctl for a whole command, and a waiting orvexctl
// names the holder. The programs of one virtual-camera session share its
// locks; other sessions and real cameras never meet them.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

class CameraLock : public Orvexctl {
protected:
    void SetUp() override {
        if (orvex_test::emulated()) GTEST_SKIP() << "the shared device forks, which the user-mode emulator cannot run";
        Orvexctl::SetUp();
        socket = dir + "/device.sock";
        // One device process that every program of the test connects to.
        std::string serve = "(" + launcher("exec '" + std::string(ORVEX_VCAM_BIN) + "' --serve --socket '" + socket +
                                            "' --state '" + state + "'") +
                            ") >'" + dir + "/device.out' 2>&1 </dev/null & echo $! >'" + dir + "/device.pid'";
        ASSERT_EQ(std::system(serve.c_str()), 0);
        device = std::atoi(slurp(dir + "/device.pid").c_str());
        ASSERT_GT(device, 0);
        for (int i = 0; i < 500 && access(socket.c_str(), F_OK) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(access(socket.c_str(), F_OK), 0) << slurp(dir + "/device.out");
    }
    void TearDown() override {
        if (device > 0) {
            release();
            appears(dir + "/holder.done", 5000);
            kill(device, SIGTERM);
            for (int i = 0; i < 250 && kill(device, 0) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Orvexctl::TearDown();
    }
    // A shell command in the test's folder with the sanitizers' options.
    std::string launcher(const std::string& command) const {
        return "cd '" + dir + "' && ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\" " + command;
    }
    // PROGRAM ARGS against the test's device process.
    std::string connected(const std::string& program_and_args) const {
        return launcher("'" + std::string(ORVEX_VCAM_BIN) + "' --connect '" + socket + "' -- " + program_and_args);
    }
    // Holds /dev/video0's lock in another program of the session until
    // release(); returns once it is held.
    void take() {
        std::remove((dir + "/release").c_str());
        start(connected("'" + std::string(ORVEX_BIN_DIR) + "/vcam-lock-holder' 0 '" + dir + "/held' '" + dir +
                        "/release'"),
              "holder");
        ASSERT_TRUE(appears(dir + "/held", 20000)) << slurp(dir + "/holder.out");
    }
    void release() { std::ofstream(dir + "/release").put('\n'); }
    // Starts SHELL_COMMAND in the background; returns a file that appears
    // when it has finished, holding its exit status. The status is renamed
    // into place: a file the shell has created but not yet written would
    // read as an empty status, that is exit 0.
    std::string start(const std::string& shell_command, const std::string& name) {
        std::string done = dir + "/" + name + ".done";
        std::string cmd = "( (" + shell_command + ") >'" + dir + "/" + name + ".out' 2>&1 </dev/null; echo $? >'" +
                          done + ".tmp'; mv '" + done + ".tmp' '" + done + "' ) &";
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
    Result run_connected(const std::string& args) {
        std::string done = start(connected("'" + std::string(ORVEXCTL_BIN) + "' " + args), "cmd");
        Result r;
        EXPECT_TRUE(appears(done, 30000));
        r.code = std::atoi(slurp(done).c_str());
        r.err = slurp(dir + "/cmd.out");
        std::remove(done.c_str());
        return r;
    }
    std::string socket;
    pid_t device = -1;
};

TEST_F(CameraLock, AWaitingCommandNamesTheHolderOrGoesOnWhenItIsFree) {
    take();
    Result r = run_connected("--wait 1 info");
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("/dev/video0 is in use by another process (pid "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("vcam-lock-holder 0 "), std::string::npos) << "the holder by its command line: " << r.err;
    // Usage errors and dry runs without a device never wait.
    EXPECT_EQ(run_connected("--wait 1 burn --allow-reinstall --force nonsense x.bin").code, 2);

    std::string done = start(connected("'" + std::string(ORVEXCTL_BIN) + "' --wait 20 info"), "info");
    EXPECT_FALSE(appears(done, 700));
    release();
    ASSERT_TRUE(appears(done, 20000));
    EXPECT_EQ(slurp(done), "0\n") << slurp(dir + "/info.out");
}

TEST_F(CameraLock, TheLibraryWaitsForTheHolderBeforeEachOperation) {
    take();
    // A program of the library's own, not orvexctl.
    std::string done = start(connected("'" + std::string(ORVEX_BIN_DIR) + "/orvex-probe' 0"), "probe");
    EXPECT_FALSE(appears(done, 700));
    release();
    ASSERT_TRUE(appears(done, 20000));
    EXPECT_EQ(slurp(done), "0\n") << slurp(dir + "/probe.out");
}

TEST_F(CameraLock, AHolderThatDiesReleasesTheCamera) {
    take();
    pid_t holder = std::atoi(slurp(dir + "/held").c_str());
    ASSERT_GT(holder, 0);
    ASSERT_EQ(kill(holder, SIGKILL), 0);
    ASSERT_TRUE(appears(dir + "/holder.done", 20000));
    Result r = run_connected("--wait 0 info");
    EXPECT_EQ(r.code, 0) << r.err;
}

// The library holds the lock for one operation, not from one to the next:
// two programs that each keep the camera open take turns on it.
TEST_F(CameraLock, TwoProgramsThatKeepTheCameraOpenTakeTurns) {
    const std::string user = "'" + std::string(ORVEX_BIN_DIR) + "/vcam-camera-user' turns 0 '" + dir + "' ";
    const int rounds = 3;
    std::string finished[2];
    const char* names[2] = {"a", "b"};
    for (int p = 0; p < 2; ++p) finished[p] = start(connected(user + names[p] + " " + std::to_string(rounds)), names[p]);
    // A program stuck waiting for the lock is killed when the test fails.
    struct Reaper {
        std::string dir;
        ~Reaper() {
            for (const char* n : {"a", "b"}) {
                pid_t pid = std::atoi(slurp(dir + "/" + n + ".pid").c_str());
                if (pid > 0 && access((dir + "/" + n + ".done").c_str(), F_OK) != 0) kill(pid, SIGKILL);
            }
        }
    } reaper{dir};
    for (int k = 0; k < rounds; ++k)
        for (int p = 0; p < 2; ++p) {
            SCOPED_TRACE(std::string(names[p]) + " round " + std::to_string(k));
            const std::string turn = dir + "/" + names[p];
            ASSERT_EQ(std::system(("touch '" + turn + ".go." + std::to_string(k) + "'").c_str()), 0);
            ASSERT_TRUE(appears(turn + ".done." + std::to_string(k), 20000))
                << "its operation waited for the other program, which only keeps the camera open";
            EXPECT_EQ(slurp(turn + ".done." + std::to_string(k)), "21\n");
        }
    for (int p = 0; p < 2; ++p) {
        ASSERT_TRUE(appears(finished[p], 20000));
        EXPECT_EQ(slurp(finished[p]), "0\n") << slurp(dir + "/" + names[p] + ".out");
    }
}

// Another session's camera, and a real camera's lock (taken outside any
// virtual camera in the same lock folder), never hold up this session.
TEST_F(CameraLock, SessionsAndRealCamerasNeverMeetEachOthersLocks) {
    take();
    Result other = run("--wait 0 info");  // its own launcher: another session
    EXPECT_EQ(other.code, 0) << other.err;
    release();
    ASSERT_TRUE(appears(dir + "/holder.done", 20000));

    // The fixture points ORVEX_LOCK_DIR at the test's folder; a program
    // without the virtual camera takes /dev/video0's lock there.
    std::remove((dir + "/release").c_str());
    std::remove((dir + "/held").c_str());
    start("cd '" + dir + "' && ORVEX_LOCK_DIR='" + dir + "' '" + ORVEX_BIN_DIR + "/vcam-lock-holder' 0 '" + dir +
              "/held' '" + dir + "/release'",
          "real");
    ASSERT_TRUE(appears(dir + "/held", 20000)) << slurp(dir + "/real.out");
    EXPECT_EQ(run("--wait 0 info").code, 0) << "an in-process session";
    EXPECT_EQ(run_connected("--wait 0 info").code, 0) << "a shared-device session";
    release();
    EXPECT_TRUE(appears(dir + "/real.done", 20000));
}

}  // namespace

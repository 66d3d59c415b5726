// The orvexctl command-line tests' fixture: the real program under the
// launcher, against the virtual camera, as a user runs it. Each test works
// in a fresh directory with its own flash image (--state), so cameras start
// as shipped, and its own backup folder.
#ifndef ORVEXCTL_FIXTURE_H
#define ORVEXCTL_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "orvex_test.h"

namespace orvexctl_test {

using json = nlohmann::json;

struct Result {
    int code = -1;
    std::string out, err;
};

inline std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

inline void spill(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary);
    f << data;
}

class Orvexctl : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orvexctl-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        state = dir + "/flash.bin";
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // The shell command that runs orvexctl ARGS under the launcher with
    // LAUNCHER options (the camera at /dev/video0 keeps its flash in
    // `state` unless --config says otherwise), in the test's directory.
    std::string command(const std::string& args, const std::string& launcher = "") const {
        std::string l = launcher.find("--config") == std::string::npos &&
                                launcher.find("--state") == std::string::npos
                            ? "--state '" + state + "' " + launcher
                            : launcher;
        if (!shared_device) l = "--in-process " + l;
        // Backups go to the test's own state folder, never the user's, and
        // the camera's lock file to the test's directory.
        // Cross builds start both programs through the emulator.
        return "cd '" + dir + "' && XDG_STATE_HOME='" + dir + "/state' ORVEX_LOCK_DIR='" + dir + "' ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\" exec " +
               std::string(ORVEX_RUN_PREFIX) + "'" + ORVEX_VCAM_BIN + "' " + l + " -- " + ORVEX_RUN_PREFIX + "'" +
               ORVEXCTL_BIN + "' " + args;
    }
    Result run(const std::string& args, const std::string& launcher = "") {
        std::string cmd = "(" + command(args, launcher) + ") >'" + dir + "/out' 2>'" + dir + "/err' </dev/null";
        int st = std::system(cmd.c_str());
        Result r;
        r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        r.out = slurp(dir + "/out");
        r.err = orvex_test::without_emulator_noise(slurp(dir + "/err"));
        return r;
    }
    json run_json(const std::string& args, int expect_code = 0, const std::string& launcher = "") {
        Result r = run("--json " + args, launcher);
        EXPECT_EQ(r.code, expect_code) << r.err;
        json j = json::parse(r.out, nullptr, false);
        EXPECT_FALSE(j.is_discarded()) << "not one JSON document: " << r.out;
        return j;
    }
    std::string flash() { return slurp(state); }
    json records() { return run_json("calib show")["records"]; }
    // Writes to the device in the launcher's trace file: register writes
    // (unless only flash programs count) and program transfers; any other
    // SET_CUR counts too unless only flash programs do. A trace that is
    // missing or unreadable fails the test (-1); the file is removed once
    // read, so a later run that writes none cannot pass on this one's.
    static int trace_writes(const std::string& path, bool flash_only = false) {
        vcam::Trace t;
        std::string error;
        bool read = vcam::read_trace_file(path, &t, &error);
        std::remove(path.c_str());
        if (!read) {
            ADD_FAILURE() << error;
            return -1;
        }
        int writes = 0;
        for (const vcam::QueryRecord& q : t.queries()) {
            if (q.request != vcam::REQ_SET_CUR) continue;
            vcam::RegisterAccess reg;
            vcam::FlashTransfer data;
            if (vcam::as_register_access(q, &reg))
                writes += !flash_only && reg.write;
            else if (vcam::as_flash_request(q, &data))
                writes += !data.read;
            else
                writes += !flash_only;
        }
        return writes;
    }
    // The first 0x30000 bytes of the shipped flash: a firmware image.
    std::string firmware_image() {
        EXPECT_EQ(run("flash dump -o full.bin").code, 0);
        std::string img = slurp(dir + "/full.bin").substr(0, 0x30000);
        spill(dir + "/fw.bin", img);
        return img;
    }

    std::string dir, state;
    // Each run's programs get the camera in their own process unless a test
    // needs programs to share one device (station workers are processes of
    // their own). A query through the device process costs about ten times
    // an in-process one, and the shared device has tests of its own.
    bool shared_device = false;
};

}  // namespace orvexctl_test

#endif

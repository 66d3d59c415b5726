// The virtual camera as one device shared by programs: the launcher's
// device process, faults and time from the command line, identities where
// Linux tools read them.
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "env_config.h"
#include "orvex_test.h"
#include "serial_flash.h"

namespace {

struct Outcome {
    int code = -1;
    std::string out;
};

// A shell command's standard output and error, and its exit code.
Outcome shell(const std::string& cmd) {
    Outcome r;
    FILE* p = popen(("(" + cmd + ") 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) r.out += buf;
    int st = pclose(p);
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::string bin(const char* name) {
    return std::string(ORVEX_RUN_PREFIX) + "'" + ORVEX_BIN_DIR + "/" + name + "'";
}

// usleep runs on the virtual clock in this program; waiting for another
// process needs the real one.
void wall_sleep_10ms() {
    timespec ts{0, 10 * 1000 * 1000};
    nanosleep(&ts, nullptr);
}

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

class SharedDevice : public ::testing::Test {
protected:
    void SetUp() override {
        // The device process is a fork of the launcher; emulated runs
        // launch in-process and skip these.
        if (orvex_test::emulated()) GTEST_SKIP() << "fork() under the user-mode emulator";
        char tmpl[] = "/tmp/vcam-device-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    // orvex-vcam LAUNCHER -- sh -c SCRIPT, in the test's directory; the
    // script calls the factory tool as $CTL.
    Outcome launch(const std::string& launcher, const std::string& script) {
        return shell("cd '" + dir + "' && CTL=" + bin("orvexctl") + " " + bin("orvex-vcam") + " " +
                     launcher + " -- sh -c '" + script + "'");
    }
    std::string dir;
};

TEST_F(SharedDevice, ProgramsSeeEachOthersRegisterWrites) {
    Outcome shared = launch("", "$CTL reg write 0x1006 a5 && $CTL reg read 0x1006");
    EXPECT_EQ(shared.code, 0) << shared.out;
    EXPECT_NE(shared.out.find("0x1006: a5"), std::string::npos) << shared.out;
    // Each program with its own copy of the camera reads the power-on value.
    Outcome separate = launch("--in-process", "$CTL reg write 0x1006 a5 && $CTL reg read 0x1006");
    EXPECT_NE(separate.out.find("0x1006: 00"), std::string::npos) << separate.out;
}

TEST_F(SharedDevice, ADeviceProcessOutlivesItsPrograms) {
    std::string sock = dir + "/dev.sock";
    Outcome serve = shell(bin("orvex-vcam") + " --serve --socket '" + sock + "' --state '" + dir +
                      "/flash.bin' >'" + dir + "/serve.log' 2>&1 & echo $!");
    pid_t pid = std::stoi(serve.out);
    for (int i = 0; i < 200 && access(sock.c_str(), F_OK) != 0; ++i) wall_sleep_10ms();
    EXPECT_EQ(launch("--connect '" + sock + "'", "$CTL reg write 0x1006 3c").code, 0);
    EXPECT_NE(launch("--connect '" + sock + "'", "$CTL reg read 0x1006").out.find("0x1006: 3c"),
              std::string::npos);
    // Stopped by a signal, it saves the flash image and removes its socket.
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    for (int i = 0; i < 1000 && access(sock.c_str(), F_OK) == 0; ++i) wall_sleep_10ms();
    EXPECT_NE(access(sock.c_str(), F_OK), 0);
    EXPECT_EQ(slurp(dir + "/flash.bin").size(), vcam::kFlashSize);
}

// Programs start as soon as the socket is there (scripts wait for it, as
// the lock tests do): by then the session's lock folder and sysfs entries
// must exist, or the first program runs without a lock that later ones use.
TEST_F(SharedDevice, AServedDeviceIsCompleteOnceItsSocketAppears) {
    for (int round = 0; round < 5; ++round) {
        std::string sock = dir + "/ready" + std::to_string(round) + ".sock";
        Outcome serve = shell(bin("orvex-vcam") + " --serve --socket '" + sock + "' >'" + dir +
                              "/serve.log' 2>&1 & echo $!");
        pid_t pid = std::stoi(serve.out);
        // Polled without sleeping, to see the socket the moment it appears.
        timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        do clock_gettime(CLOCK_MONOTONIC, &now);
        while (access(sock.c_str(), F_OK) != 0 && now.tv_sec - start.tv_sec < 10);
        // And it accepts at once: bound but not yet listening, it would
        // refuse the first program.
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
        int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool accepts = connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(client);
        bool locks = access((sock + ".d/locks").c_str(), W_OK) == 0;
        bool sysfs = access((sock + ".d/sys/class/video4linux/video0").c_str(), F_OK) == 0;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        ASSERT_TRUE(locks && sysfs && accepts)
            << "round " << round << ": locks " << locks << ", sysfs " << sysfs << ", accepts " << accepts;
    }
}

// How two programs' queries met at the device, from its trace.
struct Interleaving {
    std::set<int> pids;
    int switches = 0;     // consecutive queries from different programs
    int split_reads = 0;  // register reads (SET_CUR, then GET_CUR) cut by the other program
};

vcam::Trace load_trace(const std::string& path) {
    vcam::Trace t;
    std::string error;
    EXPECT_TRUE(vcam::read_trace_file(path, &t, &error)) << error;
    return t;
}

Interleaving read_trace(const std::string& path) {
    Interleaving r;
    int last = 0;
    bool read_open = false;  // a request awaits its GET_CUR
    for (const vcam::QueryRecord& q : load_trace(path).queries()) {
        r.pids.insert(q.pid);
        bool other = last && q.pid != last;
        r.switches += other;
        r.split_reads += read_open && other;
        read_open = q.request == vcam::REQ_SET_CUR;
        last = q.pid;
    }
    return r;
}

// Two flash readers at once, on cameras A and B of one device process.
const char* kTwoReaders =
    "$CTL -d $CAM_A flash read 0 0x8000 -o a.bin & "
    "$CTL -d $CAM_B flash read 0 0x8000 -o b.bin; wait";

// Without a lock in common (two cameras, each with its own), both
// programs' queries reach the device as they are sent: the device itself
// serialises nothing.
TEST_F(SharedDevice, ConcurrentReadersInterleaveAtTheDevice) {
    Outcome r = launch("--trace trace.txt --config '0;1:serial=B,usb=1-2'",
                       std::string("CAM_A=0 CAM_B=1; ") + kTwoReaders);
    ASSERT_EQ(r.code, 0) << r.out;
    Interleaving seen = read_trace(dir + "/trace.txt");
    EXPECT_EQ(seen.pids.size(), 2u);
    EXPECT_GT(seen.switches, 2) << "the two readers ran one after the other";
}

// On one camera the lock is in common: no register read is split by the
// other program and both copies are the flash.
TEST_F(SharedDevice, ConcurrentReadersAreSerialisedByTheCameraLock) {
    Outcome r = launch("--trace trace.txt --state flash.bin", std::string("CAM_A=0 CAM_B=0; ") + kTwoReaders);
    ASSERT_EQ(r.code, 0) << r.out;
    Interleaving seen = read_trace(dir + "/trace.txt");
    EXPECT_EQ(seen.pids.size(), 2u);
    EXPECT_EQ(seen.split_reads, 0);
    std::string image = slurp(dir + "/flash.bin").substr(0, 0x8000);
    ASSERT_EQ(image.size(), 0x8000u);
    EXPECT_TRUE(slurp(dir + "/a.bin") == image);
    EXPECT_TRUE(slurp(dir + "/b.bin") == image);
}

TEST_F(SharedDevice, UnplugMidBurnLeavesThePartlyBurnedFlash) {
    ASSERT_EQ(launch("--state flash.bin", "$CTL flash dump -o before.bin").code, 0);
    std::string before = slurp(dir + "/before.bin");
    // A firmware image that differs from what is on the flash everywhere;
    // it carries no version record or identification block, which the
    // tool's image checks refuse unless forced. Its first identification
    // sector differs too, which only the library's burn writes.
    std::string fw = before.substr(0, 0x30000);
    for (char& c : fw) c = static_cast<char>(c ^ 0x5A);
    std::ofstream(dir + "/fw.bin", std::ios::binary) << fw;
    Outcome burn = launch("--state flash.bin --unplug-after 30000",
                          "$CTL --backup-dir backups burn --method=library --force version-record --force id-block "
                          "--backup b.json fw.bin");
    EXPECT_NE(burn.code, 0) << burn.out;
    std::string after = slurp(dir + "/flash.bin");
    ASSERT_EQ(after.size(), vcam::kFlashSize);
    // Some 4 KiB sectors carry the new firmware, some do not.
    int burned = 0, sectors = static_cast<int>(fw.size() / 0x1000);
    for (int s = 0; s < sectors; ++s) burned += after.compare(s * 0x1000, 0x1000, fw, s * 0x1000, 0x1000) == 0;
    EXPECT_GT(burned, 0) << "nothing was burned before the unplug";
    EXPECT_LT(burned, sectors) << "the burn finished before the unplug";
    // The next session reads back exactly what the unplug left.
    ASSERT_EQ(launch("--state flash.bin", "$CTL flash dump -o again.bin").code, 0);
    EXPECT_TRUE(slurp(dir + "/again.bin") == after);
}

TEST_F(SharedDevice, FlashImageIsSavedWhenTheProgramIsKilled) {
    // The program dies by a signal mid-session; the device still saves.
    Outcome r = launch("--state flash.bin --fresh", "$CTL reg read 0x101f && kill -TERM $$");
    EXPECT_EQ(r.code, 128 + SIGTERM) << r.out;
    EXPECT_EQ(slurp(dir + "/flash.bin"), std::string(vcam::kFlashSize, '\xff'));
}

// A program killed with the camera open no longer holds it: the device
// releases what the program held, as the kernel does when it closes a dead
// process's descriptors, and the flash image is saved at that last close,
// with the device still running.
TEST_F(SharedDevice, AProgramKilledHoldingTheCameraReleasesIt) {
    std::string sock = dir + "/dev.sock";
    Outcome serve = shell(bin("orvex-vcam") + " --serve --socket '" + sock + "' --state '" + dir +
                          "/flash.bin' >'" + dir + "/serve.log' 2>&1 & echo $!");
    pid_t device = std::stoi(serve.out);
    for (int i = 0; i < 200 && access(sock.c_str(), F_OK) != 0; ++i) wall_sleep_10ms();
    const std::string connect = "--connect '" + sock + "'";
    EXPECT_EQ(shell("cd '" + dir + "' && " + bin("orvex-vcam") + " " + connect + " -- " + bin("vcam-camera-user") +
                    " hold 0 held >holder.log 2>&1 &")
                  .code,
              0);
    for (int i = 0; i < 2000 && access((dir + "/held").c_str(), F_OK) != 0; ++i) wall_sleep_10ms();
    pid_t holder = std::atoi(slurp(dir + "/held").c_str());
    ASSERT_GT(holder, 0) << slurp(dir + "/holder.log");

    // Written while the holder keeps the camera open: not saved yet.
    const std::string data(16, '\x5a');
    std::ofstream(dir + "/data.bin", std::ios::binary) << data;
    auto saved_bytes = [&] {
        std::string f = slurp(dir + "/flash.bin");
        return f.size() == vcam::kFlashSize ? f.substr(0x36000, 16) : std::string();
    };
    Outcome w = launch(connect, "$CTL flash write 0x36000 data.bin");
    EXPECT_EQ(w.code, 0) << w.out;
    EXPECT_NE(saved_bytes(), data) << "saved while the holder has it open";

    ASSERT_EQ(kill(holder, SIGKILL), 0);
    bool saved = false;
    for (int i = 0; i < 1000 && !saved; ++i) {
        saved = saved_bytes() == data;
        if (!saved) wall_sleep_10ms();
    }
    EXPECT_TRUE(saved) << "the killed program's camera was never released";
    kill(device, SIGTERM);
    waitpid(device, nullptr, 0);
}

TEST_F(SharedDevice, FaultsFromTheCommandLine) {
    struct Case {
        const char* launcher;
        const char* script;
        int error;  // a query in the trace failed with it
    } cases[] = {
        {"--fail-query 1:EPIPE", "$CTL reg read 0x101f", EPIPE},
        {"--fail-query 2", "$CTL reg read 0x101f", EIO},
        {"--fail-match set+sel1:ETIMEDOUT", "$CTL reg read 0x101f", ETIMEDOUT},
        {"--fail-match reg1006", "$CTL reg write 0x1006 1", EPIPE},
        {"--unplug-after 1", "$CTL reg read 0x101f", ENODEV},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.launcher);
        std::remove((dir + "/t.jsonl").c_str());
        Outcome r = launch(std::string(c.launcher) + " --trace t.jsonl", c.script);
        int failed = 0;
        for (const vcam::QueryRecord& q : load_trace(dir + "/t.jsonl").queries())
            failed += q.result == -1 && q.error == c.error;
        EXPECT_GT(failed, 0) << r.out;
    }
    EXPECT_EQ(launch("--fail-query x", "true").code, 2);
    EXPECT_EQ(launch("--fail-match nothing", "true").code, 2);
}

TEST_F(SharedDevice, IdentitiesWhereToolsReadThem) {
    Outcome r = launch("--config '0:serial=A17;2:serial=B2,usb=3-1.4,vid=0x1234,pid=0xabcd'",
                   "cat /sys/class/video4linux/video2/device/../idVendor "
                   "/sys/class/video4linux/video2/device/../idProduct "
                   "/sys/class/video4linux/video0/device/../serial "
                   "/sys/class/video4linux/video2/name; "
                   "ls /sys/class/video4linux; ls /dev/v4l/by-path; "
                   "readlink /dev/v4l/by-id/usb-Orvex_Orvex_virtual_camera_B2-video-index0");
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out,
              "1234\nabcd\nA17\nOrvex virtual camera\n"
              "video0\nvideo2\n"
              "platform-vcam_hcd.0-usb-0:1.4:1.0-video-index0\n"
              "platform-vcam_hcd.0-usb-0:1:1.0-video-index0\n"
              "../../video2\n");
}

TEST(DeviceConfiguration, FaultKeys) {
    vcam::reset();
    std::string error;
    ASSERT_TRUE(vcam::configure_from_string(
        "0:unplug_after=7,fail_query=3/EPIPE,stuck=0x10/0x81,stuck=0x10/2,unerasable=0x3001", &error))
        << error;
    const vcam::Faults& f = vcam::camera(0)->faults();
    EXPECT_EQ(f.unplug_after, 7);
    EXPECT_EQ(f.fail_query_n, 3);
    EXPECT_EQ(f.fail_query_errno, EPIPE);
    EXPECT_EQ(f.stuck_bits.at(0x10), 0x83);
    EXPECT_EQ(f.unerasable_sectors, std::vector<uint32_t>{0x3001});
    for (const char* bad : {"0:fail_query=0", "0:fail_query=2/EWHAT", "0:stuck=0x10", "0:stuck=0x40000/1",
                            "0:unerasable=-1", "0:fail_match=sel", "0:fail_match=get+put", "0:vid=0x10000"})
        EXPECT_FALSE(vcam::configure_from_string(bad, &error)) << bad;
    vcam::reset();
}

TEST(DeviceConfiguration, QueryKinds) {
    std::function<bool(const vcam::QueryRecord&)> match;
    vcam::QueryRecord write_1006;
    write_1006.selector = 1;
    write_1006.request = vcam::REQ_SET_CUR;
    write_1006.sent = {0x06, 0x10, 0x01, 0x00};
    vcam::QueryRecord get_sel3;
    get_sel3.selector = 3;
    get_sel3.request = vcam::REQ_GET_CUR;
    struct Case {
        const char* kind;
        bool write_1006, get_sel3;
    } cases[] = {{"set", true, false},      {"get", false, true},   {"sel3", false, true},
                 {"set+sel1", true, false}, {"reg1006", true, false}, {"reg1007", false, false},
                 {"get+sel1", false, false}};
    for (const Case& c : cases) {
        ASSERT_TRUE(vcam::parse_query_kind(c.kind, &match)) << c.kind;
        EXPECT_EQ(match(write_1006), c.write_1006) << c.kind;
        EXPECT_EQ(match(get_sel3), c.get_sel3) << c.kind;
    }
}

TEST(FlashProtection, RangesByFamily) {
    const uint32_t K = 1024;
    struct Case {
        int type;
        uint8_t status;
        uint32_t from, to;
    } cases[] = {
        {1, 0x00, 0, 0},             {1, 0x04, 192 * K, 256 * K}, {1, 0x08, 128 * K, 256 * K},
        {1, 0x0C, 0, 256 * K},       {1, 0x24, 192 * K, 256 * K},  // no TB bit on this family
        {7, 0x04, 192 * K, 256 * K}, {7, 0x24, 0, 64 * K},         // bottom
        {7, 0x44, 252 * K, 256 * K}, {7, 0x4C, 240 * K, 256 * K},  // 4 KiB sectors
        {7, 0x64, 0, 4 * K},         {7, 0x54, 224 * K, 256 * K},  // sectors stop at 32 KiB
        {7, 0x5C, 0, 256 * K},       {7, 0x0C, 0, 256 * K},         // the top level: all
        // The common command set (types without a family of their own, and
        // the parts of other makes fitted with it) has the same TB and SEC.
        {0, 0x24, 0, 64 * K},        {0, 0x44, 252 * K, 256 * K},  {0, 0x64, 0, 4 * K},
        {13, 0x28, 0, 128 * K},      {13, 0x48, 248 * K, 256 * K}, {13, 0x68, 0, 8 * K},
    };
    for (const Case& c : cases) {
        uint32_t from = 1, to = 1;
        vcam::protected_range(vcam::flash_family(c.type).protect, c.status, &from, &to);
        EXPECT_EQ(from, c.from) << "type " << c.type << " status " << int(c.status);
        EXPECT_EQ(to, c.to) << "type " << c.type << " status " << int(c.status);
    }
}

TEST(FlashProtection, JedecIdComesWithThePart) {
    EXPECT_EQ(vcam::flash_part(1).jedec[0], 0xC2);
    EXPECT_EQ(vcam::flash_part(7).jedec[0], 0xEF);
    EXPECT_EQ(vcam::flash_part(99).jedec[0], 0xFF);
    for (const auto& family : vcam::flash_families())
        for (const auto& part : family.parts) EXPECT_EQ(&vcam::flash_family(part.type), &family);
}

}  // namespace

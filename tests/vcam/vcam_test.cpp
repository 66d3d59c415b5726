// The virtual camera itself: interposer, clock, faults, state files and the
// launcher that serves unmodified programs.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/uvcvideo.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "env_config.h"
#include "orvex_test.h"

namespace {

class VirtualCamera : public orvex_test::CameraTest {};

std::string run(const std::string& cmd, int* status) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) out += buf;
    *status = pclose(p);
    return out;
}

// A program of the build as a shell command (through the emulator in
// cross builds).
std::string program(const char* name) {
    return std::string(ORVEX_RUN_PREFIX) + ORVEX_BIN_DIR + "/" + name;
}

std::string temp_path(const char* name) {
    return ::testing::TempDir() + "/" + name + "." + std::to_string(getpid());
}

TEST_F(VirtualCamera, OtherPathsPassThroughToTheSystem) {
    int real = open("/dev/null", O_RDWR);
    ASSERT_GE(real, 0);
    EXPECT_EQ(vcam::open_descriptor_count(), 0);
    EXPECT_EQ(close(real), 0);
    errno = 0;
    EXPECT_EQ(open("/dev/video3", O_RDWR), -1) << "no camera attached there";
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(open("/dev/video0x", O_RDWR), -1);
}

TEST_F(VirtualCamera, DescriptorsAreRealAndOnlyTheQueryIoctlIsServed) {
    int a = open("/dev/video0", O_RDWR | O_NONBLOCK);
    int b = open("/dev/video0", O_RDWR);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(vcam::open_descriptor_count(), 2);
    int value = 0;
    EXPECT_EQ(ioctl(a, FIONREAD, &value), -1);
    EXPECT_EQ(errno, ENOTTY);
    uint8_t d[4] = {0x1F, 0x10, 0, 0xFF};
    uvc_xu_control_query q{3, 1, 0x01, 4, d};
    EXPECT_EQ(ioctl(b, UVCIOC_CTRL_QUERY, &q), 0);
    q.query = 0x81;
    EXPECT_EQ(ioctl(b, UVCIOC_CTRL_QUERY, &q), 0);
    EXPECT_EQ(d[2], 0x15);
    EXPECT_EQ(ioctl(b, UVCIOC_CTRL_QUERY, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(close(a), 0);
    EXPECT_EQ(close(b), 0);
    EXPECT_EQ(vcam::open_descriptor_count(), 0);
}

TEST_F(VirtualCamera, RequestsAControlDoesNotSupportAreRefused) {
    int f = open("/dev/video0", O_RDWR);
    uint8_t d[11] = {};
    uvc_xu_control_query q{3, 5, 0x01, 11, d};  // memory type is read only
    EXPECT_EQ(ioctl(f, UVCIOC_CTRL_QUERY, &q), -1);
    EXPECT_EQ(errno, EBADRQC);
    q.query = 0x85;  // GET_LEN has a size of its own
    EXPECT_EQ(ioctl(f, UVCIOC_CTRL_QUERY, &q), -1);
    EXPECT_EQ(errno, ENOBUFS);
    q.size = 2;
    EXPECT_EQ(ioctl(f, UVCIOC_CTRL_QUERY, &q), 0);
    EXPECT_EQ(d[0] | (d[1] << 8), 11);
    q.query = 0x86;  // GET_INFO
    q.size = 1;
    EXPECT_EQ(ioctl(f, UVCIOC_CTRL_QUERY, &q), 0);
    EXPECT_EQ(d[0], 0x01) << "read only";
    q.query = 0x99;  // no such request
    EXPECT_EQ(ioctl(f, UVCIOC_CTRL_QUERY, &q), -1);
    EXPECT_EQ(errno, EINVAL);
    close(f);
}

TEST_F(VirtualCamera, SleepsRunOnTheVirtualClockAndAreTraced) {
    uint64_t t0 = vcam::now_us();
    EXPECT_EQ(sleep(2), 0u);
    EXPECT_EQ(usleep(1500), 0);
    EXPECT_EQ(vcam::now_us() - t0, 2001500u);
    EXPECT_EQ(vcam::trace().sleeps(), (std::vector<uint64_t>{2000000, 1500}));
}

TEST_F(VirtualCamera, QueryLatencyAdvancesTheClock) {
    vcam::set_query_latency_us(1000);
    ASSERT_EQ(OrvexTac_Init(0), 1);
    BYTE v;
    uint64_t t0 = vcam::now_us();
    ASSERT_EQ(OV_ReadFromASIC(0x101F, &v), 1);
    EXPECT_EQ(vcam::now_us() - t0, 2000u);
}

TEST_F(VirtualCamera, FaultsByCountAndByPredicate) {
    ASSERT_EQ(OrvexTac_Init(0), 1);
    vcam::Camera& c = cam();
    c.faults().fail_query_n = c.query_count() + 2;
    c.faults().fail_query_errno = ETIMEDOUT;
    uint8_t d[4] = {0x1F, 0x10, 0, 0xFF};
    EXPECT_EQ(OV_Set_Cur(3, 1, 4, d), 0);
    EXPECT_EQ(OV_Set_Cur(3, 1, 4, d), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(OV_Set_Cur(3, 1, 4, d), 0);
    c.faults().fail_if = [](const vcam::QueryRecord& q) { return q.sent.size() == 4 && q.sent[0] == 0x55; };
    d[0] = 0x55;
    EXPECT_EQ(OV_Set_Cur(3, 1, 4, d), -1);
    EXPECT_EQ(errno, EPIPE);
    d[0] = 0x54;
    EXPECT_EQ(OV_Set_Cur(3, 1, 4, d), 0);
}

TEST_F(VirtualCamera, StateFileRoundTripIsAtomic) {
    std::string path = temp_path("flash.bin");
    cam().flash()[0x1234] = 0x42;
    ASSERT_TRUE(cam().save_state(path));
    EXPECT_NE(access((path + ".tmp." + std::to_string(getpid())).c_str(), F_OK), 0)
        << "no temporary file left behind";
    vcam::Camera& other = vcam::attach(1);
    EXPECT_EQ(other.flash()[0x1234], 0xFF);
    ASSERT_TRUE(other.load_state(path));
    EXPECT_EQ(other.flash()[0x1234], 0x42);
    EXPECT_EQ(other.flash().size(), vcam::kFlashSize);
    EXPECT_FALSE(other.save_state("/nonexistent-dir/flash.bin"));
    std::remove(path.c_str());
}

TEST_F(VirtualCamera, ConfigurationStrings) {
    std::string error;
    ASSERT_TRUE(vcam::configure_from_string("2:unit=4,chip=0x85;5:fresh", &error)) << error;
    ASSERT_NE(vcam::camera(2), nullptr);
    EXPECT_EQ(vcam::camera(2)->profile().unit_id, 4);
    EXPECT_EQ(vcam::camera(2)->profile().chip_id, 0x85);
    ASSERT_NE(vcam::camera(5), nullptr);
    EXPECT_EQ(vcam::camera(5)->flash()[0], 0xFF);
    // Stuck bits: repeated keys for one address add up.
    ASSERT_TRUE(vcam::configure_from_string("1:stuck=0x3F010/0x01,stuck=0x3F010/0x80,stuck=16/2", &error)) << error;
    EXPECT_EQ(vcam::camera(1)->faults().stuck_bits,
              (std::map<uint32_t, uint8_t>{{0x3F010, 0x81}, {16, 0x02}}));
    for (const char* bad : {"x", "0:profile=nope", "0:colour=red", "0:unit=four", "0:stuck=0x10",
                            "0:stuck=0x40000/1", "0:stuck=0x10/0x100", "0:stuck=0x10/0", "0:stuck=-1/1"}) {
        EXPECT_FALSE(vcam::configure_from_string(bad, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(Launcher, ServesAnUnmodifiedProgramThroughPreload) {
    int status = -1;
    std::string out = run(program("orvex-vcam") + " -- " + program("orvex-probe") + " 0 2>&1",
                          &status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_NE(out.find("/dev/video0: registers 0x1018..0x101F:"), std::string::npos) << out;
    EXPECT_NE(out.find(" 15\n"), std::string::npos) << "chip id of the default camera: " << out;
}

TEST(Launcher, OtherIndexAndRefusedOptions) {
    int status = -1;
    std::string out = run(program("orvex-vcam") + " --index 3 -- " + program("orvex-probe") + " 0 2>&1",
                          &status);
    EXPECT_NE(WEXITSTATUS(status), 0);
    EXPECT_NE(out.find("Open video device failed"), std::string::npos) << out;
    out = run(program("orvex-vcam") + " --profile nope -- " + program("orvex-probe") + " 2>&1",
              &status);
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_NE(out.find("unknown profile"), std::string::npos) << out;
    out = run(program("orvex-vcam") + " 2>&1", &status);
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST(Launcher, RefusesToRunWithoutTheVirtualCamera) {
    // A launcher copied away from lib/orvex/ must not start the program on
    // whatever real camera the machine has.
    std::string dir = temp_path("launcher");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::string copy = dir + "/orvex-vcam", marker = dir + "/ran";
    int status = -1;
    run("cp " + std::string(ORVEX_BIN_DIR) + "/orvex-vcam " + copy, &status);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::string out = run("env -u ORVEX_VCAM_LIB " + std::string(ORVEX_RUN_PREFIX) + copy +
                              " -- touch " + marker + " 2>&1",
                          &status);
    EXPECT_EQ(WEXITSTATUS(status), 127) << out;
    EXPECT_NE(out.find("cannot find orvex/libvcam.so"), std::string::npos) << out;
    EXPECT_NE(access(marker.c_str(), F_OK), 0) << "the program ran without the virtual camera";
    std::remove(copy.c_str());
    std::remove(marker.c_str());
    rmdir(dir.c_str());
}

}  // namespace

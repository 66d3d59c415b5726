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

#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

#include "env_config.h"
#include "orvex_test.h"
#include "parts.h"
#include "serial_flash.h"

namespace {

class VirtualCamera : public orvex_test::CameraTest {};

using orvex_test::run_shell;

// A program of the build as a shell command (through the emulator in
// cross builds).
std::string program(const char* name) {
    return std::string(ORVEX_RUN_PREFIX) + ORVEX_BIN_DIR + "/" + name;
}

mode_t current_umask() {
    mode_t m = umask(0);
    umask(m);
    return m;
}

std::string temp_path(const char* name) {
    return ::testing::TempDir() + "/" + name + "." + std::to_string(getpid());
}

// The driver's metadata node beside the video node opens, but its ioctls
// are video ioctls only: the extension-unit query is not one of them. It
// exists only where no camera has the next node.
TEST_F(VirtualCamera, AMetadataNodeOpensButAnswersNoExtensionUnitQuery) {
    vcam::Profile p = vcam::default_profile();
    p.metadata_node = true;
    vcam::attach(0, p);
    int fd = open("/dev/video1", O_RDWR);
    ASSERT_GE(fd, 0);
    uint8_t data[4] = {0x1F, 0x10, 0, 0};
    uvc_xu_control_query q{};
    q.unit = 3;
    q.selector = 1;
    q.query = vcam::REQ_SET_CUR;
    q.size = 4;
    q.data = data;
    errno = 0;
    EXPECT_EQ(ioctl(fd, UVCIOC_CTRL_QUERY, &q), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(close(fd), 0);
    int video = open("/dev/video0", O_RDWR);
    ASSERT_GE(video, 0);
    EXPECT_EQ(ioctl(video, UVCIOC_CTRL_QUERY, &q), 0) << "the video node answers";
    close(video);
    EXPECT_EQ(open("/dev/video2", O_RDWR), -1);

    cam().unplug();  // the driver removes both nodes
    EXPECT_EQ(open("/dev/video1", O_RDWR), -1);

    vcam::attach(0, p);
    vcam::attach(1);  // another camera at the next node: no metadata node there
    EXPECT_EQ(vcam::metadata_node_of(1), nullptr);
    EXPECT_EQ(vcam::metadata_node_of(2), nullptr);
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

// Register-read queries (SET_CUR then GET_CUR) of a register, counted
// from now; returns the GET_CUR answers' byte 2.
std::vector<int> read_register_n(uint16_t addr, int n) {
    std::vector<int> got;
    for (int i = 0; i < n; ++i) {
        uint8_t d[4] = {static_cast<uint8_t>(addr & 0xFF), static_cast<uint8_t>(addr >> 8), 0, 0xFF};
        if (OV_Set_Cur(3, 1, 4, d) < 0 || OV_Get_Cur(3, 1, 4, d) < 0)
            got.push_back(-1);
        else
            got.push_back(d[2]);
    }
    return got;
}

TEST_F(VirtualCamera, SeededRandomFaultsRepeatWithTheSeed) {
    auto pattern = [](uint64_t seed) {
        vcam::Camera& c = vcam::attach(0);
        EXPECT_EQ(OrvexTac_Init(0), 1);
        c.faults().seed = seed;
        c.faults().random_fail_per_million = 200000;
        c.faults().random_flip_per_million = 200000;
        std::vector<int> got = read_register_n(0x101F, 200);
        OrvexTac_UnInit();
        return got;
    };
    std::vector<int> a = pattern(7), b = pattern(7), other = pattern(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, other);
    int failed = 0, flipped = 0;
    for (int v : a) {
        if (v < 0) ++failed;
        else if (v != 0x15) ++flipped;
    }
    // About a third of reads lose one of their two queries; some of the rest
    // come back with one wrong bit.
    EXPECT_GT(failed, 40);
    EXPECT_LT(failed, 110);
    EXPECT_GT(flipped, 0);
}

TEST_F(VirtualCamera, BitFlipOnReadBackLeavesTheDeviceAsItWas) {
    ASSERT_EQ(OrvexTac_Init(0), 1);
    BYTE before[8], flipped[8], after[8];
    ASSERT_EQ(OrvexTac_SerialFlashRead(0x100, before, 8), 1);
    cam().faults().flip_query_n = cam().query_count() + 2;  // the GET_CUR
    cam().faults().flip_byte = 3 + 5;                        // data byte 5
    cam().faults().flip_mask = 0x40;
    ASSERT_EQ(OrvexTac_SerialFlashRead(0x100, flipped, 8), 1);
    ASSERT_EQ(OrvexTac_SerialFlashRead(0x100, after, 8), 1);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(flipped[i], i == 5 ? before[i] ^ 0x40 : before[i]) << i;
        EXPECT_EQ(after[i], before[i]) << i;
    }
}

TEST_F(VirtualCamera, UnpluggedNodeNoLongerOpens) {
    int held = open("/dev/video0", O_RDWR);
    ASSERT_GE(held, 0);
    cam().faults().unplug_after = cam().query_count();
    uint8_t d[4] = {0x1F, 0x10, 0, 0xFF};
    uvc_xu_control_query q{3, 1, 0x01, 4, d};
    EXPECT_EQ(ioctl(held, UVCIOC_CTRL_QUERY, &q), -1);
    EXPECT_EQ(errno, ENODEV);
    errno = 0;
    EXPECT_EQ(open("/dev/video0", O_RDWR), -1);
    EXPECT_EQ(errno, ENODEV) << "the node lingers while a descriptor holds it";
    EXPECT_EQ(close(held), 0);
    errno = 0;
    EXPECT_EQ(open("/dev/video0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT) << "then it is gone";
    vcam::attach(0);  // plugged in again
    int again = open("/dev/video0", O_RDWR);
    EXPECT_GE(again, 0);
    close(again);
}

TEST_F(VirtualCamera, EveryOpenVariantReachesTheCamera) {
    int at = openat(AT_FDCWD, "/dev/video0", O_RDWR);
    int dir = open("/dev", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    int at64 = openat64(dir, "/dev/video0", O_RDWR);
    int o64 = open64("/dev/video0", O_RDWR);
    EXPECT_GE(at, 0);
    EXPECT_GE(at64, 0);
    EXPECT_GE(o64, 0);
    EXPECT_EQ(vcam::open_descriptor_count(), 3);
    // A relative path names a file below the directory, not a camera.
    errno = 0;
    EXPECT_EQ(openat(dir, "video0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    // A created file still gets its mode through the shared argument path.
    std::string path = temp_path("openat-mode");
    int created = openat(AT_FDCWD, path.c_str(), O_CREAT | O_WRONLY | O_EXCL, 0640);
    ASSERT_GE(created, 0);
    struct stat st {};
    ASSERT_EQ(fstat(created, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u & ~current_umask());
    close(created);
    std::remove(path.c_str());
    for (int f : {at, at64, o64, dir}) close(f);
    EXPECT_EQ(vcam::open_descriptor_count(), 0);
}

// A program's other threads reach the interposer while one opens, queries
// and closes the camera (orvexctl's progress thread asks the terminal's
// width this way): every call keeps its answer, and the descriptor table
// stays whole.
TEST_F(VirtualCamera, ThreadsShareTheInterposerSafely) {
    if (orvex_test::emulated()) GTEST_SKIP() << "threads under the user-mode emulator";
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::thread other([&] {
        while (!stop) {
            int pending = -1;
            if (ioctl(pipe_fds[0], FIONREAD, &pending) != 0 || pending != 0) ++wrong;
        }
    });
    std::vector<std::thread> cameras;
    for (int t = 0; t < 2; ++t) {
        cameras.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                int f = open("/dev/video0", O_RDWR);
                if (f < 0) {
                    ++wrong;
                    continue;
                }
                uint8_t d[4] = {0x1F, 0x10, 0, 0xFF};
                uvc_xu_control_query q{3, 1, 0x81, 4, d};
                if (ioctl(f, UVCIOC_CTRL_QUERY, &q) != 0) ++wrong;
                if (close(f) != 0) ++wrong;
            }
        });
    }
    for (std::thread& t : cameras) t.join();
    stop = true;
    other.join();
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(vcam::open_descriptor_count(), 0);
}

TEST_F(VirtualCamera, ResetForgetsDescriptorBindings) {
    int f = open("/dev/video0", O_RDWR);
    ASSERT_GE(f, 0);
    vcam::reset();
    EXPECT_EQ(vcam::open_descriptor_count(), 0);
    vcam::attach(0);
    uint8_t d[4] = {0x1F, 0x10, 0, 0xFF};
    uvc_xu_control_query q{3, 1, 0x01, 4, d};
    EXPECT_EQ(ioctl(f, UVCIOC_CTRL_QUERY, &q), -1) << "a stale descriptor reaches no camera";
    // The kernel answers ENOTTY for /dev/null; a user-mode emulator that
    // does not know the request answers ENOSYS before the kernel sees it.
    EXPECT_TRUE(errno == ENOTTY || errno == ENOSYS) << "errno " << errno;
    EXPECT_EQ(close(f), 0);
}

// The master's ready bit: a host that polls sees the byte done on its first
// look, a host that does not poll loses the byte it wrote too early.
TEST_F(VirtualCamera, SerialFlashMasterTakesTimeForEachByte) {
    ASSERT_EQ(OrvexTac_Init(0), 1);
    const vcam::ArchMap& m = vcam::arch_map(0);
    auto* master = cam().part<vcam::SpiMaster>();
    ASSERT_NE(master, nullptr);
    ASSERT_EQ(OV_WriteToASIC(m.sf_mode, 1), 1);
    ASSERT_EQ(OV_WriteToASIC(m.sf_cs, 0), 1);
    ASSERT_EQ(OV_WriteToASIC(m.sf_write_data, 0x9F), 1);
    ASSERT_EQ(OV_WriteToASIC(m.sf_trigger, 1), 1);
    EXPECT_TRUE(master->busy());
    EXPECT_EQ(read_register_n(m.sf_ready, 1), std::vector<int>{0x01}) << "done by the first poll";

    // Without a poll the next byte's data write meets a busy master and is
    // lost: the trigger after it sends the previous byte again.
    ASSERT_EQ(OV_WriteToASIC(m.sf_write_data, 0x05), 1);
    ASSERT_EQ(OV_WriteToASIC(m.sf_trigger, 1), 1);
    ASSERT_EQ(OV_WriteToASIC(m.sf_write_data, 0x06), 1);
    EXPECT_EQ(master->busy_collisions, 1);
    ASSERT_EQ(OV_WriteToASIC(m.sf_trigger, 1), 1);
    EXPECT_TRUE(master->busy());
    usleep(1);  // any wait completes the byte
    EXPECT_FALSE(master->busy());
    ASSERT_EQ(OV_WriteToASIC(m.sf_cs, 1), 1);
    auto* chip = cam().part<vcam::NorFlash>();
    ASSERT_EQ(chip->commands().size(), 1u);
    EXPECT_EQ(chip->commands()[0].bytes, (std::vector<uint8_t>{0x9F, 0x05, 0x05}));
}

TEST_F(VirtualCamera, ByteTimeScalesWithQueryLatency) {
    vcam::set_query_latency_us(1000);
    ASSERT_EQ(OrvexTac_Init(0), 1);
    const vcam::ArchMap& m = vcam::arch_map(0);
    auto* master = cam().part<vcam::SpiMaster>();
    ASSERT_EQ(OV_WriteToASIC(m.sf_mode, 1), 1);
    ASSERT_EQ(OV_WriteToASIC(m.sf_trigger, 2), 1);
    ASSERT_EQ(OV_WriteToASIC(m.sf_write_data, 0x01), 1);
    EXPECT_EQ(master->busy_collisions, 1) << "one query later the byte still shifts";
    EXPECT_EQ(read_register_n(m.sf_ready, 1), std::vector<int>{0x01});
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
    ASSERT_TRUE(vcam::configure_from_string("3:unplug_after=7,fail_query=4/32;4:fail_query=9", &error))
        << error;
    EXPECT_EQ(vcam::camera(3)->faults().unplug_after, 7);
    EXPECT_EQ(vcam::camera(3)->faults().fail_query_n, 4);
    EXPECT_EQ(vcam::camera(3)->faults().fail_query_errno, 32);
    EXPECT_EQ(vcam::camera(4)->faults().fail_query_n, 9);
    EXPECT_EQ(vcam::camera(4)->faults().fail_query_errno, 5);  // EIO unless named
    EXPECT_EQ(vcam::camera(4)->faults().unplug_after, -1);
    // Stuck bits: repeated keys for one address add up.
    ASSERT_TRUE(vcam::configure_from_string("1:stuck=0x3F010/0x01,stuck=0x3F010/0x80,stuck=16/2", &error)) << error;
    EXPECT_EQ(vcam::camera(1)->faults().stuck_bits,
              (std::map<uint32_t, uint8_t>{{0x3F010, 0x81}, {16, 0x02}}));
    for (const char* bad : {"x", "0:profile=nope", "0:colour=red", "0:unit=four", "0:stuck=0x10",
                            "0:stuck=0x40000/1", "0:stuck=0x10/0x100", "0:stuck=0x10/0", "0:stuck=-1/1",
                            "0:unplug_after=-1", "0:fail_query=0", "0:fail_query=3/", "0:fail_query=3/x"}) {
        EXPECT_FALSE(vcam::configure_from_string(bad, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(Launcher, ServesAnUnmodifiedProgramThroughPreload) {
    int status = -1;
    std::string out = run_shell(program("orvex-vcam") + " -- " + program("orvex-probe") + " 0 2>&1",
                          &status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_NE(out.find("/dev/video0: registers 0x1018..0x101F:"), std::string::npos) << out;
    EXPECT_NE(out.find(" 15\n"), std::string::npos) << "chip id of the default camera: " << out;
}

TEST(Launcher, OtherIndexAndRefusedOptions) {
    int status = -1;
    std::string out = run_shell(program("orvex-vcam") + " --index 3 -- " + program("orvex-probe") + " 0 2>&1",
                          &status);
    EXPECT_NE(WEXITSTATUS(status), 0);
    EXPECT_NE(out.find("Open video device failed"), std::string::npos) << out;
    out = run_shell(program("orvex-vcam") + " --profile nope -- " + program("orvex-probe") + " 2>&1",
              &status);
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_NE(out.find("unknown profile"), std::string::npos) << out;
    out = run_shell(program("orvex-vcam") + " 2>&1", &status);
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

// Options beside --config: honoured on every camera it names, or refused
// with a message naming what clashed. Never silently dropped.
TEST(Launcher, OptionsAndConfigComposeOrAreRefused) {
    if (orvex_test::emulated()) GTEST_SKIP() << "the shared device forks";
    const std::string state = temp_path("composed-state"), trace = temp_path("composed-trace");
    std::remove(state.c_str());
    std::remove(trace.c_str());
    const std::string probe = " -- " + program("orvex-probe");
    struct Case {
        std::string args;
        int status;
        std::string output;  // expected in the launcher's and the program's output
    } cases[] = {
        // Honoured.
        {"--config 0:chip=0x85 --state " + state + probe + " 0", 0, " 85\n"},
        {"--profile chip-16 --config '0;1:serial=B'" + probe + " 1", 0, " 16\n"},
        {"--config '0;1:serial=B' --trace " + trace + probe + " 1", 0, " 15\n"},
        {"--config '0;1' --unplug-after 1" + probe + " 1", 1, ""},
        // Refused.
        {"--config 0:chip=0x85 --chip 0x15 -- true", 2, "--chip and --config both set chip of camera 0"},
        {"--config 0:profile=unit4 -p chip-16 -- true", 2, "--profile and --config both set profile"},
        {"--config 0:id2 --no-id -- true", 2, "--no-id and --config both set"},
        {"--config '0;1' --state x.bin -- true", 2, "set state= for each camera"},
        {"--config '0;1' --serial A -- true", 2, "set serial= for each camera"},
        {"--config '0;1:latency_us=5' --latency-us 3 -- true", 2, "--latency-us and --config both set latency_us"},
        {"--index 1 --config 0 -- true", 2, "--index and --config"},
        {"--connect /nonexistent --fresh -- true", 2, "--connect runs COMMAND"},
        {"--socket /nonexistent -- true", 2, "--socket is where --serve listens"},
        {"--serve --in-process", 2, "exclude each other"},
        // Unknown names come with the valid ones.
        {"--config 0:colour=red -- true", 2, "unknown key 'colour' (keys: profile, chip,"},
        {"--profile nosuch -- true", 2, "unknown profile 'nosuch' (profiles: default, unit4,"},
        {"--config nosuch=1 -- true", 2, "each camera is INDEX[:key=value,...]"},
    };
    for (const Case& c : cases) {
        int status = -1;
        std::string out = run_shell(program("orvex-vcam") + " " + c.args + " 2>&1", &status);
        EXPECT_EQ(WEXITSTATUS(status), c.status) << c.args << "\n" << out;
        EXPECT_NE(out.find(c.output), std::string::npos) << c.args << "\n" << out;
    }
    std::ifstream image(state, std::ios::binary | std::ios::ate);
    EXPECT_EQ(image.tellg(), 0x40000) << "--state beside --config saved the flash image";
    std::ifstream traced(trace);
    std::string line;
    EXPECT_TRUE(std::getline(traced, line) && line.find("\"query\"") != std::string::npos)
        << "--trace beside --config wrote the trace";
    std::remove(state.c_str());
    std::remove(trace.c_str());
}

std::string file_text(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every key the description takes is in --help, the man page and the
// README, the man page's troff escapes undone.
TEST(Launcher, EveryDescriptionKeyIsDocumented) {
    const std::string source = ORVEX_SOURCE_DIR;
    int status = -1;
    std::string help = run_shell(program("orvex-vcam") + " --help", &status);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::string man = file_text(source + "/tools/orvex-vcam.1"), readme = file_text(source + "/README.md");
    ASSERT_FALSE(man.empty());
    for (size_t at; (at = man.find('\\')) != std::string::npos;)
        man.erase(at, at + 1 < man.size() && man[at + 1] == 'f' ? 3 : 1);  // \fB, \-
    for (const std::string& key : vcam::config_keys()) {
        EXPECT_TRUE(help.find("[" + key) != std::string::npos || help.find("," + key) != std::string::npos)
            << key << " in --help";
        EXPECT_NE(man.find(key), std::string::npos) << key << " in orvex-vcam.1";
        EXPECT_NE(readme.find("`" + key), std::string::npos) << key << " in README.md";
    }
}

// A session started inside another one gets the cameras it describes, in
// either mode, never the outer session's.
TEST(Launcher, ANestedSessionHasItsOwnCameras) {
    if (orvex_test::emulated()) GTEST_SKIP() << "the shared device forks";
    const std::string vcam = program("orvex-vcam"), probe = program("orvex-probe");
    for (const char* outer : {"", "--in-process "}) {
        for (const char* inner : {"", "--in-process "}) {
            int status = -1;
            std::string out = run_shell(vcam + " " + outer + "--chip 0x15 -- " + vcam + " " + inner +
                                            "--config 0:chip=0x85 -- " + probe + " 0 2>&1",
                                        &status);
            EXPECT_EQ(WEXITSTATUS(status), 0) << outer << "| " << inner << out;
            EXPECT_NE(out.find(" 85\n"), std::string::npos) << "outer " << outer << "inner " << inner << out;
        }
    }
}

// A command that ends at once stops the device process before it has set
// up its signal handling; that must still be a clean stop. Launched side by
// side so that some of them hit the moment.
TEST(Launcher, DeviceProcessStopsCleanlyAfterAShortCommand) {
    if (orvex_test::emulated()) GTEST_SKIP() << "the shared device forks";
    int status = -1;
    std::string out = run_shell("seq 120 | xargs -P 8 -I{} " + program("orvex-vcam") + " -- true 2>&1", &status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_EQ(out.find("device process failed"), std::string::npos) << out;
}

TEST(Launcher, RefusesToRunWithoutTheVirtualCamera) {
    // A launcher copied away from lib/orvex/ must not start the program on
    // whatever real camera the machine has.
    std::string dir = temp_path("launcher");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::string copy = dir + "/orvex-vcam", marker = dir + "/ran";
    int status = -1;
    run_shell("cp " + std::string(ORVEX_BIN_DIR) + "/orvex-vcam " + copy, &status);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::string out = run_shell("env -u ORVEX_VCAM_LIB " + std::string(ORVEX_RUN_PREFIX) + copy +
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

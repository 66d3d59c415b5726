// orvex-vcam: run unmodified programs against the virtual camera.
//
//   orvex-vcam [options] -- COMMAND [ARGS...]
//   orvex-vcam --serve [--socket PATH] [options]
//   orvex-vcam --connect PATH -- COMMAND [ARGS...]
//
// By default the launcher starts a device process that owns the cameras
// and runs COMMAND with the virtual camera library preloaded; the library
// forwards every query to the device process, so all programs COMMAND
// starts share one device, as they would share a real camera. --serve runs
// only the device process, until it is interrupted; --connect runs a
// program against one already serving. --in-process attaches the cameras
// inside COMMAND instead, each process with its own copy.
#include <errno.h>
#include <getopt.h>
#include <link.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "device_protocol.h"
#include "device_server.h"
#include "env_config.h"
#include "identity_tree.h"

namespace {

void usage(FILE* out) {
    fprintf(out,
            "usage: orvex-vcam [options] -- COMMAND [ARGS...]\n"
            "       orvex-vcam --serve [--socket PATH] [options]\n"
            "       orvex-vcam --connect PATH -- COMMAND [ARGS...]\n"
            "  -i, --index N       video index of the camera (default 0)\n"
            "  -p, --profile NAME  camera profile (default, unit4, second-arch, ...)\n"
            "      --chip ID       chip id, e.g. 0x15\n"
            "      --unit N        extension unit the camera answers on (3 or 4)\n"
            "  -s, --state FILE    flash image: loaded if present, saved when the\n"
            "                      camera is closed, at unplug, at exit and on\n"
            "                      SIGINT/SIGTERM/SIGHUP\n"
            "      --fresh         flash all 0xFF (never programmed)\n"
            "      --no-id         no identification block (the calibration store\n"
            "                      leaves the camera alone)\n"
            "      --id-second     identification block at its second location only\n"
            "      --protected     flash starts write-protected\n"
            "      --serial TEXT   USB serial number\n"
            "      --usb-path P    USB bus path, e.g. 1-1.2\n"
            "      --usb-id V:P    USB vendor and product id, e.g. 1d6b:0104\n"
            "faults and time:\n"
            "      --unplug-after N      the camera is pulled after N queries\n"
            "      --fail-query N[:ERRNO] the Nth query fails (default EIO)\n"
            "      --fail-match KIND[:ERRNO] every query of KIND fails (default\n"
            "                      EPIPE); KIND: get, set, selN, regXXXX, joined by +\n"
            "      --stuck-bits ADDR:MASK flash bits at ADDR that stay 1\n"
            "      --unerasable ADDR  the 4 KiB flash sector holding ADDR never erases\n"
            "      --latency-us N  time each query takes\n"
            "      --real-time     queries and sleeps take wall-clock time\n"
            "      --trace FILE    write the device's trace to FILE at the end (JSON lines)\n"
            "      --config STRING full ORVEX_VCAM string (several cameras: ';')\n"
            "device process:\n"
            "      --serve         run the device process only, until interrupted\n"
            "      --socket PATH   where --serve listens\n"
            "      --connect PATH  run COMMAND against a device process serving there\n"
            "      --in-process    each program gets its own copy of the cameras\n"
            "                      (also ORVEX_VCAM_MODE=in-process, e.g. where the\n"
            "                      launcher cannot fork, as under a user-mode emulator)\n"
            "  -h, --help          this text\n");
}

std::string self_dir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = 0;
    std::string path(buf);
    return path.substr(0, path.rfind('/'));
}

std::string find_library() {
    if (const char* env = getenv("ORVEX_VCAM_LIB")) return env;
    std::string dir = self_dir();
    // Installed: <prefix>/bin and <prefix>/<libdir>/orvex (libdir may be a
    // multiarch folder such as lib/x86_64-linux-gnu); build tree: bin and
    // lib/orvex.
    const char* candidates[] = {"/../" ORVEX_LIBDIR "/orvex/libvcam.so", "/../lib/orvex/libvcam.so"};
    for (const char* c : candidates) {
        std::string p = dir + c;
        if (access(p.c_str(), R_OK) == 0) return p;
    }
    // Not "libvcam.so" for the loader to search: the library is not on its
    // path, and a failed preload would leave the program on a real camera.
    return std::string();
}

#if defined(__SANITIZE_ADDRESS__)
// A sanitizer build's virtual camera needs the AddressSanitizer runtime
// loaded before it: preload the runtime this launcher was linked with.
int find_asan(dl_phdr_info* info, size_t, void* out) {
    if (info->dlpi_name && strstr(info->dlpi_name, "libasan.so")) {
        *static_cast<std::string*>(out) = info->dlpi_name;
        return 1;
    }
    return 0;
}

std::string sanitizer_runtime() {
    std::string path;
    dl_iterate_phdr(find_asan, &path);
    return path;
}
#else
std::string sanitizer_runtime() { return std::string(); }
#endif

void set_preload() {
    std::string preload = find_library();
    if (std::string asan = sanitizer_runtime(); !asan.empty()) preload = asan + ":" + preload;
    if (const char* old = getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
}

[[noreturn]] void exec_command(char** argv) {
    execvp(argv[0], argv);
    fprintf(stderr, "orvex-vcam: cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
}

// "A:B" as the configuration's "A/B".
std::string slash(const char* s) {
    std::string v(s);
    if (size_t colon = v.find(':'); colon != std::string::npos) v[colon] = '/';
    return v;
}

std::string default_socket() {
    const char* dir = getenv("XDG_RUNTIME_DIR");
    if (dir && *dir) return std::string(dir) + "/orvex-vcam.sock";
    return "/tmp/orvex-vcam-" + std::to_string(getuid()) + ".sock";
}

// Attaches the cameras the configuration describes in this process and
// listens for programs; returns the listening descriptor or -1.
int start_device(const std::string& config, const std::string& socket) {
    std::string error;
    if (!vcam::configure_from_string(config, &error)) {
        fprintf(stderr, "orvex-vcam: %s\n", error.c_str());
        return -1;
    }
    int fd = vcam::listen_device_socket(socket, &error);
    if (fd < 0) {
        fprintf(stderr, "orvex-vcam: %s\n", error.c_str());
        return -1;
    }
    if (!vcam::write_identity_tree(vcam::identity_root(socket), &error))
        fprintf(stderr, "orvex-vcam: %s (cameras have no sysfs entries)\n", error.c_str());
    return fd;
}

void stop_device(const std::string& socket) {
    unlink(socket.c_str());
    vcam::remove_identity_tree(vcam::identity_root(socket));
}

int serve(const std::string& config, const std::string& socket) {
    int fd = start_device(config, socket);
    if (fd < 0) return 2;
    fprintf(stderr, "orvex-vcam: serving on %s\n", socket.c_str());
    vcam::serve_device(fd);
    vcam::write_configured_trace();
    close(fd);
    stop_device(socket);
    return 0;
}

pid_t g_command = -1;

void forward_signal(int sig) {
    if (g_command > 0) kill(g_command, sig);
}

int exit_code(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

// The device process as a child of the launcher, for the life of COMMAND.
int run_shared(const std::string& config, char** command) {
    char dir_template[] = "/tmp/orvex-vcam.XXXXXX";
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orvex-vcam.XXXXXX";
    std::vector<char> dir_buf(tmpl.begin(), tmpl.end());
    dir_buf.push_back(0);
    char* dir = mkdtemp(dir_buf.data());
    if (!dir) dir = mkdtemp(dir_template);
    if (!dir) {
        fprintf(stderr, "orvex-vcam: cannot create a runtime directory: %s\n", strerror(errno));
        return 1;
    }
    std::string socket = std::string(dir) + "/device.sock";
    int fd = start_device(config, socket);
    if (fd < 0) {
        rmdir(dir);
        return 2;
    }
    fflush(nullptr);
    pid_t device = fork();
    if (device == 0) {
        // Its own process group: a terminal's interrupt reaches COMMAND,
        // and the device saves and stops once COMMAND has ended (or when
        // the launcher itself dies).
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() == 1) _exit(0);
        vcam::serve_device(fd);
        vcam::write_configured_trace();
        _exit(0);
    }
    close(fd);
    vcam::reset();  // the cameras are the device process's now
    if (device < 0) {
        fprintf(stderr, "orvex-vcam: fork: %s\n", strerror(errno));
        stop_device(socket);
        rmdir(dir);
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = forward_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    g_command = fork();
    if (g_command == 0) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
        // The description stays visible to the program (tests look for
        // it); the socket takes precedence in the preloaded library.
        setenv("ORVEX_VCAM", config.c_str(), 1);
        setenv(vcam::kSocketEnv, socket.c_str(), 1);
        set_preload();
        exec_command(command);
    }
    int status = 0;
    if (g_command < 0) {
        fprintf(stderr, "orvex-vcam: fork: %s\n", strerror(errno));
        status = 1 << 8;
    } else {
        while (waitpid(g_command, &status, 0) < 0 && errno == EINTR) {
        }
    }
    kill(device, SIGTERM);
    int device_status = 0;
    while (waitpid(device, &device_status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(device_status) || WEXITSTATUS(device_status) != 0)
        fprintf(stderr, "orvex-vcam: the device process failed (status %d)\n", device_status);
    stop_device(socket);
    rmdir(dir);
    return exit_code(status);
}

}  // namespace

int main(int argc, char** argv) {
    enum {
        CHIP = 1000, UNIT, FRESH, PROTECTED, LATENCY, TRACE, CONFIG, NOID, ID2, SERIAL, USB_PATH,
        USB_ID, UNPLUG_AFTER, FAIL_QUERY, FAIL_MATCH, STUCK, UNERASABLE, REAL_TIME, SERVE, SOCKET,
        CONNECT, IN_PROCESS
    };
    static const option longopts[] = {
        {"index", required_argument, nullptr, 'i'}, {"profile", required_argument, nullptr, 'p'},
        {"chip", required_argument, nullptr, CHIP}, {"unit", required_argument, nullptr, UNIT},
        {"state", required_argument, nullptr, 's'}, {"fresh", no_argument, nullptr, FRESH},
        {"protected", no_argument, nullptr, PROTECTED},
        {"no-id", no_argument, nullptr, NOID}, {"id-second", no_argument, nullptr, ID2},
        {"serial", required_argument, nullptr, SERIAL},
        {"usb-path", required_argument, nullptr, USB_PATH},
        {"usb-id", required_argument, nullptr, USB_ID},
        {"unplug-after", required_argument, nullptr, UNPLUG_AFTER},
        {"fail-query", required_argument, nullptr, FAIL_QUERY},
        {"fail-match", required_argument, nullptr, FAIL_MATCH},
        {"stuck-bits", required_argument, nullptr, STUCK},
        {"unerasable", required_argument, nullptr, UNERASABLE},
        {"latency-us", required_argument, nullptr, LATENCY},
        {"real-time", no_argument, nullptr, REAL_TIME},
        {"trace", required_argument, nullptr, TRACE}, {"config", required_argument, nullptr, CONFIG},
        {"serve", no_argument, nullptr, SERVE}, {"socket", required_argument, nullptr, SOCKET},
        {"connect", required_argument, nullptr, CONNECT},
        {"in-process", no_argument, nullptr, IN_PROCESS},
        {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    std::string index = "0", config, socket, connect;
    bool serve_only = false, in_process = false;
    if (const char* mode = getenv("ORVEX_VCAM_MODE"); mode && std::string(mode) == "in-process") in_process = true;
    std::vector<std::string> opts;
    int c;
    while ((c = getopt_long(argc, argv, "+i:p:s:h", longopts, nullptr)) != -1) {
        switch (c) {
        case 'i': index = optarg; break;
        case 'p': opts.push_back(std::string("profile=") + optarg); break;
        case CHIP: opts.push_back(std::string("chip=") + optarg); break;
        case UNIT: opts.push_back(std::string("unit=") + optarg); break;
        case 's': opts.push_back(std::string("state=") + optarg); break;
        case FRESH: opts.push_back("fresh"); break;
        case PROTECTED: opts.push_back("protected"); break;
        case NOID: opts.push_back("noid"); break;
        case ID2: opts.push_back("id2"); break;
        case SERIAL: opts.push_back(std::string("serial=") + optarg); break;
        case USB_PATH: opts.push_back(std::string("usb=") + optarg); break;
        case USB_ID: {
            std::string v(optarg);
            size_t colon = v.find(':');
            if (colon == std::string::npos) {
                fprintf(stderr, "orvex-vcam: --usb-id wants VENDOR:PRODUCT\n");
                return 2;
            }
            opts.push_back("vid=0x" + v.substr(0, colon));
            opts.push_back("pid=0x" + v.substr(colon + 1));
            break;
        }
        case UNPLUG_AFTER: opts.push_back(std::string("unplug_after=") + optarg); break;
        case FAIL_QUERY: opts.push_back("fail_query=" + slash(optarg)); break;
        case FAIL_MATCH: opts.push_back("fail_match=" + slash(optarg)); break;
        case STUCK: opts.push_back("stuck=" + slash(optarg)); break;
        case UNERASABLE: opts.push_back(std::string("unerasable=") + optarg); break;
        case LATENCY: opts.push_back(std::string("latency_us=") + optarg); break;
        case REAL_TIME: opts.push_back("real_time"); break;
        case TRACE: opts.push_back(std::string("trace=") + optarg); break;
        case CONFIG: config = optarg; break;
        case SERVE: serve_only = true; break;
        case SOCKET: socket = optarg; break;
        case CONNECT: connect = optarg; break;
        case IN_PROCESS: in_process = true; break;
        case 'h': usage(stdout); return 0;
        default: usage(stderr); return 2;
        }
    }
    if (config.empty()) {
        config = index;
        for (size_t i = 0; i < opts.size(); ++i) config += (i ? "," : ":") + opts[i];
    }
    if (serve_only) {
        if (optind < argc) {
            usage(stderr);
            return 2;
        }
        return serve(config, socket.empty() ? default_socket() : socket);
    }
    if (optind >= argc) {
        usage(stderr);
        return 2;
    }
    if (find_library().empty()) {
        fprintf(stderr, "orvex-vcam: cannot find orvex/libvcam.so from %s (set ORVEX_VCAM_LIB)\n",
                self_dir().c_str());
        return 127;
    }
    if (!connect.empty()) {
        unsetenv("ORVEX_VCAM");
        setenv(vcam::kSocketEnv, connect.c_str(), 1);
        set_preload();
        exec_command(argv + optind);
    }
    if (in_process) {
        set_preload();
        setenv("ORVEX_VCAM", config.c_str(), 1);
        exec_command(argv + optind);
    }
    return run_shared(config, argv + optind);
}

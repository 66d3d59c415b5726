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
            "camera (in brackets: the same as a --config key):\n"
            "  -i, --index N       video index of the camera (default 0)\n"
            "  -p, --profile NAME  camera model [profile=NAME]: default, unit4,\n"
            "                      second-arch, chip-16 ... chip-92, webcam, locked\n"
            "      --chip ID       chip id, e.g. 0x15 [chip=ID]\n"
            "      --unit N        extension unit the camera answers on, 3 or 4 [unit=N]\n"
            "  -s, --state FILE    flash image [state=FILE]: loaded if present, saved\n"
            "                      when the camera is closed, at unplug, at exit and\n"
            "                      on SIGINT/SIGTERM/SIGHUP\n"
            "      --fresh         flash all 0xFF, never programmed [fresh]\n"
            "      --no-id         no identification block (the calibration store\n"
            "                      leaves the camera alone) [noid]\n"
            "      --id-second     identification block at its second location only [id2]\n"
            "      --protected     flash starts write-protected [protected]\n"
            "      --metadata      the driver's metadata node too, at the next\n"
            "                      index (index 1, no extension unit) [metadata]\n"
            "      --serial TEXT   USB serial number [serial=TEXT]\n"
            "      --no-serial     a USB device without a serial number [noserial]\n"
            "      --usb-path P    USB bus path, e.g. 1-1.2 [usb=P]\n"
            "      --usb-id V:P    USB vendor and product id, e.g. 1d6b:0104\n"
            "                      [vid=0xV,pid=0xP]\n"
            "faults and time:\n"
            "      --unplug-after N  the camera is pulled after N queries [unplug_after=N]\n"
            "      --fail-query N[:ERRNO] the Nth query fails, EIO unless named\n"
            "                      [fail_query=N[/ERRNO]]\n"
            "      --fail-match KIND[:ERRNO] every query of KIND fails, EPIPE unless\n"
            "                      named [fail_match=KIND[/ERRNO]]; KIND: get, set,\n"
            "                      selN, regXXXX, joined by +\n"
            "      --stuck-bits ADDR:MASK flash bits at ADDR that stay 1 [stuck=ADDR/MASK]\n"
            "      --unerasable ADDR  the 4 KiB flash sector holding ADDR never erases\n"
            "                      [unerasable=ADDR]\n"
            "      --latency-us N  time each query takes [latency_us=N]\n"
            "      --real-time     queries and sleeps take wall-clock time [real_time]\n"
            "      --trace FILE    the device's trace as JSON lines, written at the end\n"
            "                      [trace=FILE]\n"
            "several cameras:\n"
            "      --config STRING INDEX[:key=value,...] per camera, joined by ';'.\n"
            "                      Camera options beside it apply to every camera it\n"
            "                      names (--profile as each one's starting point); the\n"
            "                      same setting in both places, and --state, --serial,\n"
            "                      --usb-path or --usb-id for several cameras, are refused\n"
            "device process:\n"
            "      --serve         run the device process only, until interrupted\n"
            "      --socket PATH   where --serve listens\n"
            "      --connect PATH  run COMMAND against a device process serving there\n"
            "                      (no camera option applies)\n"
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
    // The session is complete before its socket appears: programs start
    // the moment it does, and one that found no lock folder yet would run
    // unlocked beside the others.
    if (!vcam::write_identity_tree(vcam::identity_root(socket), &error))
        fprintf(stderr, "orvex-vcam: %s (cameras have no sysfs entries)\n", error.c_str());
    int fd = vcam::listen_device_socket(socket, &error);
    if (fd < 0) {
        fprintf(stderr, "orvex-vcam: %s\n", error.c_str());
        vcam::remove_identity_tree(vcam::identity_root(socket));
        return -1;
    }
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

struct CameraOption {
    const char* option;  // as given, e.g. "--state"
    std::string kv;      // as the description's key, e.g. "state=cam.bin"
};

std::string key_of(const std::string& kv) {
    std::string key = kv.substr(0, kv.find('='));
    // Both choose where the identification block is: one setting.
    if (key == "noserial") return "serial";  // one setting: the serial, or none
    return key == "id2" ? "noid" : key;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = s.find(sep, start);
        std::string part = s.substr(start, end == std::string::npos ? end : end - start);
        if (!part.empty()) parts.push_back(part);
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

// The description the device is built from: the camera options of the
// command line laid over every camera of DESCRIPTION (an index alone when
// --config is not given). A profile option is each camera's starting point,
// so the description's own keys refine it; any other option is added to
// each camera. The same setting in both places, or an option that cannot
// hold for several cameras at once, is refused rather than one silently
// winning.
bool compose(const std::string& description, const std::vector<CameraOption>& opts,
             std::string* out, std::string* error) {
    std::vector<std::string> cams = split(description, ';');
    if (cams.empty()) cams.push_back("0");
    static const char* const kOnePerCamera[] = {"state", "serial", "usb", "vid", "pid"};
    static const char* const kDeviceWide[] = {"latency_us", "real_time", "trace"};
    auto in = [](const std::string& key, auto& list) {
        for (const char* k : list)
            if (key == k) return true;
        return false;
    };
    // Device-wide keys count once, whichever camera carries them.
    std::vector<std::string> device_keys;
    for (const std::string& cam : cams) {
        size_t colon = cam.find(':');
        if (colon == std::string::npos) continue;
        for (const std::string& kv : split(cam.substr(colon + 1), ','))
            if (in(key_of(kv), kDeviceWide)) device_keys.push_back(key_of(kv));
    }
    out->clear();
    for (size_t ci = 0; ci < cams.size(); ++ci) {
        const std::string& cam = cams[ci];
        size_t colon = cam.find(':');
        std::string index = cam.substr(0, colon);
        std::vector<std::string> keys =
            colon == std::string::npos ? std::vector<std::string>() : split(cam.substr(colon + 1), ',');
        std::vector<std::string> own;
        for (const std::string& kv : keys) own.push_back(key_of(kv));
        std::vector<std::string> front, back;
        for (const CameraOption& o : opts) {
            std::string key = key_of(o.kv);
            if (in(key, kOnePerCamera) && cams.size() > 1) {
                *error = std::string(o.option) + " would give " + std::to_string(cams.size()) +
                         " cameras the same " + key + ": set " + key + "= for each camera in --config";
                return false;
            }
            bool device_wide = in(key, kDeviceWide);
            const std::vector<std::string>& clash = device_wide ? device_keys : own;
            // Stuck bits add up; every other setting has one value.
            if (key != "stuck")
                for (const std::string& k : clash)
                    if (k == key) {
                        *error = std::string(o.option) + " and --config both set " + key +
                                 (device_wide ? "" : " of camera " + index) + ": give it in one place";
                        return false;
                    }
            if (device_wide && ci > 0) continue;  // the device's, given once
            (key == "profile" ? front : back).push_back(o.kv);
        }
        std::vector<std::string> all = front;
        all.insert(all.end(), keys.begin(), keys.end());
        all.insert(all.end(), back.begin(), back.end());
        if (ci) *out += ";";
        *out += index;
        for (size_t i = 0; i < all.size(); ++i) *out += (i ? "," : ":") + all[i];
    }
    return true;
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
    // The device takes SIGTERM as "save and stop" only once its handlers
    // are in place; a command that ends at once must not find it still
    // dying of the signal's default action. Blocked until then.
    sigset_t stop_signals, old_mask;
    sigemptyset(&stop_signals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop_signals, sig);
    sigprocmask(SIG_BLOCK, &stop_signals, &old_mask);
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
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
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
        CHIP = 1000, UNIT, FRESH, PROTECTED, LATENCY, TRACE, CONFIG, NOID, ID2, SERIAL, NO_SERIAL, USB_PATH,
        USB_ID, UNPLUG_AFTER, FAIL_QUERY, FAIL_MATCH, STUCK, UNERASABLE, REAL_TIME, SERVE, SOCKET,
        CONNECT, IN_PROCESS, METADATA
    };
    static const option longopts[] = {
        {"index", required_argument, nullptr, 'i'}, {"profile", required_argument, nullptr, 'p'},
        {"chip", required_argument, nullptr, CHIP}, {"unit", required_argument, nullptr, UNIT},
        {"state", required_argument, nullptr, 's'}, {"fresh", no_argument, nullptr, FRESH},
        {"protected", no_argument, nullptr, PROTECTED}, {"metadata", no_argument, nullptr, METADATA},
        {"no-id", no_argument, nullptr, NOID}, {"id-second", no_argument, nullptr, ID2},
        {"serial", required_argument, nullptr, SERIAL},
        {"no-serial", no_argument, nullptr, NO_SERIAL},
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
    // Camera options with the command-line option that gave each.
    std::vector<CameraOption> opts;
    auto add = [&opts](const char* option, std::string kv) { opts.push_back({option, std::move(kv)}); };
    bool index_given = false;
    int c;
    while ((c = getopt_long(argc, argv, "+i:p:s:h", longopts, nullptr)) != -1) {
        switch (c) {
        case 'i': index = optarg; index_given = true; break;
        case 'p': add("--profile", std::string("profile=") + optarg); break;
        case CHIP: add("--chip", std::string("chip=") + optarg); break;
        case UNIT: add("--unit", std::string("unit=") + optarg); break;
        case 's': add("--state", std::string("state=") + optarg); break;
        case FRESH: add("--fresh", "fresh"); break;
        case PROTECTED: add("--protected", "protected"); break;
        case METADATA: add("--metadata", "metadata"); break;
        case NOID: add("--no-id", "noid"); break;
        case ID2: add("--id-second", "id2"); break;
        case SERIAL: add("--serial", std::string("serial=") + optarg); break;
        case NO_SERIAL: add("--no-serial", "noserial"); break;
        case USB_PATH: add("--usb-path", std::string("usb=") + optarg); break;
        case USB_ID: {
            std::string v(optarg);
            size_t colon = v.find(':');
            if (colon == std::string::npos) {
                fprintf(stderr, "orvex-vcam: --usb-id wants VENDOR:PRODUCT\n");
                return 2;
            }
            add("--usb-id", "vid=0x" + v.substr(0, colon));
            add("--usb-id", "pid=0x" + v.substr(colon + 1));
            break;
        }
        case UNPLUG_AFTER: add("--unplug-after", std::string("unplug_after=") + optarg); break;
        case FAIL_QUERY: add("--fail-query", "fail_query=" + slash(optarg)); break;
        case FAIL_MATCH: add("--fail-match", "fail_match=" + slash(optarg)); break;
        case STUCK: add("--stuck-bits", "stuck=" + slash(optarg)); break;
        case UNERASABLE: add("--unerasable", std::string("unerasable=") + optarg); break;
        case LATENCY: add("--latency-us", std::string("latency_us=") + optarg); break;
        case REAL_TIME: add("--real-time", "real_time"); break;
        case TRACE: add("--trace", std::string("trace=") + optarg); break;
        case CONFIG: config = optarg; break;
        case SERVE: serve_only = true; break;
        case SOCKET: socket = optarg; break;
        case CONNECT: connect = optarg; break;
        case IN_PROCESS: in_process = true; break;
        case 'h': usage(stdout); return 0;
        default: usage(stderr); return 2;
        }
    }
    if (!connect.empty() && (serve_only || in_process || !config.empty() || index_given || !opts.empty())) {
        fprintf(stderr, "orvex-vcam: --connect runs COMMAND against the cameras a device process "
                        "already serves; camera options, --config, --serve and --in-process do not "
                        "apply there\n");
        return 2;
    }
    if (!socket.empty() && !serve_only) {
        fprintf(stderr, "orvex-vcam: --socket is where --serve listens (to use a device process "
                        "serving there: --connect PATH)\n");
        return 2;
    }
    if (serve_only && in_process) {
        fprintf(stderr, "orvex-vcam: --serve and --in-process exclude each other\n");
        return 2;
    }
    if (connect.empty()) {
        std::string error;
        if (!config.empty() && index_given) {
            fprintf(stderr, "orvex-vcam: --index and --config: the description gives each camera "
                            "its index\n");
            return 2;
        }
        if (!compose(config.empty() ? index : config, opts, &config, &error)) {
            fprintf(stderr, "orvex-vcam: %s\n", error.c_str());
            return 2;
        }
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
        // A session started inside another one (a test under a shared
        // device running its own in-process camera) must not reach the
        // outer device: the socket would take precedence over the
        // description.
        unsetenv(vcam::kSocketEnv);
        set_preload();
        setenv("ORVEX_VCAM", config.c_str(), 1);
        exec_command(argv + optind);
    }
    return run_shared(config, argv + optind);
}

// orvex-vcam: run an unmodified program against the virtual camera.
//
//   orvex-vcam [options] -- COMMAND [ARGS...]
//
// Preloads the virtual camera library and describes the camera in
// ORVEX_VCAM, then executes COMMAND. Without options the embedded default
// camera is /dev/video0.
#include <errno.h>
#include <getopt.h>
#include <link.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

void usage(FILE* out) {
    fprintf(out,
            "usage: orvex-vcam [options] -- COMMAND [ARGS...]\n"
            "  -i, --index N       video index of the camera (default 0)\n"
            "  -p, --profile NAME  camera profile (default, unit4, second-arch, ...)\n"
            "      --chip ID       chip id, e.g. 0x15\n"
            "      --unit N        extension unit the camera answers on (3 or 4)\n"
            "  -s, --state FILE    flash image: loaded if present, saved on close/exit\n"
            "      --fresh         flash all 0xFF (never programmed)\n"
            "      --no-id         no identification block (the calibration store\n"
            "                      leaves the camera alone)\n"
            "      --id-second     identification block at its second location only\n"
            "      --protected     flash starts write-protected\n"
            "      --latency-us N  time each query takes on the virtual clock\n"
            "      --trace FILE    write the query trace to FILE at exit\n"
            "      --config STRING full ORVEX_VCAM string (several cameras: ';')\n"
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

}  // namespace

int main(int argc, char** argv) {
    enum { CHIP = 1000, UNIT, FRESH, PROTECTED, LATENCY, TRACE, CONFIG, NOID, ID2 };
    static const option longopts[] = {
        {"index", required_argument, nullptr, 'i'}, {"profile", required_argument, nullptr, 'p'},
        {"chip", required_argument, nullptr, CHIP}, {"unit", required_argument, nullptr, UNIT},
        {"state", required_argument, nullptr, 's'}, {"fresh", no_argument, nullptr, FRESH},
        {"protected", no_argument, nullptr, PROTECTED},
        {"no-id", no_argument, nullptr, NOID}, {"id-second", no_argument, nullptr, ID2},
        {"latency-us", required_argument, nullptr, LATENCY},
        {"trace", required_argument, nullptr, TRACE}, {"config", required_argument, nullptr, CONFIG},
        {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    std::string index = "0", config;
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
        case LATENCY: opts.push_back(std::string("latency_us=") + optarg); break;
        case TRACE: opts.push_back(std::string("trace=") + optarg); break;
        case CONFIG: config = optarg; break;
        case 'h': usage(stdout); return 0;
        default: usage(stderr); return 2;
        }
    }
    if (optind >= argc) {
        usage(stderr);
        return 2;
    }
    if (config.empty()) {
        config = index;
        for (size_t i = 0; i < opts.size(); ++i) config += (i ? "," : ":") + opts[i];
    }
    std::string preload = find_library();
    if (preload.empty()) {
        fprintf(stderr, "orvex-vcam: cannot find orvex/libvcam.so from %s (set ORVEX_VCAM_LIB)\n",
                self_dir().c_str());
        return 127;
    }
    if (std::string asan = sanitizer_runtime(); !asan.empty()) preload = asan + ":" + preload;
    if (const char* old = getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("ORVEX_VCAM", config.c_str(), 1);
    execvp(argv[optind], argv + optind);
    fprintf(stderr, "orvex-vcam: cannot run %s: %s\n", argv[optind], strerror(errno));
    return 127;
}

// Output streams, exit codes and the capture of the library's own console
// messages.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "OrvexFactory.h"
#include "orvexctl.h"

namespace orvexctl {

Options g_opt;

namespace {
FILE* g_out = stdout;
int g_capture_fd = -1;
}  // namespace

const char* exit_code_table() {
    return "Exit codes:\n"
           "  0  success\n"
           "  1  a local file could not be read or written\n"
           "  2  usage error\n"
           "  3  device not found or not openable\n"
           "  4  not our camera (extension unit, chip or identification block not recognised),\n"
           "     or its firmware area is blank or damaged (info)\n"
           "  5  transfer failure (a library call failed or the flash refused the operation)\n"
           "  6  verification mismatch (read-back differs)\n"
           "  7  refused for safety (calibration overlap, damaged or mismatched file, unknown flash)\n";
}

// The library's reading of a failed query's errno, for the raw commands'
// own failures.
std::string driver_reason(int err) { return OrvexFactory_TransferReason(err); }

FILE* out() { return g_out; }

void start_capturing_library_output() {
    if (g_capture_fd >= 0) return;
    std::fflush(stdout);
    int fd = memfd_create("orvexctl-library-output", MFD_CLOEXEC);
    if (fd < 0) {
        char name[] = "/tmp/orvexctl-XXXXXX";
        fd = mkstemp(name);
        if (fd < 0) return;  // nothing to capture into: leave stdout shared
        unlink(name);
    }
    int own = dup(STDOUT_FILENO);
    FILE* f = own >= 0 ? fdopen(own, "w") : nullptr;
    if (!f) {
        if (own >= 0) ::close(own);
        ::close(fd);
        return;
    }
    g_out = f;
    dup2(fd, STDOUT_FILENO);
    g_capture_fd = fd;
}

std::string captured_library_output() {
    if (g_capture_fd < 0) return {};
    std::fflush(stdout);
    std::fflush(stderr);
    struct stat st;
    if (fstat(g_capture_fd, &st) != 0 || st.st_size <= 0) return {};
    std::string s(static_cast<size_t>(st.st_size), '\0');
    ssize_t n = pread(g_capture_fd, &s[0], s.size(), 0);
    s.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return s;
}

QuietStderr::QuietStderr() {
    if (g_capture_fd < 0) return;
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    if (saved_ >= 0) dup2(g_capture_fd, STDERR_FILENO);
}

QuietStderr::~QuietStderr() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    ::close(saved_);
}

bool json_lines() { return g_opt.progress == "json"; }

void message_line(const char* kind, const std::string& msg, int code) {
    if (json_lines()) {
        // One JSON object per line, as the progress lines are: a reader of
        // the stream never meets plain text.
        json j = {{kind, msg}};
        if (code >= 0) j["exit_code"] = code;
        std::fprintf(stderr, "%s\n", j.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    } else {
        std::fprintf(stderr, "orvexctl: %s\n", msg.c_str());
    }
}

void note(const std::string& msg) {
    if (g_opt.verbosity >= 0) message_line("note", msg);
}

void info(const std::string& msg) {
    if (g_opt.verbosity > 0) message_line("info", msg);
}

void emit(const json& doc, const std::string& text) {
    // With "-o -" the data owns standard output.
    FILE* to = results_to_stderr() ? stderr : g_out;
    if (g_opt.json) {
        std::string s = doc.dump(2, ' ', false, json::error_handler_t::replace);
        std::fprintf(to, "%s\n", s.c_str());
    } else {
        // -q drops notes and progress, never the result itself.
        std::fputs(text.c_str(), to);
    }
    std::fflush(to);
}

}  // namespace orvexctl

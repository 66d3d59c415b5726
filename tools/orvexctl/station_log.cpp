// The station log (--log FILE): one JSON line per command, and per camera
// of a station command, for traceability of what was done to which unit.
// Several processes (a station's workers, or other stations on a shared
// folder) append to one file, so each line is one write(2) on a descriptor
// opened with O_APPEND: the kernel places every write at the end as a
// whole, and lines never interleave.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "orvexctl.h"

namespace orvexctl {

namespace {
std::string utc_now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    gmtime_r(&ts.tv_sec, &t);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, ts.tv_nsec / 1000000);
    return buf;
}
json log_entry(const std::string& command, const std::vector<std::string>& args, const NodeIdentity* camera,
               int code, const std::string& error, const std::vector<std::string>& backups);
}  // namespace

bool append_log_line(const std::string& file, const json& line) {
    std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "orvexctl: cannot append to the log %s: %s\n", file.c_str(), std::strerror(errno));
        return false;
    }
    ssize_t n;
    do {
        n = ::write(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    int err = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(text.size())) {
        std::fprintf(stderr, "orvexctl: cannot append to the log %s: %s\n", file.c_str(),
                     n < 0 ? std::strerror(err) : "short write");
        return false;
    }
    return true;
}

namespace {
json log_entry(const std::string& command, const std::vector<std::string>& args, const NodeIdentity* camera,
               int code, const std::string& error, const std::vector<std::string>& backups) {
    json cam = nullptr;
    if (camera)
        cam = {{"node", camera->node},
               {"serial", camera->serial.empty() ? json(nullptr) : json(camera->serial)},
               {"usb_path", camera->usb_path.empty() ? json(nullptr) : json(camera->usb_path)}};
    return {{"time", utc_now()},
            {"pid", static_cast<long>(getpid())},
            {"camera", cam},
            {"command", command},
            {"arguments", args},
            {"result", !error.empty() ? error : !g_opt.log_result.empty() ? g_opt.log_result
                                                : code == EXIT_OK ? std::string("ok") : std::string("failed")},
            {"exit_code", code},
            {"backup", backups}};
}
}  // namespace

void log_command(int code, const std::string& error) {
    if (g_opt.log_file.empty()) return;
    const std::string top = g_opt.subcommand.substr(0, g_opt.subcommand.find(' '));
    NodeIdentity cam;
    const bool one_camera = top != "list" && top != "station";
    if (one_camera) cam = node_identity(g_opt.device);
    append_log_line(g_opt.log_file, log_entry(g_opt.subcommand, g_opt.args, one_camera ? &cam : nullptr, code, error,
                                              g_opt.backups_written));
}

}  // namespace orvexctl

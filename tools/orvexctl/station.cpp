// station burn|verify|backup: one job on several cameras at once. The
// libraries hold one camera per process, so every camera gets a worker
// process of its own: this program again, with -d naming the camera's node,
// --progress=json and --json. The station reads each worker's progress
// lines and result document, shows a live table on a terminal (one line
// per event otherwise), keeps every worker's output in a log file per
// camera, and exits 0 only when every camera succeeded.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "factory_client.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Worker {
    NodeIdentity cam;
    std::string label, log_path;
    pid_t pid = -1;
    int out_fd = -1, err_fd = -1;
    std::string out_buf, err_buf, result_doc;
    FILE* log = nullptr;
    std::string phase = "starting";
    double fraction = 0, eta_s = -1;
    bool done = false;
    int code = -1;
    std::string result;
};

// "serial=S" and "usb=P" name a camera by identity; anything else is what
// -d takes (the library reads the selector).
int resolve_camera(const std::string& name) { return find_camera(name); }

std::string file_safe(const std::string& s) {
    std::string o;
    for (char c : s) o += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c : '_';
    return o;
}

void make_dir(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        throw Failure(EXIT_FILE, "cannot create " + dir + ": " + std::strerror(errno));
}

void start(Worker& w, const std::vector<std::string>& job) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw Failure(EXIT_FILE, std::string("cannot start a worker: ") + std::strerror(errno));
    std::vector<std::string> args = {"orvexctl", "-d", w.cam.node, "--json", "--progress=json",
                                     "--wait", std::to_string(g_opt.wait_s)};
    if (!g_opt.backup_dir.empty()) args.insert(args.end(), {"--backup-dir", g_opt.backup_dir});
    if (!g_opt.log_file.empty()) args.insert(args.end(), {"--log", g_opt.log_file});
    if (g_opt.verbosity > 0) args.push_back("-v");
    args.insert(args.end(), job.begin(), job.end());
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw Failure(EXIT_FILE, std::string("cannot start a worker: ") + std::strerror(errno));
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        std::fprintf(stderr, "cannot run orvexctl: %s\n", std::strerror(errno));
        _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    w.pid = pid;
    w.out_fd = out[0];
    w.err_fd = err[0];
}

// Takes the worker's complete stderr lines: progress lines move the table,
// every other line is a message and goes to the log as it is.
bool take_lines(Worker& w) {
    bool moved = false;
    size_t nl;
    while ((nl = w.err_buf.find('\n')) != std::string::npos) {
        std::string line = w.err_buf.substr(0, nl);
        w.err_buf.erase(0, nl + 1);
        json j = line.size() && line[0] == '{' ? json::parse(line, nullptr, false) : json();
        if (j.is_object() && j.contains("phase")) {
            std::string phase = j.value("phase", "");
            double f = j.value("fraction", -1.0);
            if (f < 0 && j.contains("bytes") && j.value("total", 0.0) > 0)
                f = j.value("bytes", 0.0) / j.value("total", 1.0);
            if (phase != w.phase && w.log) std::fprintf(w.log, "phase %s\n", phase.c_str());
            w.phase = phase;
            w.fraction = f < 0 ? 0 : std::min(1.0, f);
            w.eta_s = j.value("eta_s", -1.0);
            moved = true;
        } else if (w.log) {
            // The worker's messages (JSON lines too) go to the log as text.
            std::string text = line;
            if (j.is_object())
                for (const char* k : {"note", "info", "error", "signal"})
                    if (j.contains(k) && j[k].is_string()) text = j[k].get<std::string>();
            std::fprintf(w.log, "%s\n", text.c_str());
        }
    }
    if (w.log) std::fflush(w.log);
    return moved;
}

// One read from whichever pipe is ready; false at end of file.
bool drain(Worker& w, int& fd, std::string& buf) {
    char chunk[4096];
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
        ::close(fd);
        fd = -1;
        return false;
    }
    buf.append(chunk, static_cast<size_t>(n));
    (void)w;
    return true;
}

void finish(Worker& w) {
    int st = 0;
    while (waitpid(w.pid, &st, 0) < 0 && errno == EINTR) {
    }
    w.code = WIFEXITED(st) ? WEXITSTATUS(st) : EXIT_TRANSFER;
    if (!w.err_buf.empty()) {
        w.err_buf += "\n";
        take_lines(w);
    }
    json doc = json::parse(w.out_buf, nullptr, false);
    if (w.code == EXIT_OK) {
        w.result = "ok";
    } else if (doc.is_object() && doc.contains("error")) {
        w.result = doc["error"].get<std::string>();
    } else if (WIFSIGNALED(st)) {
        w.result = std::string("worker ended by signal ") + strsignal(WTERMSIG(st));
    } else {
        w.result = "failed (exit " + std::to_string(w.code) + ")";
    }
    if (w.log) {
        std::fprintf(w.log, "result document:\n%s\nexit code %d: %s\n", w.out_buf.c_str(), w.code, w.result.c_str());
        std::fclose(w.log);
        w.log = nullptr;
    }
    w.done = true;
}

std::string eta_text(double s) {
    if (s < 0) return "-";
    char b[32];
    if (s >= 60)
        std::snprintf(b, sizeof b, "%dm%02ds", static_cast<int>(s) / 60, static_cast<int>(s) % 60);
    else
        std::snprintf(b, sizeof b, "%.0fs", s);
    return b;
}

std::string table_row(const Worker& w, size_t label_width) {
    char b[256];
    std::string state = w.done ? (w.code == EXIT_OK ? "done" : "FAILED (exit " + std::to_string(w.code) + ")")
                               : w.phase;
    // A failed camera shows no fraction: its last phase may have reached
    // its end (a read-back that then differed), and 100 % would say done.
    char pct[16] = "     -";
    if (!w.done || w.code == EXIT_OK)
        std::snprintf(pct, sizeof pct, "%5.1f%%", (w.done ? 1.0 : w.fraction) * 100);
    std::snprintf(b, sizeof b, "%-*s  %-12s  %-22s %s  %6s", static_cast<int>(label_width), w.label.c_str(),
                  w.cam.node.c_str(), state.c_str(), pct, w.done ? "" : eta_text(w.eta_s).c_str());
    return b;
}

// A row of the live table cut to the terminal's width: a wrapped row would
// scroll the table instead of redrawing it in place. The phase cell gives
// up its padding first (down to 8 columns), then the row is cut, marked
// with '>'; one column stays free so that the cursor never wraps.
std::string fit_row(std::string row, size_t label_width, size_t width) {
    const size_t max = width > 2 ? width - 1 : 1;
    if (row.size() <= max) return row;
    const size_t phase_at = label_width + 16, phase_len = 22, phase_min = 8;
    size_t cut = std::min(row.size() - max, phase_len - phase_min);
    if (row.size() >= phase_at + phase_len) row.erase(phase_at + phase_len - cut, cut);
    if (row.size() > max) row = row.substr(0, max - 1) + ">";
    return row;
}

// Now in UTC, ISO 8601 to the microsecond, as the archive's rows carry it.
std::string utc_iso_now() {
    const auto now = std::chrono::system_clock::now();
    const time_t t = std::chrono::system_clock::to_time_t(now);
    const long us = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000);
    tm u{};
    gmtime_r(&t, &u);
    char b[40];
    std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &u);
    char o[64];
    std::snprintf(o, sizeof o, "%s.%06ldZ", b, us);
    return o;
}

// The run as one event of the archive, besides each camera's own
// operations, which the workers record. A run that cannot be recorded
// is a note; the run's outcome stays its cameras'.
json record_station_run(const std::string& what, const std::string& image, const std::string& started_utc,
                        const json& cams, int code) {
    const std::string archive = archive_location();
    if (archive.empty()) return nullptr;
    json cameras = json::array();
    for (const json& c : cams)
        cameras.push_back({{"serial", c["serial"]}, {"node", c["node"]}, {"usb_path", c["usb_path"]},
                           {"exit_code", c["exit_code"]}});
    std::string command = "orvexctl station " + what + (image.empty() ? "" : " " + image);
    json run = {{"what", what}, {"command", command}, {"started_utc", started_utc}, {"cameras", cameras},
                {"exit_code", code}};
    if (!image.empty()) run["image_name"] = image;
    const std::string line = line_location();
    if (!line.empty()) run["line"] = line;
    OrvexFactoryResult* r = nullptr;
    const int st = OrvexFactory_ArchiveStationRun(archive.c_str(), run.dump().c_str(), &r);
    json doc = json::parse(OrvexFactory_ResultJson(r), nullptr, false);
    const std::string message = OrvexFactory_ResultMessage(r);
    OrvexFactory_ResultFree(r);
    if (st == ORVEX_FACTORY_OK && doc.is_object()) return doc;
    note("archive: " + message + "; the station run is not recorded");
    return {{"recorded", false}, {"archive", archive}, {"error", message}};
}

volatile sig_atomic_t g_interrupted = 0;
void on_interrupt(int) { g_interrupted = 1; }

}  // namespace

struct StationOptions {
    std::string what;  // burn, verify, backup
    std::string image;
    bool all = false;
    std::vector<std::string> cameras;
    std::string log_dir = ".";
    std::string output_dir = ".";  // backup files
    std::string flash_type;
    std::string verify;
    bool allow_older = false, allow_reinstall = false;  // the firmware-version rule, for every camera
};

int cmd_station(const StationOptions& o) {
    // The cameras, each once, in index order.
    std::vector<int> indices;
    if (o.all == !o.cameras.empty())
        throw Failure(EXIT_USAGE, "name the cameras, or give --all for every Orvex camera present");
    if (o.all) {
        for (const NodeProbe& p : probe_nodes())
            if (p.ours) indices.push_back(p.id.index);
        if (indices.empty()) throw Failure(EXIT_NO_DEVICE, "no Orvex camera answers on any video node");
    } else {
        for (const auto& c : o.cameras) {
            int i = resolve_camera(c);
            if (std::find(indices.begin(), indices.end(), i) == indices.end()) indices.push_back(i);
        }
    }
    if (!o.image.empty()) read_file(o.image);  // refuse a missing image before any worker starts

    std::vector<std::string> job;
    if (o.what == "burn") {
        job = {"burn", o.image};
        if (!o.flash_type.empty()) job.insert(job.end(), {"--flash-type", o.flash_type});
        if (!o.verify.empty()) job.insert(job.end(), {"--verify", o.verify});
        if (o.allow_older) job.push_back("--allow-older");
        if (o.allow_reinstall) job.push_back("--allow-reinstall");
    } else if (o.what == "verify") {
        job = {"flash", "verify", o.image};
    }
    make_dir(o.log_dir);
    if (o.what == "backup") make_dir(o.output_dir);

    std::vector<Worker> workers(indices.size());
    size_t label_width = 6;
    for (size_t k = 0; k < indices.size(); ++k) {
        Worker& w = workers[k];
        w.cam = node_identity(indices[k]);
        w.label = camera_label(w.cam);
        label_width = std::max(label_width, w.label.size());
        w.log_path = o.log_dir + "/station-" + o.what + "-" + file_safe(w.label) + ".log";
        w.log = std::fopen(w.log_path.c_str(), "w");
        if (!w.log) throw Failure(EXIT_FILE, "cannot write " + w.log_path + ": " + std::strerror(errno));
        std::fprintf(w.log, "camera %s (%s, USB path %s)\n", w.label.c_str(), w.cam.node.c_str(),
                     w.cam.usb_path.empty() ? "-" : w.cam.usb_path.c_str());
    }
    // Ctrl-C reaches the workers too (one process group); each decides for
    // itself (a burn finishes its step), and the station waits to report.
    struct sigaction sa {}, old_int {}, old_term {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &old_int);
    sigaction(SIGTERM, &sa, &old_term);

    const double t0 = now_s();
    const std::string started_utc = utc_iso_now();
    for (Worker& w : workers) {
        std::vector<std::string> mine = job;
        if (o.what == "backup") mine = {"backup", "-o", o.output_dir + "/backup-" + file_safe(w.label) + ".json"};
        start(w, mine);
    }
    const bool live = g_opt.verbosity >= 0 && !g_opt.json && g_opt.progress != "none" &&
                      (g_opt.progress == "bar" || (g_opt.progress == "auto" && isatty(STDERR_FILENO)));
    const bool lines = g_opt.verbosity >= 0 && !live && g_opt.progress != "none";
    const size_t width = static_cast<size_t>(terminal_width());
    if (live) {
        char head[256];
        std::snprintf(head, sizeof head, "%-*s  %-12s  %-22s %6s  %6s", static_cast<int>(label_width), "camera", "node",
                      "phase", "done", "ETA");
        std::fprintf(stderr, "%s\n", fit_row(head, label_width, width).c_str());
        for (const Worker& w : workers) std::fprintf(stderr, "%s\n", fit_row(table_row(w, label_width), label_width, width).c_str());
    } else if (lines) {
        for (const Worker& w : workers)
            message_line("note", "station: " + w.label + " (" + w.cam.node + "): " + o.what + " started, log " +
                                     w.log_path);
    }
    double last_draw = 0;
    size_t running = workers.size();
    bool told = false;
    while (running > 0) {
        std::vector<pollfd> fds;
        std::vector<std::pair<Worker*, bool>> owners;  // worker, is stdout
        for (Worker& w : workers) {
            if (w.out_fd >= 0) fds.push_back({w.out_fd, POLLIN, 0}), owners.emplace_back(&w, true);
            if (w.err_fd >= 0) fds.push_back({w.err_fd, POLLIN, 0}), owners.emplace_back(&w, false);
        }
        int n = poll(fds.data(), fds.size(), 200);
        if (g_interrupted && !told) {
            message_line("note", "station: interrupted; waiting for the workers to stop safely");
            told = true;
        }
        if (n < 0 && errno != EINTR) throw Failure(EXIT_FILE, std::string("poll: ") + std::strerror(errno));
        bool redraw = false;
        for (size_t i = 0; n > 0 && i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Worker& w = *owners[i].first;
            if (owners[i].second) {
                drain(w, w.out_fd, w.out_buf);
            } else {
                std::string before = w.phase;
                drain(w, w.err_fd, w.err_buf);
                redraw |= take_lines(w);
                if (lines && w.phase != before)
                    message_line("note", "station: " + w.label + ": " + w.phase);
            }
        }
        for (Worker& w : workers) {
            if (w.done || w.out_fd >= 0 || w.err_fd >= 0) continue;
            finish(w);
            --running;
            redraw = true;
            if (lines)
                message_line("note", "station: " + w.label + ": " +
                                         (w.code == EXIT_OK ? std::string("done")
                                                            : "FAILED (exit " + std::to_string(w.code) + "): " + w.result));
        }
        double t = now_s();
        if (live && redraw && (t - last_draw >= 0.1 || running == 0)) {
            std::fprintf(stderr, "\033[%zuA", workers.size());
            for (const Worker& w : workers)
                std::fprintf(stderr, "\r%s\033[K\n", fit_row(table_row(w, label_width), label_width, width).c_str());
            std::fflush(stderr);
            last_draw = t;
        }
    }
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    const double wall = now_s() - t0;

    int code = EXIT_OK;
    int failed = 0;
    json cams = json::array();
    std::string text;
    for (const Worker& w : workers) {
        if (w.code != EXIT_OK) {
            ++failed;
            if (code == EXIT_OK) code = w.code;
        }
        json j = {{"camera", w.label},
                  {"node", w.cam.node},
                  {"serial", w.cam.serial.empty() ? json(nullptr) : json(w.cam.serial)},
                  {"usb_path", w.cam.usb_path.empty() ? json(nullptr) : json(w.cam.usb_path)},
                  {"exit_code", w.code},
                  {"result", w.result},
                  {"log", w.log_path}};
        json doc = json::parse(w.out_buf, nullptr, false);
        if (!doc.is_discarded()) j["output"] = doc;
        cams.push_back(j);
        char b[512];
        std::snprintf(b, sizeof b, "%-*s  %-12s  %s\n", static_cast<int>(label_width), w.label.c_str(),
                      w.cam.node.c_str(),
                      w.code == EXIT_OK ? "ok" : ("FAILED, exit " + std::to_string(w.code) + ": " + w.result).c_str());
        text += b;
    }
    std::string failed_list;
    for (const Worker& w : workers)
        if (w.code != EXIT_OK) failed_list += (failed_list.empty() ? "" : ", ") + w.label + " (exit " + std::to_string(w.code) + ")";
    g_opt.log_result = failed ? std::to_string(failed) + " of " + std::to_string(workers.size()) +
                                    " camera(s) failed: " + failed_list
                              : "all " + std::to_string(workers.size()) + " camera(s) succeeded";
    char sum[160];
    std::snprintf(sum, sizeof sum, "station %s: %zu of %zu camera(s) succeeded in %.1f s", o.what.c_str(),
                  workers.size() - static_cast<size_t>(failed), workers.size(), wall);
    text += std::string(sum) + (failed ? " (exit " + std::to_string(code) + ", the first failed camera's code)\n" : "\n");
    json out = {{"command", o.what}, {"ok", failed == 0}, {"exit_code", code}, {"wall_s", std::round(wall * 1000) / 1000},
                {"cameras", cams}};
    if (json archived = record_station_run(o.what, o.image, started_utc, cams, code); !archived.is_null())
        out["archive"] = archived;
    emit(out, text);
    return code;
}

}  // namespace orvexctl

void orvexctl::add_station_commands(CLI::App& app, Action& action) {
    static StationOptions burn, verify, backup;
    auto* station = app.add_subcommand("station", "one job on several cameras at once, one worker process each")
                        ->require_subcommand(1);
    station->footer(
        "CAMERA: a video index, /dev/videoN, a /dev/v4l link, serial=S or usb=P.\n"
        "Exit code 0 when every camera succeeded; otherwise the exit code of the first\n"
        "failed camera in the table (each camera's own code is in the table and --json).");
    auto cameras = [](CLI::App* c, StationOptions& o) {
        c->add_flag("--all", o.all, "every Orvex camera present");
        c->add_option("--log-dir", o.log_dir, "folder for the per-camera log files (default .)");
    };
    auto* b = station->add_subcommand("burn", "burn IMAGE into every chosen camera, keeping each calibration");
    b->add_option("image", burn.image, "firmware image file")->required();
    b->add_option("cameras", burn.cameras, "the cameras (CAMERA...), unless --all");
    cameras(b, burn);
    b->add_option("--flash-type", burn.flash_type, "flash type NAME, or auto (JEDEC id) on each camera");
    b->add_option("--verify", burn.verify, "full (every byte, default) or sample");
    b->add_flag("--allow-older", burn.allow_older, "burn an image older than a camera's firmware");
    b->add_flag("--allow-reinstall", burn.allow_reinstall, "burn an image of the version a camera runs");
    b->callback([&action] {
        burn.what = "burn";
        action = [] { return cmd_station(burn); };
    });
    auto* v = station->add_subcommand("verify", "compare every chosen camera's flash with IMAGE");
    v->add_option("image", verify.image, "image file, compared from flash address 0")->required();
    v->add_option("cameras", verify.cameras, "the cameras (CAMERA...), unless --all");
    cameras(v, verify);
    v->callback([&action] {
        verify.what = "verify";
        action = [] { return cmd_station(verify); };
    });
    auto* k = station->add_subcommand("backup", "back up every chosen camera's calibration");
    k->add_option("cameras", backup.cameras, "the cameras (CAMERA...), unless --all");
    cameras(k, backup);
    k->add_option("--output-dir", backup.output_dir,
                  "folder for backup-<camera>.json (default .); a copy also goes to the backup folder");
    k->callback([&action] {
        backup.what = "backup";
        action = [] { return cmd_station(backup); };
    });
}

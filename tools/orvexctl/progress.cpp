// Progress display, one Progress per phase (backup, erase, program,
// verify, ...), each with its own label, bar, rate and remaining time, so
// that a slow phase never skews the next one's estimate. On a terminal: a
// bar that fits the width. --progress=json: one JSON line per update, the
// first at the phase's start. In auto mode on a non-terminal: one line when
// a phase starts and one when it ends, for a station's log. Always on
// standard error, so that a JSON result on standard output stays one
// document.
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>

#include "orvexctl.h"

namespace orvexctl {

namespace {
enum Mode { NONE = 0, BAR = 1, JSON_LINES = 2, PHASE_LINES = 3 };

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int terminal_width() {
    winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}
}  // namespace

Progress::Progress(const char* phase, uint64_t total_bytes)
    : phase_(phase), total_(total_bytes), start_s_(now_s()) {
    const std::string& m = g_opt.progress;
    if (m == "json")
        mode_ = JSON_LINES;
    else if (m == "bar")
        mode_ = BAR;
    else if (m == "auto" && g_opt.verbosity >= 0)
        mode_ = isatty(STDERR_FILENO) ? BAR : PHASE_LINES;
    else
        mode_ = NONE;
    if (mode_ == PHASE_LINES) {
        std::fprintf(stderr, "orvexctl: %s: started\n", phase_.c_str());
        std::fflush(stderr);
    } else if (mode_ != NONE) {
        update(0);
    }
}

Progress::~Progress() {
    if (done_) return;
    if (mode_ == BAR && last_fraction_ >= 0) std::fputc('\n', stderr);
    if (mode_ == PHASE_LINES)
        std::fprintf(stderr, "orvexctl: %s: stopped at %.0f%%\n", phase_.c_str(),
                     std::max(0.0, last_fraction_) * 100);
}

void Progress::update(double f) {
    if (mode_ == NONE || done_) return;
    if (!(f >= 0)) f = 0;
    if (f > 1) f = 1;
    double t = now_s();
    if (mode_ == PHASE_LINES) {
        last_fraction_ = f;
        if (f >= 1) finish();
        return;
    }
    // A bar redraw at most 10 times a second; JSON lines for every update.
    if (mode_ == BAR && f < 1 && f > 0 && last_print_s_ >= 0 && t - last_print_s_ < 0.1) return;
    double elapsed = t - start_s_;
    double done_bytes = f * static_cast<double>(total_);
    double rate = elapsed > 0 ? done_bytes / elapsed : 0;
    double eta = (f > 0 && f < 1) ? elapsed * (1 - f) / f : 0;
    if (mode_ == JSON_LINES) {
        json j = {{"phase", phase_}, {"fraction", std::round(f * 1e6) / 1e6},
                  {"bytes", static_cast<uint64_t>(done_bytes)}, {"total", total_},
                  {"rate_bytes_per_s", std::round(rate)}, {"eta_s", std::round(eta * 10) / 10}};
        std::fprintf(stderr, "%s\n", j.dump().c_str());
    } else {
        // Label, bar, percentage, rate, time left; the bar shrinks with the
        // terminal and the rate and time go first when it is very narrow.
        int cols = terminal_width();
        char tail[64];
        if (f > 0)
            std::snprintf(tail, sizeof tail, " %5.1f%% %7.1f KiB/s %4.0f s left", f * 100, rate / 1024, eta);
        else
            std::snprintf(tail, sizeof tail, " %5.1f%%", f * 100);
        std::string label = phase_.substr(0, 14);
        int room = cols - 1 - static_cast<int>(label.size()) - 3 - static_cast<int>(std::strlen(tail));
        if (room < 10) {
            std::snprintf(tail, sizeof tail, " %5.1f%%", f * 100);
            room = cols - 1 - static_cast<int>(label.size()) - 3 - static_cast<int>(std::strlen(tail));
        }
        int width = std::max(0, std::min(40, room));
        int filled = static_cast<int>(f * width);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(width - filled), '-');
        std::string line = label + (width ? " [" + bar + "]" : std::string()) + tail;
        if (static_cast<int>(line.size()) > cols - 1) line.resize(static_cast<size_t>(std::max(0, cols - 1)));
        std::fprintf(stderr, "\r%s\033[K", line.c_str());
    }
    std::fflush(stderr);
    last_fraction_ = f;
    last_print_s_ = t;
    if (f >= 1) finish();
}

void Progress::finish() {
    if (done_) return;
    if (mode_ != NONE && mode_ != PHASE_LINES && last_fraction_ < 1) {
        last_print_s_ = -1;
        update(1.0);
        return;
    }
    if (mode_ == BAR && last_fraction_ >= 0) std::fputc('\n', stderr);
    if (mode_ == PHASE_LINES) {
        std::fprintf(stderr, "orvexctl: %s: done, %llu bytes in %.1f s\n", phase_.c_str(),
                     static_cast<unsigned long long>(total_), now_s() - start_s_);
        std::fflush(stderr);
    }
    done_ = true;
}

void Progress::callback(void* self, float fraction) {
    try {
        static_cast<Progress*>(self)->update(fraction);
    } catch (...) {
        // The library calls this between two flash transfers; nothing may
        // unwind through it.
    }
}

}  // namespace orvexctl

// Progress display, one Progress per phase (backup, erase, program,
// verify, ...), each with its own label, bar, rate and remaining time, so
// that a slow phase never skews the next one's estimate. On a terminal: a
// bar that fits the width, redrawn by a ticker at least twice a second so
// that a long library call (the chip erase reports nothing until it ends)
// still shows the time going by. --progress=json: one JSON line per
// update, the first at the phase's start. In auto mode on a non-terminal:
// one line when a phase starts and one when it ends, for a station's log.
// Always on standard error, so that a JSON result on standard output stays
// one document.
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "orvexctl.h"

namespace orvexctl {

// The terminal's width; for a bar asked for elsewhere (--progress=bar
// into a pipe), $COLUMNS as shells set it, else 80.
int terminal_width() {
    winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    if (const char* c = std::getenv("COLUMNS")) {
        int n = std::atoi(c);
        if (n > 0) return n;
    }
    return 80;
}

namespace {
enum Mode { NONE = 0, BAR = 1, JSON_LINES = 2, PHASE_LINES = 3 };

// A terminal redraw at most this often from updates, and at least this
// often from the ticker.
constexpr double kMinRedrawS = 0.1;
constexpr double kMaxSilenceS = 0.5;
constexpr size_t kMaxLabel = 14;
constexpr int kMaxBar = 40;
constexpr int kMinBar = 6;

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}



std::string seconds_text(double s) {
    char b[32];
    if (s < 60)
        std::snprintf(b, sizeof b, "%.0f s", s);
    else
        std::snprintf(b, sizeof b, "%d:%02d", static_cast<int>(s) / 60, static_cast<int>(s) % 60);
    return b;
}

// One terminal line of at most cols-1 characters: the label, a bar and as
// much of the tail as fits; the tail's longer forms go first when narrow.
std::string bar_line(const std::string& phase, bool measured, double f, double elapsed, double rate, double eta,
                     int cols) {
    std::string label = phase.substr(0, kMaxLabel);
    char pct[16];
    std::snprintf(pct, sizeof pct, " %5.1f%%", f * 100);
    std::vector<std::string> tails;
    if (!measured) {
        tails = {" " + seconds_text(elapsed) + " elapsed", " " + seconds_text(elapsed)};
    } else if (f > 0 && f < 1) {
        char r[32];
        std::snprintf(r, sizeof r, " %.1f KiB/s", rate / 1024);
        tails = {pct + std::string(r) + ", " + seconds_text(eta) + " left", pct + (" " + seconds_text(eta) + " left"),
                 pct};
    } else {
        tails = {pct + (" " + seconds_text(elapsed)), pct};
    }
    const int room_total = cols - 1;
    for (const std::string& tail : tails) {
        int room = room_total - static_cast<int>(label.size() + 3 + tail.size());
        if (room < kMinBar) continue;
        int width = std::min(kMaxBar, room);
        std::string bar(static_cast<size_t>(width), measured ? '-' : ' ');
        if (measured) {
            bar.replace(0, static_cast<size_t>(f * width), static_cast<size_t>(f * width), '#');
        } else {
            // A marker that sweeps the bar once every few seconds: alive, no
            // fraction claimed.
            int pos = static_cast<int>(elapsed * 4) % (2 * width);
            bar[static_cast<size_t>(pos < width ? pos : 2 * width - 1 - pos)] = '#';
        }
        return label + " [" + bar + "]" + tail;
    }
    std::string line = label + tails.back();
    if (static_cast<int>(line.size()) > room_total) line.resize(static_cast<size_t>(std::max(0, room_total)));
    return line;
}
}  // namespace

Progress::Progress(const char* phase, uint64_t total_bytes, bool measured)
    : phase_(phase), total_(total_bytes), measured_(measured), start_s_(now_s()) {
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
    if (mode_ == BAR) ticker_ = std::thread([this] { tick(); });
}

Progress::~Progress() {
    stop_ticker();
    if (done_) return;
    if (mode_ == BAR && last_fraction_ >= 0) std::fputc('\n', stderr);
    if (mode_ == PHASE_LINES)
        // A phase that stopped never reads 100 %: rounding down keeps
        // 99.9 % from saying done.
        std::fprintf(stderr, "orvexctl: %s: stopped at %.0f%%\n", phase_.c_str(),
                     std::min(99.0, std::floor(std::max(0.0, last_fraction_) * 100)));
}

void Progress::stop_ticker() {
    if (!ticker_.joinable()) return;
    {
        std::lock_guard<std::mutex> l(m_);
        stopping_ = true;
    }
    cv_.notify_all();
    ticker_.join();
}

void Progress::tick() {
    std::unique_lock<std::mutex> l(m_);
    while (!stopping_) {
        cv_.wait_for(l, std::chrono::milliseconds(250));
        if (stopping_ || done_) break;
        double t = now_s();
        if (t - last_print_s_ >= kMaxSilenceS) draw(std::max(0.0, last_fraction_), t);
    }
}

void Progress::update(double f) {
    if (mode_ == NONE) return;
    bool finished = false;
    {
        std::lock_guard<std::mutex> l(m_);
        if (done_) return;
        if (!(f >= 0)) f = 0;
        if (f > 1) f = 1;
        double t = now_s();
        if (mode_ == PHASE_LINES) {
            last_fraction_ = f;
        } else if (!(mode_ == BAR && f < 1 && f > 0 && last_print_s_ >= 0 && t - last_print_s_ < kMinRedrawS)) {
            draw(f, t);
        }
        finished = f >= 1;
    }
    if (finished) finish();
}

// Caller holds m_.
void Progress::draw(double f, double t) {
    double elapsed = t - start_s_;
    double done_bytes = measured_ ? f * static_cast<double>(total_) : (f >= 1 ? static_cast<double>(total_) : 0);
    double rate = elapsed > 0 ? done_bytes / elapsed : 0;
    double eta = (measured_ && f > 0 && f < 1) ? elapsed * (1 - f) / f : 0;
    if (mode_ == JSON_LINES) {
        json j = {{"phase", phase_},
                  {"fraction", std::round((measured_ || f >= 1 ? f : 0) * 1e6) / 1e6},
                  {"bytes", static_cast<uint64_t>(done_bytes)},
                  {"total", total_},
                  {"elapsed_s", std::round(elapsed * 10) / 10},
                  {"rate_bytes_per_s", std::round(rate)},
                  {"eta_s", std::round(eta * 10) / 10}};
        std::fprintf(stderr, "%s\n", j.dump().c_str());
    } else {
        std::string line = bar_line(phase_, measured_ || f >= 1, f, elapsed, rate, eta, terminal_width());
        std::fprintf(stderr, "\r%s\033[K", line.c_str());
    }
    std::fflush(stderr);
    last_fraction_ = f;
    last_print_s_ = t;
}

void Progress::finish() {
    {
        std::lock_guard<std::mutex> l(m_);
        if (done_) return;
        if (mode_ == BAR || mode_ == JSON_LINES) {
            if (last_fraction_ < 1) draw(1.0, now_s());
            if (mode_ == BAR) std::fputc('\n', stderr);
        } else if (mode_ == PHASE_LINES) {
            std::fprintf(stderr, "orvexctl: %s: done, %llu bytes in %.1f s\n", phase_.c_str(),
                         static_cast<unsigned long long>(total_), now_s() - start_s_);
        }
        std::fflush(stderr);
        done_ = true;
    }
    stop_ticker();
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

// Progress display: a bar with percentage, rate and remaining time on a
// terminal, one JSON line per update with --progress=json, nothing on a
// non-terminal unless asked. Always on standard error, so that a JSON
// result on standard output stays one document.
#include <unistd.h>

#include <chrono>
#include <cmath>

#include "orvexctl.h"

namespace orvexctl {

namespace {
double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

Progress::Progress(const char* phase, uint64_t total_bytes)
    : phase_(phase), total_(total_bytes), start_s_(now_s()) {
    const std::string& m = g_opt.progress;
    if (m == "json")
        mode_ = 2;
    else if (m == "bar")
        mode_ = 1;
    else if (m == "auto")
        mode_ = (g_opt.verbosity >= 0 && isatty(STDERR_FILENO)) ? 1 : 0;
    else
        mode_ = 0;
}

Progress::~Progress() {
    if (mode_ == 1 && last_fraction_ >= 0 && !done_) std::fputc('\n', stderr);
}

void Progress::update(double f) {
    if (mode_ == 0 || done_) return;
    if (!(f >= 0)) f = 0;
    if (f > 1) f = 1;
    double t = now_s();
    // A bar redraw at most 10 times a second; JSON lines for every update.
    if (mode_ == 1 && f < 1 && last_print_s_ >= 0 && t - last_print_s_ < 0.1) return;
    double elapsed = t - start_s_;
    double done_bytes = f * static_cast<double>(total_);
    double rate = elapsed > 0 ? done_bytes / elapsed : 0;
    double eta = (f > 0 && f < 1) ? elapsed * (1 - f) / f : 0;
    if (mode_ == 2) {
        json j = {{"phase", phase_}, {"fraction", std::round(f * 1e6) / 1e6},
                  {"bytes", static_cast<uint64_t>(done_bytes)}, {"total", total_},
                  {"rate_bytes_per_s", std::round(rate)}, {"eta_s", std::round(eta * 10) / 10}};
        std::fprintf(stderr, "%s\n", j.dump().c_str());
    } else {
        const int width = 30;
        int filled = static_cast<int>(f * width);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(width - filled), '-');
        std::fprintf(stderr, "\r%-8s [%s] %5.1f%%  %7.1f KiB/s  %4.0f s left ", phase_.c_str(),
                     bar.c_str(), f * 100, rate / 1024, eta);
    }
    std::fflush(stderr);
    last_fraction_ = f;
    last_print_s_ = t;
    if (f >= 1) finish();
}

void Progress::finish() {
    if (done_) return;
    if (mode_ != 0 && last_fraction_ < 1) {
        done_ = false;
        last_print_s_ = -1;
        update(1.0);
        return;
    }
    if (mode_ == 1 && last_fraction_ >= 0) std::fputc('\n', stderr);
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

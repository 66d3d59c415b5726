// While the flash is erased and reprogrammed, an interrupt must not end the
// program: the library's burn cannot stop half-way without leaving a camera
// that does not boot, and the calibration is only written back at the end.
// The first signal says so; the work finishes and the usual result follows.
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "orvexctl.h"

namespace orvexctl {

namespace {
volatile sig_atomic_t g_signals = 0;
const char* g_message = "";

void on_signal(int) {
    ++g_signals;
    const char* m = g_signals == 1 ? g_message : "orvexctl: still finishing; please wait\n";
    ssize_t r = ::write(STDERR_FILENO, m, std::strlen(m));
    (void)r;
}

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
}  // namespace

SignalGuard::SignalGuard(const char* message) {
    g_signals = 0;
    g_message = message;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (size_t i = 0; i < 3; ++i) sigaction(kSignals[i], &sa, &saved_[i]);
}

SignalGuard::~SignalGuard() {
    for (size_t i = 0; i < 3; ++i) sigaction(kSignals[i], &saved_[i], nullptr);
}

int SignalGuard::received() const { return g_signals; }

}  // namespace orvexctl

// While the flash is erased and reprogrammed, an interrupt must not end the
// program: the library's burn cannot stop half-way without leaving a camera
// that does not boot, and the calibration is only written back at the end.
// The first signal says so; the work finishes and the usual result follows.
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "OrvexFactory.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {
volatile sig_atomic_t g_signals = 0;
const char* g_message = "";
const char* g_reminder = "";
// Set while a phase runs that only reads and is followed by no write.
OrvexFactorySession* volatile g_read_only = nullptr;
volatile sig_atomic_t g_stopping = 0;
// The texts as the output mode wants them, made before any signal: the
// handler may not allocate.
std::string g_message_text, g_reminder_text;
const char* const kStopping = "orvexctl: signal received during the read-back, which only reads: stopping\n";
std::string g_stopping_text;

std::string as_line(const std::string& text) {
    if (!json_lines()) return text;
    std::string t = text;
    while (!t.empty() && t.front() == '\n') t.erase(0, 1);
    while (!t.empty() && t.back() == '\n') t.pop_back();
    return json{{"signal", t}}.dump() + "\n";
}

void say(const char* m) {
    ssize_t r = ::write(STDERR_FILENO, m, std::strlen(m));
    (void)r;
}

void on_signal(int) {
    ++g_signals;
    if (OrvexFactorySession* s = g_read_only) {
        OrvexFactory_Cancel(s);
        if (!g_stopping) say(g_stopping_text.c_str());
        g_stopping = 1;
        return;
    }
    say(g_signals == 1 ? g_message : g_reminder);
}

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
}  // namespace

SignalGuard::SignalGuard(const char* message) {
    g_signals = 0;
    g_stopping = 0;
    g_read_only = nullptr;
    g_message_text = as_line(message);
    g_reminder_text = as_line("orvexctl: still finishing; please wait\n");
    g_stopping_text = as_line(kStopping);
    g_message = g_message_text.c_str();
    g_reminder = g_reminder_text.c_str();
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (size_t i = 0; i < 3; ++i) sigaction(kSignals[i], &sa, &saved_[i]);
}

void SignalGuard::read_only(OrvexFactorySession* session) {
    // A signal held off while the flash was written keeps its promise (the
    // burn finishes, read-back included); only one during the read-back
    // stops it.
    g_read_only = session;
}

SignalGuard::~SignalGuard() {
    g_read_only = nullptr;
    for (size_t i = 0; i < 3; ++i) sigaction(kSignals[i], &saved_[i], nullptr);
}

int SignalGuard::received() const { return g_signals; }

}  // namespace orvexctl

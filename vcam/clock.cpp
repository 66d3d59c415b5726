// The device's clock. Virtual by default: it moves only when the program
// sleeps or a query takes its latency, so timings are exact and tests run
// at full speed. In real-time mode it is the monotonic wall clock since the
// mode was set, and advancing it really waits, so a person can watch a
// burn progress and interrupt it at a chosen moment.
#include <ctime>

#include "internal.h"

namespace vcam {
namespace {
uint64_t g_now_us = 0;
uint64_t g_latency_us = 0;
bool g_real_time = false;
bool g_defer_waits = false;
uint64_t g_deferred_us = 0;
uint64_t g_real_origin_us = 0;

uint64_t monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}
}  // namespace

uint64_t now_us() { return g_real_time ? g_now_us + (monotonic_us() - g_real_origin_us) : g_now_us; }

void advance_us(uint64_t us) {
    if (!g_real_time) {
        g_now_us += us;
        return;
    }
    if (g_defer_waits) {
        g_deferred_us += us;
        return;
    }
    real_sleep_us(us);
}

void defer_real_waits(bool on) { g_defer_waits = on; }

uint64_t take_deferred_us() {
    uint64_t us = g_deferred_us;
    g_deferred_us = 0;
    return us;
}

void real_sleep_us(uint64_t us) {
    timespec ts{static_cast<time_t>(us / 1000000u), static_cast<long>(us % 1000000u) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) != 0) {
    }
}

void set_query_latency_us(uint64_t us) { g_latency_us = us; }
uint64_t query_latency_us() { return g_latency_us; }

void set_real_time(bool on) {
    if (on == g_real_time) return;
    if (on) {
        g_real_origin_us = monotonic_us();
    } else {
        g_now_us = now_us();
    }
    g_real_time = on;
}
bool real_time() { return g_real_time; }

void reset_clock() {
    g_now_us = 0;
    g_latency_us = 0;
    g_real_time = false;
}

}  // namespace vcam

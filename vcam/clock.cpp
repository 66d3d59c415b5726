#include "vcam.h"

namespace vcam {
namespace {
uint64_t g_now_us = 0;
uint64_t g_latency_us = 0;
}  // namespace

uint64_t now_us() { return g_now_us; }
void advance_us(uint64_t us) { g_now_us += us; }
void set_query_latency_us(uint64_t us) { g_latency_us = us; }
uint64_t query_latency_us() { return g_latency_us; }

void reset_clock() {
    g_now_us = 0;
    g_latency_us = 0;
}

}  // namespace vcam

// A full 256 KiB firmware burn on the virtual camera, sampled and full
// verification. Counters:
//   queries        extension-unit queries of the burn
//   floor_queries  one per 8 bytes programmed (plus the deferred chunk), two
//                  per 8 bytes verified
//   virtual_s      virtual time with 1 ms per query, erase and waits included
//   erase_wait_s   virtual time from the chip-erase command to the first
//                  flash-data query: erase, its polling, the one-second wait
//   floor_s        floor_queries at 1 ms plus erase_wait_s
//   cpu_total_ms   CPU time of the burn: library and virtual camera
//   cpu_vcam_ms    CPU time of the same queries replayed as bare ioctl calls
//   cpu_lib_ms     the difference: what the library itself costs
#include <benchmark/benchmark.h>
#include <linux/uvcvideo.h>
#include <sys/ioctl.h>
#include <time.h>

#include <vector>

#include "OrvexTac.h"
#include "vcam.h"

namespace {

constexpr LONG kImageLen = 0x40000;

double cpu_ms() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void open_fresh() {
    if (camera_init) OrvexTac_UnInit();
    vcam::reset();
    vcam::attach(0);
    OrvexTac_Init(0);
    vcam::set_query_latency_us(1000);
    vcam::trace().clear();
}

// Issues the recorded queries again, as bare ioctl calls on a fresh camera,
// with the recorded waits applied to the virtual clock so the model walks
// through the same states.
double replay_cpu_ms(const std::vector<vcam::TraceEvent>& events) {
    open_fresh();
    double start = cpu_ms();
    std::vector<uint8_t> buf;
    for (const auto& ev : events) {
        if (ev.kind == vcam::TraceEvent::SLEEP) {
            vcam::advance_us(ev.sleep_us);
            continue;
        }
        const vcam::QueryRecord& r = ev.query;
        buf.assign(r.size, 0);
        if (r.request == vcam::REQ_SET_CUR) buf = r.sent;
        uvc_xu_control_query q{};
        q.unit = r.unit;
        q.selector = r.selector;
        q.query = r.request;
        q.size = r.size;
        q.data = buf.data();
        ioctl(fd, UVCIOC_CTRL_QUERY, &q);
    }
    double spent = cpu_ms() - start;
    vcam::trace().clear();
    return spent;
}

// From the chip-erase command to the first flash-data query after it: the
// erase, its status polling and the one-second wait.
uint64_t erase_wait_us(const std::vector<vcam::TraceEvent>& events) {
    uint64_t erase_at = 0;
    bool seen = false;
    for (const auto& ev : events) {
        if (ev.kind != vcam::TraceEvent::QUERY) continue;
        const vcam::QueryRecord& q = ev.query;
        const auto& s = q.sent;
        // 0x60 or 0xC7 into the SPI master's data register: chip erase.
        if (!seen && q.selector == 1 && s.size() == 4 && s[3] == 0x00 && s[0] == 0x82 &&
            s[1] == 0x10 && (s[2] == 0x60 || s[2] == 0xC7)) {
            erase_at = q.at_us;
            seen = true;
        }
        if (seen && q.selector == 3) return q.at_us - erase_at;
    }
    return 0;
}

void BM_Burn256KiB(benchmark::State& state) {
    const BOOL full = static_cast<BOOL>(state.range(0));
    std::vector<unsigned char> image(kImageLen);
    for (LONG i = 0; i < kImageLen; ++i) image[i] = static_cast<unsigned char>(i * 13 + (i >> 10));
    double total = 0, vcam_only = 0;
    size_t queries = 0;
    uint64_t virtual_us = 0, erase_us = 0;
    for (auto _ : state) {
        open_fresh();
        uint64_t t0 = vcam::now_us();
        double c0 = cpu_ms();
        BOOL ok = OrvexTac_BurnerFW(image.data(), kImageLen, nullptr, nullptr, SFT_MXIC, full);
        total = cpu_ms() - c0;
        virtual_us = vcam::now_us() - t0;
        if (!ok) state.SkipWithError("burn failed");
        std::vector<vcam::TraceEvent> events = vcam::trace().events();
        queries = vcam::trace().query_count();
        erase_us = erase_wait_us(events);
        vcam::trace().clear();
        vcam_only = replay_cpu_ms(events);
    }
    const double chunks = kImageLen / 8;
    const double floor_queries = chunks + 1 + 2 * (full ? chunks : kImageLen / 1024);
    state.counters["queries"] = static_cast<double>(queries);
    state.counters["floor_queries"] = floor_queries;
    state.counters["virtual_s"] = virtual_us / 1e6;
    state.counters["erase_wait_s"] = erase_us / 1e6;
    state.counters["floor_s"] = floor_queries / 1e3 + erase_us / 1e6;
    state.counters["cpu_total_ms"] = total;
    state.counters["cpu_vcam_ms"] = vcam_only;
    state.counters["cpu_lib_ms"] = total - vcam_only;
    if (camera_init) OrvexTac_UnInit();
    vcam::reset();
}
BENCHMARK(BM_Burn256KiB)->ArgName("full")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

// Sector rewrite of a 44-byte record and of a full 4 KiB sector with 1 ms
// per extension-unit query, as a control transfer takes on a real camera:
// queries issued and virtual time spent. The floor is the one-second wait
// after the erase plus one query per 8 bytes programmed.
#include <benchmark/benchmark.h>

#include <vector>

#include "OrvexTac.h"
#include "vcam.h"

namespace {

void BM_SectorRewrite(benchmark::State& state) {
    const long len = state.range(0);
    std::vector<unsigned char> data(static_cast<size_t>(len), 0x5A);
    uint64_t queries = 0, us = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (camera_init) OrvexTac_UnInit();
        vcam::reset();
        vcam::attach(0);
        OrvexTac_Init(0);
        vcam::trace().clear();
        vcam::set_query_latency_us(1000);
        uint64_t t0 = vcam::now_us();
        state.ResumeTiming();
        BOOL ok = OrvexTac_SerialFlashSectorWrite(0x30000, data.data(), len, SFT_MXIC);
        state.PauseTiming();
        if (ok != 1) state.SkipWithError("sector rewrite failed");
        queries = vcam::trace().query_count();
        us = vcam::now_us() - t0;
        state.ResumeTiming();
    }
    const double floor_us = 1e6 + 1000.0 * static_cast<double>((len + 7) / 8);
    state.counters["queries"] = static_cast<double>(queries);
    state.counters["virtual_ms"] = static_cast<double>(us) / 1000.0;
    state.counters["floor_ms"] = floor_us / 1000.0;
    state.counters["over_floor_ms"] = (static_cast<double>(us) - floor_us) / 1000.0;
}
BENCHMARK(BM_SectorRewrite)->Arg(44)->Arg(4096)->Iterations(3);

}  // namespace

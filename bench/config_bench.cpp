// Cost of each calibration-store operation on the default virtual camera
// with 1 ms per extension-unit query: queries issued and virtual time
// taken (the one-second wait after a Save's sector erase included).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <functional>

#include "OrvexConfig.h"
#include "OrvexTac.h"
#include "vcam.h"

namespace {

void run_store_op(benchmark::State& state, const std::function<void()>& op) {
    double queries = 0, virtual_ms = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (camera_init) OrvexTac_UnInit();
        debug_enable = 0;
        vcam::reset();
        vcam::attach(0);
        vcam::set_query_latency_us(1000);
        state.ResumeTiming();
        op();
        queries = static_cast<double>(vcam::trace().query_count());
        virtual_ms = static_cast<double>(vcam::now_us()) / 1000.0;
    }
    state.counters["queries"] = queries;
    state.counters["virtual_ms"] = virtual_ms;
}

MarkerConfig g_marker = {32, 24, 36, 36, 0.0125f, 16, 12, 640, 480, 48, 20};
float g_params[255];
char g_text[1024];

void BM_SaveMarkerConfig(benchmark::State& s) {
    run_store_op(s, [] { SaveMarkerConfig(0, &g_marker); });
}
void BM_ReadMarkerConfig(benchmark::State& s) {
    run_store_op(s, [] { ReadMarkerConfig(0, &g_marker); });
}
void BM_SetSensorType(benchmark::State& s) {
    run_store_op(s, [] { SetSensorType(0, "stereo-nir-640x480"); });
}
void BM_GetSensorType(benchmark::State& s) {
    run_store_op(s, [] { GetSensorType(0, g_text); });
}
void BM_SaveExtraParams(benchmark::State& s) {
    unsigned char n = static_cast<unsigned char>(s.range(0));
    run_store_op(s, [n] { SaveExtraParams(0, g_params, n); });
}
void BM_ReadExtraParams(benchmark::State& s) {
    unsigned char n = static_cast<unsigned char>(s.range(0));
    run_store_op(s, [n] { ReadExtraParams(0, g_params, n); });
}
void BM_SaveRectifyConfig(benchmark::State& s) {
    RectifyConfig r{};
    initializeBaseGrid(&r, static_cast<int>(s.range(0)), static_cast<int>(s.range(1)));
    run_store_op(s, [&r] { SaveRectifyConfig(0, &r); });
    free(r.base_grid);
}
void BM_ReadRectifyConfig(benchmark::State& s) {
    RectifyConfig r{};
    run_store_op(s, [&r] { ReadRectifyConfig(0, &r); });
    free(r.base_grid);
}

BENCHMARK(BM_SaveMarkerConfig)->Iterations(3);
BENCHMARK(BM_ReadMarkerConfig)->Iterations(3);
BENCHMARK(BM_SetSensorType)->Iterations(3);
BENCHMARK(BM_GetSensorType)->Iterations(3);
BENCHMARK(BM_SaveExtraParams)->Arg(3)->Arg(255)->Iterations(3);
BENCHMARK(BM_ReadExtraParams)->Arg(3)->Arg(255)->Iterations(3);
BENCHMARK(BM_SaveRectifyConfig)->Args({5, 4})->Args({25, 18})->Iterations(3);
BENCHMARK(BM_ReadRectifyConfig)->Iterations(3);  // the factory 5 x 4 record

}  // namespace

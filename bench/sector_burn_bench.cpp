// The sector-wise burn against the library's burner, on the virtual camera
// at 1 ms per query: 192 KiB and 256 KiB images, full and sampled
// verification. Every run is compared with the library's full-check burn
// of the same image. Counters:
//   queries, virtual_s    extension-unit queries and virtual device time
//   vs_library_queries    queries / those of the library's full-check burn
//   vs_library_time       virtual time / that of the library's full-check burn
//   erase_s, program_s, verify_s   sector-wise phases (virtual time)
// A sector-wise run that changes a calibration or identification sector
// is reported as an error.
#include <benchmark/benchmark.h>

#include <vector>

#include "OrvexTac.h"
#include "burn_sector.h"
#include "vcam.h"

namespace {

enum Method { kLibrary = 0, kSectorWise = 1 };

struct Cost {
    double queries = 0;
    double seconds = 0;
};

void open_fresh() {
    if (camera_init) OrvexTac_UnInit();
    vcam::reset();
    vcam::attach(0);
    OrvexTac_Init(0);
    vcam::set_query_latency_us(1000);
    vcam::trace().clear();
}

std::vector<unsigned char> make_image(long len) {
    std::vector<unsigned char> image(static_cast<size_t>(len));
    for (long i = 0; i < len; ++i) image[static_cast<size_t>(i)] = static_cast<unsigned char>(i * 13 + (i >> 10));
    return image;
}

std::vector<uint8_t> kept_bytes() {
    std::vector<uint8_t> out;
    const std::vector<uint8_t>& flash = vcam::camera(0)->flash();
    for (long a = 0; a < static_cast<long>(vcam::kFlashSize); a += 0x1000)
        if (orvex_factory::is_kept_sector(a)) out.insert(out.end(), flash.begin() + a, flash.begin() + a + 0x1000);
    return out;
}

Cost library_burn(std::vector<unsigned char>& image, BOOL full, bool* ok) {
    open_fresh();
    uint64_t t0 = vcam::now_us();
    *ok = OrvexTac_BurnerFW(image.data(), static_cast<LONG>(image.size()), nullptr, nullptr, SFT_MXIC, full) == 1;
    return {static_cast<double>(vcam::trace().query_count()), (vcam::now_us() - t0) / 1e6};
}

void BM_BurnMethods(benchmark::State& state) {
    const long len = state.range(0) * 1024;
    const Method method = static_cast<Method>(state.range(1));
    const bool full = state.range(2) != 0;
    std::vector<unsigned char> image = make_image(len);
    Cost reference, run;
    orvex_factory::SectorBurnResult r;
    for (auto _ : state) {
        bool ok = false;
        reference = library_burn(image, 1, &ok);
        if (!ok) state.SkipWithError("library full-check burn failed");
        if (method == kLibrary) {
            run = library_burn(image, full ? 1 : 0, &ok);
            if (!ok) state.SkipWithError("library burn failed");
            continue;
        }
        open_fresh();
        const std::vector<uint8_t> kept = kept_bytes();
        orvex_factory::SectorBurnOptions o;
        o.sft = SFT_MXIC;
        o.full_verify = full;
        o.clock_us = vcam::now_us;
        o.query_count = [] { return static_cast<uint64_t>(vcam::trace().query_count()); };
        uint64_t t0 = vcam::now_us();
        OrvexFactorySession session;
        r = orvex_factory::sector_burn(session, image.data(), len, o);
        run = {static_cast<double>(vcam::trace().query_count()), (vcam::now_us() - t0) / 1e6};
        if (!r.ok()) state.SkipWithError(r.message.c_str());
        if (kept_bytes() != kept) state.SkipWithError("a kept sector changed");
    }
    state.counters["queries"] = run.queries;
    state.counters["virtual_s"] = run.seconds;
    state.counters["vs_library_queries"] = run.queries / reference.queries;
    state.counters["vs_library_time"] = run.seconds / reference.seconds;
    if (method == kSectorWise) {
        state.counters["erase_s"] = r.cost(orvex_factory::BurnPhase::erase).time_us / 1e6;
        state.counters["program_s"] = r.cost(orvex_factory::BurnPhase::program).time_us / 1e6;
        state.counters["verify_s"] = r.cost(orvex_factory::BurnPhase::verify).time_us / 1e6;
    }
    if (camera_init) OrvexTac_UnInit();
    vcam::reset();
}
BENCHMARK(BM_BurnMethods)
    ->ArgNames({"kib", "sector", "full"})
    ->ArgsProduct({{192, 256}, {kLibrary, kSectorWise}, {1, 0}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

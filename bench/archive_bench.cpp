// The local write of one archive event: one finished row with a command's
// JSON result (a burn's is about 2 KiB), in its own transaction, into an
// SQLite file in WAL mode on the local disk, as every recorded operation
// writes it. Wall time per event; the target is under 5 ms.
#include <filesystem>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "archive.h"
#ifdef ORVEX_BENCH_LINE
#include "pg_cluster.h"
#endif

namespace {

void BM_ArchiveLocalEventWrite(benchmark::State& state) {
    char tmpl[] = "/tmp/orvex-archive-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        state.SkipWithError("no scratch folder");
        return;
    }
    const std::string dir = tmpl;
    using orvex_factory::json;
    auto archive = orvex_factory::Archive::open(dir + "/a.sqlite");
    json result = {{"image", "fw.bin"}, {"phases", json::array()}};
    for (int i = 0; i < 40; ++i) result["phases"].push_back({{"phase", "program"}, {"queries", i}, {"seconds", 0.5}});
    const std::string text = result.dump();
    for (auto _ : state) {
        json e = {{"uuid", orvex_factory::new_uuid()}, {"phase", "finished"}, {"kind", "burn"},
                  {"station", archive->station()}, {"utc", "2026-12-09T18:00:00.000000Z"}, {"unit_tag", "OG"},
                  {"unit_number", 123}, {"image_name", "fw.bin"}, {"image_length", 196608},
                  {"exit_code", 0}, {"result", "ok"}, {"result_json", text}};
        e["operation"] = e["uuid"];
        archive->append({e});
    }
    archive.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}
BENCHMARK(BM_ArchiveLocalEventWrite)->Unit(benchmark::kMillisecond)->UseRealTime();


#ifdef ORVEX_BENCH_LINE
// Forwarding a station's 10,000 events to a line database on a local
// server (a throwaway one, as the tests start): batches of 500, each one
// remote transaction, then the station's marks. The target is under 10 s.
void BM_ArchiveForwardToLine(benchmark::State& state) {
    orvex_test::PgCluster* pg = orvex_test::PgCluster::shared();
    if (!pg) {
        state.SkipWithError(("no line database server: " + orvex_test::PgCluster::why_not()).c_str());
        return;
    }
    char tmpl[] = "/tmp/orvex-archive-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        state.SkipWithError("no scratch folder");
        return;
    }
    const std::string dir = tmpl;
    using orvex_factory::json;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string line = pg->new_database();
        auto station = orvex_factory::Archive::open(dir + "/" + std::to_string(state.iterations()) + ".sqlite");
        std::vector<json> events;
        for (int i = 0; i < 10000; ++i) {
            json e = {{"uuid", orvex_factory::new_uuid()}, {"phase", i % 2 ? "finished" : "started"},
                      {"kind", "burn"}, {"station", station->station()}, {"utc", "2026-12-09T18:00:00.000000Z"},
                      {"unit_tag", "OG"}, {"unit_number", i / 2}, {"image_name", "fw.bin"}, {"exit_code", 0},
                      {"result_json", "{\"image\":\"fw.bin\",\"phases\":[]}"}};
            e["operation"] = "op-" + std::to_string(i / 2);
            events.push_back(e);
        }
        station->append(events);
        state.ResumeTiming();
        json r = orvex_factory::forward(*station, line);
        if (r.contains("error") || r["sent"] != 10000) state.SkipWithError(r.dump().c_str());
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}
BENCHMARK(BM_ArchiveForwardToLine)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
#endif

}  // namespace

namespace {

// The same write into an archive that already holds many operations, as a
// station's does after months or a line's after days: a write must not
// cost more as the archive grows.
void BM_ArchiveEventWriteIntoAGrownArchive(benchmark::State& state) {
    char tmpl[] = "/tmp/orvex-archive-bench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        state.SkipWithError("no scratch folder");
        return;
    }
    const std::string dir = tmpl;
    using orvex_factory::json;
    auto archive = orvex_factory::Archive::open(dir + "/a.sqlite");
    auto event = [&](long i) {
        json e = {{"uuid", orvex_factory::new_uuid()}, {"phase", "finished"}, {"kind", "burn"},
                  {"station", archive->station()}, {"utc", "2026-12-09T18:00:00.000000Z"}, {"unit_tag", "OG"},
                  {"unit_number", i % 250}, {"exit_code", 0}, {"result", "ok"}};
        e["operation"] = e["uuid"];
        return e;
    };
    std::vector<json> before;
    for (long i = 0; i < state.range(0); ++i) before.push_back(event(i));
    archive->append(before);
    for (auto _ : state) archive->append({event(0)});
    archive.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}
BENCHMARK(BM_ArchiveEventWriteIntoAGrownArchive)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

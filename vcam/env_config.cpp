// Configuration for programs run under LD_PRELOAD, from one environment
// variable:
//
//   ORVEX_VCAM="INDEX[:key=value,...][;INDEX...]"
//
// keys: profile=NAME, chip=0xNN, unit=3|4, state=FILE (load the flash image
// if the file exists, save it back when the camera is closed and at exit),
// fresh (flash all 0xFF), noid (no identification block: the calibration
// store leaves the camera alone), id2 (the block at its second location
// only), protected (flash starts write-protected), stuck=ADDR/MASK (bits
// of MASK at flash address ADDR stay 1 when programmed; repeatable),
// latency_us=N (per query, all cameras), trace=FILE (query trace written at
// exit). An empty value attaches the default camera as /dev/video0.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "internal.h"
#include "env_config.h"
#include "images/identification.h"

namespace vcam {
namespace {

// A function-local static: a namespace-scope string would be initialised
// only after the load-time constructor below has set it, and so emptied.
std::string& trace_file() {
    static std::string path;
    return path;
}

bool parse_number(const std::string& s, long* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 0);
    if (*end) return false;
    *out = v;
    return true;
}

// "ADDR/MASK": an address inside the flash and a non-zero 8-bit mask.
bool parse_stuck(const std::string& s, std::map<uint32_t, uint8_t>* out) {
    size_t slash = s.find('/');
    long addr = 0, mask = 0;
    if (slash == std::string::npos || !parse_number(s.substr(0, slash), &addr) ||
        !parse_number(s.substr(slash + 1), &mask))
        return false;
    if (addr < 0 || addr >= static_cast<long>(kFlashSize) || mask <= 0 || mask > 0xFF) return false;
    (*out)[static_cast<uint32_t>(addr)] |= static_cast<uint8_t>(mask);
    return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::string cur;
    std::istringstream in(s);
    while (std::getline(in, cur, sep))
        if (!cur.empty()) parts.push_back(cur);
    return parts;
}

void write_trace_file() {
    if (trace_file().empty()) return;
    FILE* f = std::fopen(trace_file().c_str(), "w");
    if (!f) return;
    for (const auto& e : trace().events()) {
        if (e.kind == TraceEvent::SLEEP) {
            std::fprintf(f, "sleep %llu\n", static_cast<unsigned long long>(e.sleep_us));
            continue;
        }
        const QueryRecord& q = e.query;
        std::fprintf(f, "query video%d unit %u sel %u %s size %u result %d errno %d sent",
                     q.camera, q.unit, q.selector, q.request == REQ_GET_CUR ? "GET" : "SET",
                     q.size, q.result, q.error);
        for (uint8_t b : q.sent) std::fprintf(f, " %02x", b);
        std::fprintf(f, " returned");
        for (uint8_t b : q.returned) std::fprintf(f, " %02x", b);
        std::fprintf(f, "\n");
    }
    std::fclose(f);
}

}  // namespace

bool configure_from_string(const std::string& config, std::string* error) {
    std::vector<std::string> cams = split(config, ';');
    if (cams.empty()) cams.push_back("0");
    for (const std::string& cam_spec : cams) {
        std::string index_part = cam_spec.substr(0, cam_spec.find(':'));
        std::string opts = cam_spec.find(':') == std::string::npos
                               ? std::string()
                               : cam_spec.substr(cam_spec.find(':') + 1);
        long index;
        if (!parse_number(index_part, &index)) {
            *error = "bad camera index '" + index_part + "'";
            return false;
        }
        Profile p = default_profile();
        std::string state;
        bool fresh = false;
        enum { ID_AS_BUILT, ID_NONE, ID_SECOND } id = ID_AS_BUILT;
        std::map<uint32_t, uint8_t> stuck;
        for (const std::string& kv : split(opts, ',')) {
            std::string key = kv.substr(0, kv.find('='));
            std::string val = kv.find('=') == std::string::npos ? "" : kv.substr(kv.find('=') + 1);
            long n = 0;
            if (key == "profile") {
                if (!find_profile(val, &p)) {
                    *error = "unknown profile '" + val + "'";
                    return false;
                }
            } else if (key == "chip" && parse_number(val, &n)) {
                p.chip_id = static_cast<uint8_t>(n);
            } else if (key == "unit" && parse_number(val, &n)) {
                p.unit_id = static_cast<uint8_t>(n);
            } else if (key == "state") {
                state = val;
            } else if (key == "fresh") {
                fresh = true;
            } else if (key == "noid") {
                id = ID_NONE;
            } else if (key == "id2") {
                id = ID_SECOND;
            } else if (key == "protected") {
                p.start_protected = true;
            } else if (key == "stuck") {
                if (!parse_stuck(val, &stuck)) {
                    *error = "bad stuck bits '" + val + "' (ADDR/MASK)";
                    return false;
                }
            } else if (key == "latency_us" && parse_number(val, &n)) {
                set_query_latency_us(static_cast<uint64_t>(n));
            } else if (key == "trace") {
                trace_file() = val;
            } else {
                *error = "bad option '" + kv + "'";
                return false;
            }
        }
        if (fresh) p.flash.assign(kFlashSize, 0xFF);
        if (id != ID_AS_BUILT) clear_identification(p.flash);
        if (id == ID_SECOND) write_identification(p.flash, 2, "OF", "000042");
        Camera& cam = attach(static_cast<int>(index), p);
        cam.faults().stuck_bits = stuck;
        if (!state.empty()) {
            FILE* f = std::fopen(state.c_str(), "rb");
            if (f) {
                std::fclose(f);
                if (!cam.load_state(state)) {
                    *error = "cannot read flash image " + state;
                    return false;
                }
            }
            set_state_file(static_cast<int>(index), state);
        }
    }
    return true;
}

namespace {

// Runs when the library is loaded: as LD_PRELOAD, or linked into a program
// that sets ORVEX_VCAM itself before it starts.
__attribute__((constructor)) void configure_from_environment() {
    const char* config = std::getenv("ORVEX_VCAM");
    if (!config) return;
    std::string error;
    if (!configure_from_string(config, &error)) {
        std::fprintf(stderr, "orvex-vcam: ORVEX_VCAM: %s\n", error.c_str());
        std::exit(2);
    }
    // The trace must outlive the handler that writes it: construct it
    // before the handler is registered, so that it is destroyed after.
    trace();
    std::atexit(write_trace_file);
}

}  // namespace
}  // namespace vcam

// The fault sweep: an operation runs once on a healthy camera to count its
// queries N, then once for every k in 1..N with query k failing (EIO),
// stalling (EPIPE), and with the camera unplugged from query k on. Each run
// starts from a fresh camera and checks the operation's invariants; nothing
// is compared with a recorded table.
#ifndef ORVEX_FAULT_SWEEP_H
#define ORVEX_FAULT_SWEEP_H

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vcam.h"

namespace sweep {

enum class Fault { NONE, FAIL, STALL, UNPLUG };
const char* fault_name(Fault f);

// Invariant violations of one run, kept until standard output is back
// (the libraries print while the run is silenced).
class Check {
public:
    void expect(bool ok, const std::string& what) {
        if (!ok) failures_.push_back(what);
    }
    const std::vector<std::string>& failures() const { return failures_; }

private:
    std::vector<std::string> failures_;
};

// What a run sees: the camera, the flash as it was before the operation,
// whether this is the healthy run, and a memo in which the healthy run
// leaves what a successful run must reproduce.
struct Ctx {
    vcam::Camera& cam;
    const std::vector<uint8_t>& flash_before;
    bool clean;
    std::map<std::string, std::vector<uint8_t>>& memo;
    Check& check;
};

struct Operation {
    std::string name;
    vcam::Profile profile = vcam::default_profile();
    bool open_first = true;                    // OrvexTac_Init before the run
    std::function<void(vcam::Camera&)> prepare;  // set-up, not counted
    // 4 KiB sectors the operation may change; every other one must stay.
    std::vector<uint32_t> target_sectors;
    bool whole_flash = false;                  // a burn may change any sector
    // Runs the operation, checks what it promised and returns the outcome
    // class ("1, effect exact", "0, record untouched", ...).
    std::function<std::string(Ctx&)> run;
};

struct Summary {
    long n = 0;  // queries of the healthy run
    // fault -> outcome class -> runs
    std::map<Fault, std::map<std::string, int>> classes;
};

// Sweeps one operation; invariant violations become test failures.
Summary sweep(const Operation& op);
std::string describe(const std::string& name, const Summary& s);
// Sweeps OP and prints its numbers, so a sweep's coverage is visible in the
// test log.
void report(const Operation& op);

// Helpers for operations.
std::vector<uint8_t> bytes(const uint8_t* p, size_t n);
std::vector<uint32_t> changed_sectors(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

}  // namespace sweep

#endif

// burn: what one burn has decided and gathered before it touches the
// flash, shared by the two ways of burning (burn_sector.cpp, the default,
// and burn_library.cpp) and the dry-run plan (burn_plan.cpp).
#ifndef ORVEXCTL_BURN_JOB_H
#define ORVEXCTL_BURN_JOB_H

#include <string>
#include <utility>
#include <vector>

#include "orvexctl.h"

namespace orvexctl {

// Time and extension-unit queries per phase, for --json.
class PhaseLog {
public:
    void add(const std::string& phase, uint64_t queries, double seconds);
    json to_json() const;  // {"phases": [...], "queries": total, "seconds": total}
private:
    struct Entry {
        std::string phase;
        uint64_t queries;
        double seconds;
    };
    std::vector<Entry> entries_;
};

// Measures the phase it lives through (queries_issued and the steady clock).
class PhaseTimer {
public:
    PhaseTimer(PhaseLog& log, const char* phase);
    ~PhaseTimer() { stop(); }
    PhaseTimer(const PhaseTimer&) = delete;
    PhaseTimer& operator=(const PhaseTimer&) = delete;
    void stop();
private:
    PhaseLog& log_;
    const char* phase_;
    uint64_t q0_;
    double t0_;
    bool stopped_ = false;
};
double steady_seconds();

// What to run when the camera is not as the burn promised.
struct Recovery {
    std::string image;
    std::string backup;  // empty: none was taken
    std::string why_no_backup;
    bool calibration_untouched = false;  // the sector-wise burn never erases it
    std::string text(bool firmware_lost) const;
};

enum class BurnMethod { sector, library };

struct BurnJob {
    BurnOptions o;
    BurnMethod method = BurnMethod::sector;
    Bytes image;  // padded to whole 8-byte chunks, at least 0x168 bytes
    long original = 0, len = 0;
    bool full_verify = true;
    bool keep = true;          // the calibration is kept
    bool take_backup = true;
    bool keep_id2 = false;     // library method: the second identification sector comes back from the backup
    Identity id;
    std::vector<IdBlock> id_blocks_now;
    json checks;               // image checks by name: passed, forced or failed
    bool recognised_after = false;
    // Library method: the ranges the burn erases and writes back.
    std::vector<std::pair<long, long>> kept;
    SERIAL_FLASH_TYPE sft = SFT_UNKNOW;
    json snapshot;  // the backup document, in memory
    Recovery rec;
    PhaseLog log;
};

// A burn's result: the JSON document and its text rendering.
struct BurnReport {
    json doc;
    std::string text;
};

BurnReport burn_sector_wise(BurnJob& job);
BurnReport burn_with_library(BurnJob& job);
// The dry run: what the burn would do, from reads only.
int print_burn_plan(const BurnJob& job);
// Sector-wise only: image bytes in the identification blocks' sectors,
// which that burn never writes, must already be in the flash (apart from
// the blocks themselves, which stay the camera's own). Throws EXIT_REFUSED
// otherwise; returns notes for the blocks that differ.
std::vector<std::string> check_kept_sectors(const BurnJob& job);
bool any_programmed(const Bytes& img, long from, long to);

}  // namespace orvexctl

#endif

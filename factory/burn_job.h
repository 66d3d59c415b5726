// Internal: what one burn has decided and gathered before it touches the
// flash, shared by the two ways of burning (burn_sectorwise.cpp, the
// default, and burn_library.cpp) and the dry-run plan (burn_plan.cpp).
#ifndef ORVEX_FACTORY_BURN_JOB_H
#define ORVEX_FACTORY_BURN_JOB_H

#include <utility>

#include "device.h"
#include "identity.h"
#include "session.h"

namespace orvex_factory {

// Time and extension-unit queries per phase.
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

// Measures the phase it lives through (the session's query count and the
// steady clock).
class PhaseTimer {
public:
    PhaseTimer(Session& s, PhaseLog& log, const char* phase);
    ~PhaseTimer() { stop(); }
    PhaseTimer(const PhaseTimer&) = delete;
    PhaseTimer& operator=(const PhaseTimer&) = delete;
    void stop();
private:
    Session& s_;
    PhaseLog& log_;
    const char* phase_;
    uint64_t q0_;
    double t0_;
    bool stopped_ = false;
};
double steady_seconds();

// What to run when the camera is not as the burn promised.
struct Recovery {
    int device = 0;
    std::string image;
    std::string backup;  // empty: none was taken
    std::string why_no_backup;
    bool calibration_untouched = false;  // the sector-wise burn never erases it
    std::string text(bool firmware_lost) const;
};

enum class BurnMethod { sector, library };

struct BurnJob {
    Session* s = nullptr;
    BurnMethod method = BurnMethod::sector;
    std::string image_name;
    std::string backup_file;  // a further copy of the backup; empty: none
    unsigned force = 0;       // ORVEX_FACTORY_CHECK_* overridden
    bool dry_run = false;
    Bytes image;  // padded to whole 8-byte chunks, at least the deferred chunk's end
    long original = 0, len = 0;
    bool full_verify = true;
    bool keep = true;  // the calibration is kept
    bool take_backup = true;
    bool keep_id2 = false;  // library method: the second identification sector comes back from the backup
    Chip chip;
    std::vector<IdBlock> id_blocks_now;
    json checks;  // image checks by name: passed, forced or failed
    bool recognised_after = false;
    // Library method: the ranges the burn erases and writes back.
    std::vector<std::pair<long, long>> kept;
    SERIAL_FLASH_TYPE sft = SFT_UNKNOW;
    json snapshot;  // the backup document, in memory
    std::vector<std::string> saved;  // where it was written
    Recovery rec;
    PhaseLog log;
};

// Each returns what its method adds to the burn's result.
json burn_sector_wise(BurnJob& job);
json burn_with_library(BurnJob& job);
// The dry run: what the burn would do, from reads only.
json burn_plan(BurnJob& job);
// Sector-wise only: image bytes in the identification blocks' sectors,
// which that burn never writes, must already be in the flash (apart from
// the blocks themselves, which stay the camera's own). Throws REFUSED
// otherwise; returns notes for the blocks that differ.
std::vector<std::string> check_kept_sectors(BurnJob& job);
bool any_programmed(const Bytes& img, long from, long to);

}  // namespace orvex_factory

#endif

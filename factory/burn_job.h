// Internal: what one burn has decided and gathered before it touches the
// flash, shared by the two ways of burning (burn_sectorwise.cpp, the
// default, and burn_library.cpp) and the dry-run plan (burn_plan.cpp).
#ifndef ORVEX_FACTORY_BURN_JOB_H
#define ORVEX_FACTORY_BURN_JOB_H

#include <utility>

#include "device.h"
#include "fw_area.h"
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
    std::string camera = "-d 0";  // the selection option that survives a re-plug (camera_option)
    std::string image;
    std::string backup;  // empty: none was taken
    std::string why_no_backup;
    bool calibration_untouched = false;  // the sector-wise burn never erases it
    // What the burn again needs of the firmware-version rule: a failed burn
    // may leave the image's version fields in place (" --allow-reinstall").
    std::string burn_options;
    // The recovery block: a burn again when the firmware may be lost, and
    // the calibration's state or restore.
    std::string text(bool firmware_lost) const;
    // For a flash that failed at the same address as the last burn: no
    // burn again (it would fail the same way), only the calibration.
    std::string worn_text(long address) const;
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
    bool allow_older = false, allow_reinstall = false;
    json firmware;  // {"current", "new", "change", "text"}: the versions compared
    int version_cmp = 1;         // the image's version against the camera's (1 when not comparable)
    std::string fw_now, fw_new;  // as text
    std::string version_options;  // what the rule needs that was not given: " --allow-reinstall"
};

// Burns that failed at a flash address, per unit, in the backup folder:
// the same address failing twice in a row is a worn flash, not a burn to
// repeat. A key names the unit (chip and identity, else the camera's
// selection option); a successful burn clears it.
std::string failure_key(const BurnJob& job);
// Records this failure; true when the last burn of the same unit failed
// at the same address.
bool failed_here_before(Session& s, const std::string& key, long address);
void forget_failures(Session& s, const std::string& key);
// A camera (by its selection option) that had no identity and took the
// identity text from a burned image; the same history file.
void remember_image_identity(Session& s, const std::string& camera, const std::string& identity);
bool identity_came_from_image(Session& s, const std::string& camera, const std::string& identity);

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

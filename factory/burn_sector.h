// Internal: the sector-wise firmware burn. It erases only the 4 KiB sectors
// an image covers and programs them, so the calibration records and the
// identification blocks stay in the flash throughout instead of passing
// through a host file. The camera must be open.
#ifndef ORVEX_FACTORY_BURN_SECTOR_H
#define ORVEX_FACTORY_BURN_SECTOR_H

#include <functional>

#include "OrvexTac.h"
#include "session.h"

namespace orvex_factory {

enum class BurnPhase { prepare, erase, program, verify };
constexpr int kBurnPhaseCount = 4;
const char* burn_phase_name(BurnPhase phase);

enum class SectorBurnOutcome {
    ok,
    bad_image,          // empty, shorter than the deferred chunk, or past 256 KiB
    no_camera,          // no camera open
    unsupported_flash,  // the flash type's sector erase does not clear exactly 4 KiB
    unidentified,       // the chip's ROM type could not be read
    still_protected,    // block-protect bits remain after the release
    transfer_failed,    // a query failed (unplug, stall) during erase, program or read
    not_erased,         // a sector read back programmed after its erase
    cancelled,          // stopped during the read-back, the last phase, which only reads
    mismatch,           // the read-back differs from the image
};
const char* sector_burn_outcome_name(SectorBurnOutcome outcome);

struct SectorBurnOptions {
    SERIAL_FLASH_TYPE sft = SFT_MXIC;
    // Every byte of the written range; false reads 8 bytes per KiB, which
    // misses most single-byte faults.
    bool full_verify = true;
    // Called at the start and end of each phase and as it goes.
    std::function<void(BurnPhase phase, long done, long total)> progress;
    // Clock for the phase times, in microseconds; the steady clock when empty.
    std::function<uint64_t()> clock_us;
    // Running count of extension-unit queries, for callers that can see
    // them; phase query counts stay 0 otherwise.
    std::function<uint64_t()> query_count;
};

struct PhaseCost {
    long calls = 0;        // libOrvexBase calls (a status-register frame counts once)
    uint64_t queries = 0;  // from SectorBurnOptions::query_count
    uint64_t time_us = 0;
};

struct SectorBurnResult {
    SectorBurnOutcome outcome = SectorBurnOutcome::ok;
    std::string message;       // what went wrong, for people; empty on success
    int err = 0;               // errno of the failed query, 0 when none failed
    long failed_addr = -1;     // the flash address a failure names, else -1
    int status_register = -1;  // as read after the write-protect release
    long mismatch_addr = -1;   // first differing byte
    int expected = -1, found = -1;
    std::vector<long> erased_sectors;
    // An erase command was sent: from then on a failure may have left the
    // sector it names erased, though it is not counted in erased_sectors.
    bool erase_started = false;
    // Kept sectors inside the image's range where the image has data; that
    // data was not written.
    std::vector<long> kept_sectors_with_image_data;
    long chunks_programmed = 0;  // 8-byte transfers, the deferred one included
    long chunks_skipped = 0;     // all 0xFF, left to the erase
    long bytes_verified = 0;
    PhaseCost phases[kBurnPhaseCount];

    bool ok() const { return outcome == SectorBurnOutcome::ok; }
    const PhaseCost& cost(BurnPhase p) const { return phases[static_cast<int>(p)]; }
};

// Whether the flash type can be burned sector by sector: its sector erase
// clears exactly one 4 KiB sector (from the flash-family table).
bool sector_burn_supports(SERIAL_FLASH_TYPE sft);

// Sectors no burn erases or writes: the calibration records and both
// identification blocks.
bool is_kept_sector(long addr);

// Burns image[0, len) from flash address 0 on the session's open camera:
// every covered sector outside the kept ones is erased, then programmed,
// then read back. The image bytes 0x160-0x163 are programmed last, with the
// rest of their 8-byte chunk, so a burn that stops early never leaves a
// header that looks complete. A failure at any point leaves the kept
// sectors untouched.
SectorBurnResult sector_burn(Session& s, const unsigned char* image, long len, const SectorBurnOptions& options);

}  // namespace orvex_factory

#endif

// The default burn: the sector-wise engine (burn_sector.h) behind the
// burn's checks, progress and recovery. Only the 4 KiB sectors the image
// covers are erased; the calibration records and the identification
// blocks' sectors stay in the flash throughout, so an interrupted burn
// costs the firmware only.
#include <algorithm>

#include "burn_job.h"
#include "burn_sector.h"
#include "flash_io.h"
#include "internal/store_layout.h"
#include "text.h"

namespace orvex_factory {

namespace {

constexpr long kSector = orvex_store::kSectorSize;

struct IdSector {
    long sector, block;
};
constexpr IdSector kIdSectors[] = {{orvex_store::kIdFirstSector, orvex_store::kIdFirstAddr},
                                   {orvex_store::kIdSecondSector, orvex_store::kIdSecondAddr}};

std::string hex_or(long v) { return v < 0 ? std::string("?") : hex(static_cast<uint64_t>(v), 2); }

[[noreturn]] void fail(const BurnJob& job, const SectorBurnResult& r) {
    // A failed erase command may still have reached the flash.
    const bool firmware_lost = r.erase_started;
    std::string state = firmware_lost ? "; the firmware sectors may be erased or partly programmed, the calibration "
                                        "and identification sectors were not touched.\n"
                                      : "; nothing was erased.\n";
    switch (r.outcome) {
    case SectorBurnOutcome::mismatch:
        throw Failure(VERIFY,
                      "the flash differs from the image at " + hex(static_cast<uint64_t>(r.mismatch_addr), 5) +
                          ": wrote " + hex_or(r.expected) + ", read back " + hex_or(r.found) + state +
                          job.rec.text(true),
                      r.mismatch_addr);
    case SectorBurnOutcome::still_protected:
        throw Failure(TRANSFER, "the flash is still write-protected: " + r.message + "; nothing was erased");
    case SectorBurnOutcome::unsupported_flash:
    case SectorBurnOutcome::bad_image:
        throw Failure(REFUSED, r.message);
    default:
        throw Failure(TRANSFER, "the burn failed: " + r.message + state + job.rec.text(firmware_lost));
    }
}

}  // namespace

std::vector<std::string> check_kept_sectors(BurnJob& job) {
    std::vector<std::string> notes;
    for (const IdSector& k : kIdSectors) {
        if (k.sector >= job.len || !any_programmed(job.image, k.sector, k.sector + kSector)) continue;
        // The flash against the image, around the block and at it.
        const long end = std::min(k.sector + kSector, job.len);
        const long block_end = std::min(k.block + orvex_store::kIdBlockLen, end);
        auto first_difference = [&](long from, long to) {
            if (to <= from) return -1L;
            return verify_flash(*job.s, from, &job.image[static_cast<size_t>(from)], to - from, Check::full).address;
        };
        long first = first_difference(k.sector, std::min(k.block, end));
        if (first < 0) first = first_difference(block_end, end);
        const bool block_differs = first_difference(k.block, block_end) >= 0;
        if (first >= 0)
            throw Failure(REFUSED, "the image differs from the flash at " + hex(first, 5) +
                                       ", in the sector of the identification block at " + hex(k.block, 5) +
                                       ", which the sector-wise burn never writes; --method=library burns it "
                                       "(chip erase, calibration written back from the backup)");
        if (block_differs)
            notes.push_back("the camera keeps its own identification block at " + hex(k.block, 5) +
                            "; the image's differs and is not written");
    }
    return notes;
}

json burn_sector_wise(BurnJob& job) {
    Session& s = *job.s;
    SectorBurnOptions o;
    o.sft = job.sft;
    o.full_verify = job.full_verify;
    o.query_count = [&s] { return queries(s); };
    // The preparation is too short to show.
    o.progress = [&s](BurnPhase p, long done, long total) {
        if (p != BurnPhase::prepare) progress(s, burn_phase_name(p), done, total);
    };
    SectorBurnResult r = sector_burn(s, job.image.data(), job.len, o);
    for (int p = 0; p < kBurnPhaseCount; ++p)
        job.log.add(burn_phase_name(static_cast<BurnPhase>(p)), r.phases[p].queries, r.phases[p].time_us / 1e6);
    if (!r.ok()) fail(job, r);
    return {{"sectors_erased", r.erased_sectors.size()},
            {"chunks_programmed", r.chunks_programmed},
            {"chunks_skipped", r.chunks_skipped},
            {"bytes_verified", r.bytes_verified},
            {"calibration_untouched", true}};
}

}  // namespace orvex_factory

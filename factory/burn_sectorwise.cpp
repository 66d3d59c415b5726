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

struct IdSector {
    long sector, block;
};
constexpr IdSector kIdSectors[] = {{orvex_store::kIdFirstSector, orvex_store::kIdFirstAddr},
                                   {orvex_store::kIdSecondSector, orvex_store::kIdSecondAddr}};

std::string hex_or(long v) { return v < 0 ? std::string("?") : hex(static_cast<uint64_t>(v), 2); }

// A flash fault at an address the last burn of this unit failed at too is
// worn flash: the advice is no longer to burn again.
void advise(BurnJob& job, Failure& f, long address, bool firmware_lost, const std::string& again) {
    if (address >= 0 && failed_here_before(*job.s, failure_key(job), address)) {
        f = Failure(f, f.status, again);
        f.recovery = job.rec.worn_text(address);
    } else {
        f.recovery = job.rec.text(firmware_lost);
    }
}

[[noreturn]] void fail(BurnJob& job, const SectorBurnResult& r) {
    // A failed erase command may still have reached the flash.
    const bool firmware_lost = r.erase_started;
    const std::string state = firmware_lost ? "the firmware sectors may be erased or partly programmed, the calibration "
                                              "and identification sectors were not touched"
                                            : "nothing was erased";
    switch (r.outcome) {
    case SectorBurnOutcome::mismatch: {
        const std::string wrote = ": wrote " + hex_or(r.expected) + ", read back " + hex_or(r.found);
        const std::string at = hex(static_cast<uint64_t>(r.mismatch_addr), 5);
        Failure f(VERIFY, "the flash differs from the image at " + at + wrote, r.mismatch_addr);
        f.state = state;
        advise(job, f, r.mismatch_addr, true, "the flash is failing at " + at + wrote + ", as in the last burn of this unit");
        throw f;
    }
    case SectorBurnOutcome::not_erased: {
        Failure f(TRANSFER, r.message, r.failed_addr);
        f.err = 0;
        f.state = state;
        advise(job, f, r.failed_addr, true,
               "the flash is failing at " + hex(static_cast<uint64_t>(r.failed_addr), 5) + ": " + r.message +
                   ", as in the last burn of this unit");
        throw f;
    }
    case SectorBurnOutcome::cancelled: {
        Failure f(CANCELLED, "stopped during the read-back: the firmware is burned, its read-back did not finish");
        f.err = 0;
        f.state = "nothing is half-written, the calibration and identification sectors were not touched";
        f.recovery = "to check it, run:\n  orvexctl " + job.rec.camera + " flash verify " + job.image_name;
        throw f;
    }
    case SectorBurnOutcome::still_protected: {
        Failure f(TRANSFER, "the flash is still write-protected: " + r.message);
        f.err = 0;
        f.state = "nothing was erased";
        throw f;
    }
    case SectorBurnOutcome::unsupported_flash:
    case SectorBurnOutcome::bad_image:
        throw Failure(REFUSED, r.message);
    default: {
        Failure f(TRANSFER, "the burn failed: " + r.message);
        f.err = r.err;
        f.state = state;
        f.recovery = job.rec.text(firmware_lost);
        throw f;
    }
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
    forget_failures(s, failure_key(job));
    return {{"sectors_erased", r.erased_sectors.size()},
            {"chunks_programmed", r.chunks_programmed},
            {"chunks_skipped", r.chunks_skipped},
            {"bytes_verified", r.bytes_verified},
            {"calibration_untouched", true}};
}

}  // namespace orvex_factory

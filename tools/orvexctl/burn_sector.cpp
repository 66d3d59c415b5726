// burn (default method): the sector-wise burn engine (sector_burn.h)
// behind the tool's checks, progress and recovery. Only the 4 KiB sectors
// the image covers are erased; the calibration records and the
// identification blocks' sectors stay in the flash throughout, so an
// interrupted burn costs the firmware only.
#include <memory>

#include "burn_job.h"
#include "sector_burn.h"

namespace orvexctl {

namespace {

constexpr long kSector = 0x1000;

struct IdSector {
    long sector, block;
};
constexpr IdSector kIdSectors[] = {{kIdBlock1 / kSector * kSector, kIdBlock1}, {kId2SectorStart, kIdBlock2}};

// One Progress per engine phase; the preparation is too short to show.
class PhaseBars {
public:
    void report(BurnPhase phase, long done, long total) {
        if (phase == BurnPhase::prepare) return;
        if (!bar_ || phase != phase_) {
            if (bar_) bar_->finish();
            phase_ = phase;
            bar_ = std::make_unique<Progress>(burn_phase_name(phase), static_cast<uint64_t>(total));
        }
        bar_->update(total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0);
    }
    void finish() {
        if (bar_) bar_->finish();
    }
private:
    BurnPhase phase_ = BurnPhase::prepare;
    std::unique_ptr<Progress> bar_;
};

std::string hex_or(long v) { return v < 0 ? std::string("?") : hex(static_cast<uint64_t>(v), 2); }

[[noreturn]] void fail(const BurnJob& job, const SectorBurnResult& r) {
    const bool firmware_lost = !r.erased_sectors.empty();
    std::string state = firmware_lost ? "; the firmware sectors may be erased or partly programmed, the calibration "
                                        "and identification sectors were not touched.\n"
                                      : "; nothing was erased.\n";
    switch (r.outcome) {
    case SectorBurnOutcome::mismatch:
        throw Failure(EXIT_VERIFY, "the flash differs from the image at " + hex(static_cast<uint64_t>(r.mismatch_addr), 5) +
                                       ": wrote " + hex_or(r.expected) + ", read back " + hex_or(r.found) + state +
                                       job.rec.text(true));
    case SectorBurnOutcome::still_protected:
        throw Failure(EXIT_TRANSFER, "the flash is still write-protected: " + r.message + "; nothing was erased");
    case SectorBurnOutcome::unsupported_flash:
    case SectorBurnOutcome::bad_image:
        throw Failure(EXIT_REFUSED, r.message);
    default:
        throw Failure(EXIT_TRANSFER, "the burn failed: " + r.message + state + job.rec.text(firmware_lost));
    }
}

}  // namespace

std::vector<std::string> check_kept_sectors(const BurnJob& job) {
    std::vector<std::string> notes;
    for (const IdSector& k : kIdSectors) {
        if (k.sector >= job.len || !any_programmed(job.image, k.sector, k.sector + kSector)) continue;
        long n = std::min(kSector, job.len - k.sector);
        Bytes cur = flash_read(k.sector, n);
        long first = -1;
        bool block_differs = false;
        for (long i = 0; i < n; ++i) {
            long a = k.sector + i;
            if (job.image[static_cast<size_t>(a)] == cur[static_cast<size_t>(i)]) continue;
            if (a >= k.block && a < k.block + 24)
                block_differs = true;
            else if (first < 0)
                first = a;
        }
        if (first >= 0)
            throw Failure(EXIT_REFUSED,
                          "the image differs from the flash at " + hex(first, 5) + ", in the sector of the identification "
                          "block at " + hex(k.block, 5) + ", which the sector-wise burn never writes; --method=library "
                          "burns it (chip erase, calibration written back from the backup)");
        if (block_differs)
            notes.push_back("the camera keeps its own identification block at " + hex(k.block, 5) +
                            "; the image's differs and is not written");
    }
    return notes;
}

BurnReport burn_sector_wise(BurnJob& job) {
    PhaseBars bars;
    SectorBurnOptions o;
    o.sft = job.sft;
    o.full_verify = job.full_verify;
    o.query_count = queries_issued;
    o.progress = [&bars](BurnPhase p, long done, long total) { bars.report(p, done, total); };
    SectorBurnResult r = sector_burn(job.image.data(), job.len, o);
    bars.finish();
    for (int p = 0; p < kBurnPhaseCount; ++p)
        job.log.add(burn_phase_name(static_cast<BurnPhase>(p)), r.phases[p].queries, r.phases[p].time_us / 1e6);
    if (!r.ok()) fail(job, r);

    BurnReport rep;
    rep.doc = {{"sectors_erased", r.erased_sectors.size()},
               {"chunks_programmed", r.chunks_programmed},
               {"chunks_skipped", r.chunks_skipped},
               {"bytes_verified", r.bytes_verified},
               {"calibration_untouched", true}};
    rep.text = "burned " + job.o.image + " (" + std::to_string(job.len) + " bytes, " +
               std::to_string(r.erased_sectors.size()) + " sectors erased, " +
               (job.full_verify ? "every byte verified" : "sample verified") + ")\n" +
               "kept   calibration and identification sectors, never erased\n";
    return rep;
}

}  // namespace orvexctl

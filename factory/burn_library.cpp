// The library method: libOrvexBase's own burner. It erases the whole chip,
// so the calibration area (and the second identification sector, when the
// image does not bring its own) comes back from the backup taken before,
// each range rewritten and read back.
#include <algorithm>
#include <memory>

#include "backup.h"
#include "burn_job.h"
#include "flash_io.h"
#include "internal/burn_layout.h"
#include "internal/sf_bytes.h"
#include "spi.h"
#include "text.h"

namespace orvex_factory {

namespace {

// The library's burn is one call. It reports a fraction over programming
// only; everything before the first report (chip erase, a fixed second,
// the blank check) is the erase phase.
struct LibraryPhases {
    BurnJob* job;
    std::unique_ptr<PhaseTimer> timer;
    bool programming = false;
    bool programmed = false;  // the last report came: only the library's check was left
    static void callback(void* self, float fraction) {
        try {
            auto* b = static_cast<LibraryPhases*>(self);
            Session& s = *b->job->s;
            b->programmed = fraction >= 1.0f;
            if (!b->programming) {
                b->programming = true;
                progress(s, "erase", orvex_burn::kFlashSize, orvex_burn::kFlashSize);
                b->timer.reset();
                b->timer = std::make_unique<PhaseTimer>(s, b->job->log, "program");
                progress(s, "program", 0, b->job->len);
            }
            // The library's sampled check follows the last report inside
            // the same call; the phase stays open until it ends.
            long done = static_cast<long>(static_cast<double>(b->job->len) * std::min(fraction, 0.999f));
            if (done > 0) progress(s, "program", done, b->job->len);
        } catch (...) {
            // Called between two flash transfers; nothing may unwind through it.
        }
    }
};

constexpr const char* kMayBeErased = "the flash may be erased or partly programmed";

[[noreturn]] void mismatch(BurnJob& job, const Difference& d) {
    const std::string at = hex(d.address, 5);
    const std::string wrote = ": wrote " + hex(d.expected, 2) + ", read back " + hex(d.found, 2);
    Failure f(VERIFY, "the flash differs from the image at " + at + wrote, d.address);
    f.state = kMayBeErased;
    // The same address failing in the last burn of this unit too: worn
    // flash, which another burn does not mend.
    if (failed_here_before(*job.s, failure_key(job), d.address)) {
        f = Failure(f, VERIFY, "the flash is failing at " + at + wrote + ", as in the last burn of this unit");
        f.recovery = job.rec.worn_text(d.address);
    } else {
        f.recovery = job.rec.text(true);
    }
    throw f;
}

void run_library_burner(BurnJob& job) {
    Session& s = *job.s;
    LibraryPhases phases;
    phases.job = &job;
    phases.timer = std::make_unique<PhaseTimer>(s, job.log, "erase");
    progress(s, "erase", 0, orvex_burn::kFlashSize);
    // The library's own check stays sampled: the full check is ours, with
    // the address of any difference.
    if (OrvexTac_BurnerFW(job.image.data(), job.len, LibraryPhases::callback, &phases, job.sft, 0) != 1) {
        phases.timer.reset();
        // Failing after the programming is the library's sampled check
        // finding a difference; it does not say where, the read-back does.
        if (phases.programmed) {
            Difference d;
            bool read = true;
            try {
                d = verify_flash(s, 0, job.image.data(), job.len, Check::full);
            } catch (const Failure&) {
                read = false;
            }
            if (read && !d.none()) mismatch(job, d);
        }
        std::string why = "the burn failed";
        BYTE st = 0;
        if (!read_status_register(&st))
            why += " (the camera no longer answers)";
        else if (st & orvex_sf::kStatusWriteLocks)
            why += " (the flash is write-protected again, status register " + hex(st, 2) + ")";
        Failure f(TRANSFER, why);
        f.state = kMayBeErased;
        f.recovery = job.rec.text(true);
        throw f;
    }
    if (phases.programming) progress(s, "program", job.len, job.len);
}

void verify_image(BurnJob& job) {
    PhaseTimer t(*job.s, job.log, "verify");
    Difference d;
    try {
        d = verify_flash(*job.s, 0, job.image.data(), job.len, Check::full, "verify");
    } catch (const Failure& f) {
        Failure g(f, TRANSFER, f.what());
        g.state = kMayBeErased;
        g.recovery = job.rec.text(true);
        throw g;
    }
    if (!d.none()) mismatch(job, d);
}

// Writes the kept ranges back from the in-memory backup, each read back
// byte for byte (sectors that needed no rewrite included).
json restore_kept(BurnJob& job) {
    Session& s = *job.s;
    json jk = json::array();
    try {
        for (const auto& k : job.kept) {
            Bytes data = backup_range(job.snapshot, k.first);
            if (static_cast<long>(data.size()) != k.second - k.first)
                throw Failure(FILE_ERROR, "the backup taken before the burn lacks " + hex(k.first, 5));
            RewriteResult r;
            {
                PhaseTimer t(s, job.log, "restore");
                r = flash_rewrite(s, k.first, data, job.sft, false, "restore");
            }
            PhaseTimer t(s, job.log, "verify restore");
            throw_difference(verify_flash(s, k.first, data.data(), static_cast<long>(data.size()), Check::full,
                                          "verify restore"),
                             "kept range " + hex(k.first, 5) + " differs after the rewrite");
            jk.push_back({{"from", hex(k.first, 5)}, {"to", hex(k.second - 1, 5)}, {"sectors_rewritten", r.units_written}});
        }
    } catch (const Failure& f) {
        Failure g(f, f.status, f.what());
        g.state = "the firmware is burned but the calibration is not back";
        g.recovery = job.rec.text(false);
        throw g;
    }
    return jk;
}

}  // namespace

json burn_with_library(BurnJob& job) {
    run_library_burner(job);
    if (job.full_verify) verify_image(job);
    json kept = restore_kept(job);
    forget_failures(*job.s, failure_key(job));
    return {{"kept", kept}};
}

}  // namespace orvex_factory

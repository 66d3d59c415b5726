// burn --method=library: the library's own burner. It erases the whole
// chip, so the calibration area (and the second identification sector,
// when the image does not bring its own) comes back from the backup taken
// before, each range rewritten and read back.
#include <memory>

#include "burn_job.h"
#include "internal/sf_bytes.h"

namespace orvexctl {

namespace {

// Bits of the status register that keep the flash from being written.
constexpr BYTE kProtectBits = orvex_sf::kStatusWriteLocks;

// The library's burn is one call. It reports a fraction over programming
// only; everything before the first report (chip erase, a fixed second,
// the blank check) is the erase phase, shown as time elapsed.
struct LibraryPhases {
    BurnJob* job;
    std::unique_ptr<Progress> erase, program;
    std::unique_ptr<PhaseTimer> timer;
    bool programmed = false;  // the last report came: only the library's check was left
    static void callback(void* self, float fraction) {
        try {
            auto* b = static_cast<LibraryPhases*>(self);
            b->programmed = fraction >= 1.0f;
            if (b->erase) {
                b->erase->finish();
                b->erase.reset();
                b->timer = std::make_unique<PhaseTimer>(b->job->log, "program");
                b->program = std::make_unique<Progress>("program", static_cast<uint64_t>(b->job->len));
            }
            // The library's sampled check follows the last report inside
            // the same call; the bar stays open (and ticking) until it ends.
            if (b->program) b->program->update(std::min(fraction, 0.999f));
        } catch (...) {
            // Called between two flash transfers; nothing may unwind through it.
        }
    }
};

// The first address where the flash differs from the image, or -1.
long first_difference(const BurnJob& job, Bytes* back) {
    *back = flash_read(0, job.len);
    for (long i = 0; i < job.len; ++i)
        if ((*back)[static_cast<size_t>(i)] != job.image[static_cast<size_t>(i)]) return i;
    return -1;
}

[[noreturn]] void mismatch(const BurnJob& job, long at, const Bytes& back) {
    const size_t i = static_cast<size_t>(at);
    throw Failure(EXIT_VERIFY, "the flash differs from the image at " + hex(i, 5) + ": wrote " + hex(job.image[i], 2) +
                                   ", read back " + hex(back[i], 2) + ".\n" + job.rec.text(true));
}

void run_library_burner(BurnJob& job) {
    LibraryPhases phases;
    phases.job = &job;
    phases.timer = std::make_unique<PhaseTimer>(job.log, "erase");
    phases.erase = std::make_unique<Progress>("erase", static_cast<uint64_t>(kFlashSize), false);
    // The library's own check stays sampled: the full check is ours, with
    // the address of any difference.
    if (OrvexTac_BurnerFW(job.image.data(), job.len, LibraryPhases::callback, &phases, job.sft, 0) != 1) {
        // Failing after the programming is the library's sampled check
        // finding a difference; it does not say where, the read-back does.
        if (phases.program) phases.program.reset();
        if (phases.programmed) {
            try {
                Bytes back;
                long at = first_difference(job, &back);
                if (at >= 0) mismatch(job, at, back);
            } catch (const Failure& f) {
                if (f.code == EXIT_VERIFY) throw;
            }
        }
        std::string why = "the burn failed";
        try {
            BYTE st = read_status_register();
            if (st & kProtectBits) why += " (the flash is write-protected again, status register " + hex(st, 2) + ")";
        } catch (const Failure&) {
            why += " (the camera no longer answers)";
        }
        throw Failure(EXIT_TRANSFER, why + "; the flash may be erased or partly programmed.\n" + job.rec.text(true));
    }
    if (phases.program) phases.program->finish();
}

void verify_image(BurnJob& job) {
    PhaseTimer t(job.log, "verify");
    Progress p("verify", static_cast<uint64_t>(job.len));
    Bytes back = flash_read(0, job.len, &p);
    if (back != job.image) {
        long at = 0;
        while (back[static_cast<size_t>(at)] == job.image[static_cast<size_t>(at)]) ++at;
        mismatch(job, at, back);
    }
    p.finish();
}

Bytes range_of(const json& backup, long addr) {
    for (const auto& r : backup["ranges"])
        if (r["addr"] == hex(addr, 5)) {
            const std::string& h = r["data"].get_ref<const std::string&>();
            Bytes b;
            for (size_t i = 0; i + 1 < h.size(); i += 2)
                b.push_back(static_cast<uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
            return b;
        }
    throw Failure(EXIT_FILE, "internal: backup lacks " + hex(addr, 5));
}

// Writes the kept ranges back from the in-memory backup, each read back
// byte for byte (sectors that needed no rewrite included).
json restore_kept(BurnJob& job, std::string& text) {
    json jk = json::array();
    try {
        for (const auto& k : job.kept) {
            Bytes data = range_of(job.snapshot, k.first);
            RewriteResult r;
            {
                PhaseTimer t(job.log, "restore");
                Progress p("restore", static_cast<uint64_t>(data.size()));
                r = flash_rewrite(k.first, data, job.sft, false, &p);
                p.finish();
            }
            PhaseTimer t(job.log, "verify restore");
            Progress p("verify restore", static_cast<uint64_t>(data.size()));
            if (flash_read(k.first, static_cast<long>(data.size()), &p) != data)
                throw Failure(EXIT_VERIFY, "kept range " + hex(k.first, 5) + " differs after the rewrite");
            p.finish();
            jk.push_back({{"from", hex(k.first, 5)}, {"to", hex(k.second - 1, 5)}, {"sectors_rewritten", r.units_written}});
            text += "kept   " + hex(k.first, 5) + "-" + hex(k.second - 1, 5) + ", verified\n";
        }
    } catch (const Failure& f) {
        throw Failure(f.code, std::string(f.what()) + "; the firmware is burned but the calibration is not back.\n" +
                                  job.rec.text(false));
    }
    return jk;
}

}  // namespace

BurnReport burn_with_library(BurnJob& job) {
    run_library_burner(job);
    if (job.full_verify) verify_image(job);
    BurnReport r;
    r.text = "burned " + job.o.image + " (" + std::to_string(job.len) + " bytes, chip erase, " +
             (job.full_verify ? "every byte verified" : "sample verified") + ")\n";
    r.doc["kept"] = restore_kept(job, r.text);
    return r;
}

}  // namespace orvexctl

// burn --dry-run: the plan of a burn from reads only, and the small pieces
// both burn methods share (phase log, recovery commands).
#include <chrono>
#include <cmath>

#include "burn_job.h"
#include "sector_burn.h"

namespace orvexctl {

bool any_programmed(const Bytes& img, long from, long to) {
    for (long a = from; a < to && a < static_cast<long>(img.size()); ++a)
        if (img[static_cast<size_t>(a)] != 0xFF) return true;
    return false;
}

// ------------------------------------------------------------ phase log

double steady_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void PhaseLog::add(const std::string& phase, uint64_t queries, double seconds) {
    entries_.push_back({phase, queries, seconds});
}

json PhaseLog::to_json() const {
    json phases = json::array();
    uint64_t q = 0;
    double s = 0;
    for (const Entry& e : entries_) {
        phases.push_back({{"phase", e.phase}, {"queries", e.queries}, {"seconds", std::round(e.seconds * 1e3) / 1e3}});
        q += e.queries;
        s += e.seconds;
    }
    return {{"phases", phases}, {"queries", q}, {"seconds", std::round(s * 1e3) / 1e3}};
}

PhaseTimer::PhaseTimer(PhaseLog& log, const char* phase)
    : log_(log), phase_(phase), q0_(queries_issued()), t0_(steady_seconds()) {}

void PhaseTimer::stop() {
    if (stopped_) return;
    stopped_ = true;
    log_.add(phase_, queries_issued() - q0_, steady_seconds() - t0_);
}

// ------------------------------------------------------------ recovery

std::string Recovery::text(bool firmware_lost) const {
    std::string dev = "orvexctl -d " + std::to_string(g_opt.device);
    std::string t = "to recover, with the camera connected, run:\n";
    // After a chip erase the identification sectors are blank too, which
    // only the library's burn writes.
    if (firmware_lost) t += "  " + dev + " burn " + (calibration_untouched ? "" : "--method=library ") + image + "\n";
    if (calibration_untouched) {
        t += "  (the calibration is still in the flash";
        t += backup.empty() ? ")\n" : "; its backup: " + backup + ")\n";
    } else if (!backup.empty()) {
        t += "  " + dev + " restore " + backup + "\n";
    } else {
        t += "  (" + why_no_backup + ")\n";
    }
    return t;
}

// ------------------------------------------------------------ plan

namespace {

constexpr long kSector = 0x1000;

// Rough time on real hardware at about 1 ms per extension-unit query: a
// program transfer is one query, reading 8 bytes back two. The library
// erases the chip (a few seconds and a fixed second), checks it blank,
// programs every chunk and samples the result, then rewrites the kept
// sectors; the sector-wise burn erases sector by sector with a status poll
// (about 260 queries each) and skips chunks that are all 0xFF.
double estimate_seconds(const BurnJob& job, int erase_sectors, int kept_sectors_with_data) {
    const double q = 0.001;
    const double len = static_cast<double>(job.len);
    double s = backup_bytes() / 8.0 * 2 * q;  // backup reads
    if (job.method == BurnMethod::sector) {
        long chunks = 0;
        for (long a = 0; a < job.len; a += 8) chunks += any_programmed(job.image, a, a + 8);
        s += erase_sectors * (0.02 + 260 * q);
        s += (static_cast<double>(chunks) + 1) * q;
    } else {
        s += 3.0 + 1.0;
        s += std::ceil(len / 1024) * 2 * q;         // blank check
        s += (len / 8 + 1) * q;                     // program
        s += std::ceil(len / 1024) * 2 * q;         // the library's sampled check
        if (job.keep) s += kept_sectors_with_data * (1.0 + 0.3 + 0x1000 / 8.0 * 5 * q);  // rewrite + verify
    }
    // The read-back; the library's sampled check is counted above.
    if (job.full_verify)
        s += len / 8 * 2 * q;
    else if (job.method == BurnMethod::sector)
        s += std::ceil(len / 1024) * 2 * q;
    return s;
}

}  // namespace

int print_burn_plan(const BurnJob& job) {
    const bool sector = job.method == BurnMethod::sector;
    const BurnOptions& o = job.o;
    json jk = json::array();
    std::string kt;
    int sectors_with_data = 0;
    if (sector) {
        // Nothing to read: these sectors are simply left alone.
        const std::pair<long, long> untouched[] = {{kIdBlock1 / kSector * kSector, kIdBlock1 / kSector * kSector + kSector},
                                                   {kCalibStart, kCalibEnd},
                                                   {kId2SectorStart, kId2SectorEnd}};
        for (const auto& k : untouched) {
            jk.push_back({{"from", hex(k.first, 5)}, {"to", hex(k.second - 1, 5)}, {"untouched", true}});
            kt += "  keep   " + hex(k.first, 5) + "-" + hex(k.second - 1, 5) + " (never erased or written)\n";
        }
    } else {
        // Reads only: which kept sectors hold data and need rewriting.
        for (const auto& k : job.kept) {
            Bytes cur = flash_read(k.first, k.second - k.first);
            int used = 0;
            for (long u = 0; u < k.second - k.first; u += kSector)
                used += any_programmed(Bytes(cur.begin() + u, cur.begin() + u + kSector), 0, kSector);
            sectors_with_data += used;
            jk.push_back({{"from", hex(k.first, 5)}, {"to", hex(k.second - 1, 5)}, {"sectors_with_data", used}});
            kt += "  keep   " + hex(k.first, 5) + "-" + hex(k.second - 1, 5) + " (" + std::to_string(used) +
                  " sector(s) hold data, written back)\n";
        }
    }
    json erase = json::array();
    int erase_sectors = 0;
    std::string et;
    if (sector) {
        long run = -1;
        for (long s = 0; s <= job.len; s += kSector) {
            bool take = s < job.len && !is_kept_sector(s);
            erase_sectors += take;
            if (take && run < 0) run = s;
            if (!take && run >= 0) {
                erase.push_back({{"from", hex(run, 5)}, {"to", hex(s - 1, 5)}});
                et += "  erase  " + hex(run, 5) + "-" + hex(s - 1, 5) + " (4 KiB sectors)\n";
                run = -1;
            }
        }
    } else {
        erase.push_back({{"from", "0x00000"}, {"to", "0x3FFFF"}});
        et = "  erase  0x00000-0x3FFFF (whole flash)\n";
    }
    double est = estimate_seconds(job, erase_sectors, sectors_with_data);
    const bool take_backup = job.take_backup;
    json doc = {{"dry_run", true},
                {"image", o.image},
                {"image_length", job.len},
                {"method", sector ? "sector" : "library"},
                {"chip_id", hex(job.id.chip_id, 2)},
                {"checks", job.checks},
                {"erase", erase},
                {"write", {{"from", "0x00000"}, {"to", hex(job.len - 1, 5)}}},
                {"keep", jk},
                {"backup_dir", take_backup ? json(backup_dir()) : json(nullptr)},
                {"backup", o.backup.empty() ? json(nullptr) : json(o.backup)},
                {"flash_type", o.flash_type == "auto" ? json("auto") : json(flash_type_name(parse_flash_type(o.flash_type)))},
                {"verification", job.full_verify ? "full" : "sampled"},
                {"estimated_seconds", std::round(est)},
                {"calibration_store_recognises_after", job.recognised_after}};
    std::string t = "dry run, nothing is touched:\n" + et;
    t += "  write  0x00000-" + hex(job.len - 1, 5) + " (" + o.image + ", " + std::to_string(job.len) + " bytes" +
         (sector ? ", outside the kept sectors" : "") + ")\n";
    t += job.keep ? kt : "  keep   nothing (--erase-calibration)\n";
    if (take_backup) t += "  backup into " + backup_dir() + (o.backup.empty() ? "" : " and " + o.backup) + "\n";
    t += std::string("  verify ") + (job.full_verify ? "every byte" : "8 bytes per KiB") + "\n";
    t += "  time   about " + std::to_string(static_cast<long>(std::round(est))) + " s\n";
    if (!job.recognised_after) t += "  warning: no valid identification block after the burn\n";
    emit(doc, t);
    return EXIT_OK;
}

}  // namespace orvexctl

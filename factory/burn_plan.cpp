// The dry-run plan of a burn from reads only, and the small pieces both
// burn methods share (phase log, recovery commands).
#include <chrono>
#include <cmath>

#include "backup.h"
#include "burn_job.h"
#include "burn_sector.h"
#include "flash_io.h"
#include "internal/burn_layout.h"
#include "internal/store_layout.h"
#include "spi.h"
#include "text.h"

namespace orvex_factory {

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

PhaseTimer::PhaseTimer(Session& s, PhaseLog& log, const char* phase)
    : s_(s), log_(log), phase_(phase), q0_(queries(s)), t0_(steady_seconds()) {}

void PhaseTimer::stop() {
    if (stopped_) return;
    stopped_ = true;
    log_.add(phase_, queries(s_) - q0_, steady_seconds() - t0_);
}

// ------------------------------------------------------------ recovery

namespace {
// The calibration's line of the recovery block.
std::string calibration_line(const Recovery& r, const std::string& dev) {
    if (r.calibration_untouched)
        return "  (the calibration is still in the flash" + (r.backup.empty() ? ")\n" : "; its backup: " + r.backup + ")\n");
    if (!r.backup.empty()) return "  " + dev + " restore " + r.backup + "\n";
    return "  (" + r.why_no_backup + ")\n";
}
}  // namespace

std::string Recovery::text(bool firmware_lost) const {
    std::string dev = "orvexctl " + camera;
    std::string t = "to recover, with the camera connected, run:\n";
    // After a chip erase the identification sectors are blank too, which
    // only the library's burn writes.
    if (firmware_lost)
        t += "  " + dev + " burn" + burn_options + (calibration_untouched ? " " : " --method=library ") + image + "\n";
    return t + calibration_line(*this, dev);
}

std::string Recovery::worn_text(long) const {
    std::string dev = "orvexctl " + camera;
    std::string t = "another burn fails the same way: replace the flash (or the camera) before burning again.\n";
    if (calibration_untouched) return t + calibration_line(*this, dev);
    return t + "to keep the calibration for the replacement:\n" + calibration_line(*this, dev);
}

// ------------------------------------------------------------ failure history

namespace {
std::string history_file(Session& s) { return backup_dir(s) + "/burn.history"; }

json load_history(Session& s) {
    try {
        Bytes b = read_file(history_file(s));
        json j = json::parse(b.begin(), b.end(), nullptr, false);
        if (j.is_object()) return j;
    } catch (const Failure&) {
    }
    return json::object();
}

// The history is advice, never a reason to fail a burn.
void store_history(Session& s, const json& j) {
    try {
        make_dir_path(backup_dir(s));
        write_file(history_file(s), j.dump(1) + "\n");
    } catch (const std::exception&) {
    }
}
}  // namespace

std::string failure_key(const BurnJob& job) {
    UnitIdentity u = unit_identity(job.id_blocks_now);
    return hex(job.chip.chip_id, 2) + " " + (u.known ? identity_text(u) : job.rec.camera);
}

bool failed_here_before(Session& s, const std::string& key, long address) {
    json h;
    try {
        h = load_history(s);
    } catch (const std::exception&) {
        return false;
    }
    const bool again = h.contains(key) && h[key].is_object() && h[key].value("address", -1L) == address;
    h[key] = {{"address", address}, {"at", hex(static_cast<uint64_t>(address), 5)}, {"when", utc_now_iso()}};
    store_history(s, h);
    return again;
}

void forget_failures(Session& s, const std::string& key) {
    json h;
    try {
        h = load_history(s);
    } catch (const std::exception&) {
        return;
    }
    if (!h.contains(key)) return;
    h.erase(key);
    store_history(s, h);
}

void remember_image_identity(Session& s, const std::string& camera, const std::string& identity) {
    json h;
    try {
        h = load_history(s);
    } catch (const std::exception&) {
        return;
    }
    h["identity from image, " + camera] = identity;
    store_history(s, h);
}

bool identity_came_from_image(Session& s, const std::string& camera, const std::string& identity) {
    try {
        json h = load_history(s);
        auto it = h.find("identity from image, " + camera);
        return it != h.end() && it->is_string() && *it == identity;
    } catch (const std::exception&) {
        return false;
    }
}

// ------------------------------------------------------------ plan

namespace {

// Rough time on real hardware at about 1 ms per extension-unit query: a
// program transfer is one query, reading 8 bytes back two. The library
// erases the chip (a few seconds and a fixed second), checks it blank,
// programs every chunk and samples the result, then rewrites the kept
// sectors; the sector-wise burn erases sector by sector with a status poll
// (about 260 queries each) and skips chunks that are all 0xFF.
double estimate_seconds(const BurnJob& job, int erase_sectors, int kept_sectors_with_data) {
    const double q = 0.001;
    const double len = static_cast<double>(job.len);
    const double stride = static_cast<double>(orvex_burn::kSampleStride);
    const double chunk = static_cast<double>(orvex_burn::kChunk);
    double s = static_cast<double>(backup_bytes()) / chunk * 2 * q;  // backup reads
    if (job.method == BurnMethod::sector) {
        long chunks = 0;
        for (long a = 0; a < job.len; a += orvex_burn::kChunk)
            chunks += any_programmed(job.image, a, a + orvex_burn::kChunk);
        s += erase_sectors * (0.02 + 260 * q);
        s += (static_cast<double>(chunks) + 1) * q;
    } else {
        s += 3.0 + 1.0;
        s += std::ceil(len / stride) * 2 * q;  // blank check
        s += (len / chunk + 1) * q;            // program
        s += std::ceil(len / stride) * 2 * q;  // the library's sampled check
        if (job.keep) s += kept_sectors_with_data * (1.0 + 0.3 + kSector / chunk * 5 * q);  // rewrite + verify
    }
    // The read-back; the library's sampled check is counted above.
    if (job.full_verify)
        s += len / chunk * 2 * q;
    else if (job.method == BurnMethod::sector)
        s += std::ceil(len / stride) * 2 * q;
    return s;
}

}  // namespace

json burn_plan(BurnJob& job) {
    Session& s = *job.s;
    const bool sector = job.method == BurnMethod::sector;
    json jk = json::array();
    int sectors_with_data = 0;
    if (sector) {
        // Nothing to read: these sectors are simply left alone.
        const std::pair<long, long> untouched[] = {
            {orvex_store::kIdFirstSector, orvex_store::kIdFirstSector + kSector},
            {orvex_store::kCalibStart, orvex_store::kCalibEnd},
            {orvex_store::kIdSecondSector, orvex_store::kIdSecondSector + kSector}};
        for (const auto& k : untouched)
            jk.push_back({{"from", hex(k.first, 5)}, {"to", hex(k.second - 1, 5)}, {"untouched", true}});
    } else {
        // Reads only: which kept sectors hold data and need rewriting.
        for (const auto& k : job.kept) {
            Bytes cur = flash_read(s, k.first, k.second - k.first, nullptr, true);
            int used = 0;
            for (long u = 0; u < k.second - k.first; u += kSector) used += any_programmed(cur, u, u + kSector);
            sectors_with_data += used;
            jk.push_back({{"from", hex(k.first, 5)}, {"to", hex(k.second - 1, 5)}, {"sectors_with_data", used}});
        }
    }
    json erase = json::array();
    int erase_sectors = 0;
    if (sector) {
        long run = -1;
        for (long a = 0; a <= job.len; a += kSector) {
            bool take = a < job.len && !is_kept_sector(a);
            erase_sectors += take;
            if (take && run < 0) run = a;
            if (!take && run >= 0) {
                erase.push_back({{"from", hex(run, 5)}, {"to", hex(a - 1, 5)}});
                run = -1;
            }
        }
    } else {
        erase.push_back({{"from", hex(0, 5)}, {"to", hex(orvex_burn::kFlashSize - 1, 5)}});
    }
    double est = estimate_seconds(job, erase_sectors, sectors_with_data);
    return {{"dry_run", true},
            {"image", job.image_name},
            {"image_length", job.len},
            {"method", sector ? "sector" : "library"},
            {"chip_id", hex(job.chip.chip_id, 2)},
            {"checks", job.checks},
            {"erase", erase},
            {"write", {{"from", hex(0, 5)}, {"to", hex(job.len - 1, 5)}}},
            {"keep", jk},
            {"backup_dir", job.take_backup ? json(backup_dir(s)) : json(nullptr)},
            {"backup", job.backup_file.empty() ? json(nullptr) : json(job.backup_file)},
            {"flash_type", s.flash_type == "auto" ? json("auto") : json(flash_type_name(parse_flash_type(s.flash_type)))},
            {"verification", job.full_verify ? "full" : "sampled"},
            {"estimated_seconds", std::round(est)},
            {"calibration_store_recognises_after", job.recognised_after}};
}

}  // namespace orvex_factory

// The exported backup and restore. A restore writes a unit's one-of-a-kind
// data back, so it is where the identity rule matters most: it never puts
// another unit's calibration and identity on a camera, nor erases the
// camera's own identification block, unless the caller forces it.
#include <sys/stat.h>
#include <unistd.h>

#include "archive.h"
#include "backup.h"
#include "flash_io.h"
#include "result.h"
#include "spi.h"
#include "text.h"
#include "internal/store_layout.h"

using namespace orvex_factory;

namespace {

using namespace orvex_store;

json backup(Session& s, const char* file) {
    const std::string target = file ? file : "";
    // Refused before the camera is touched: a backup never replaces a file.
    // (A device or FIFO is written into, never replaced.)
    struct stat st;
    if (!target.empty() && ::lstat(target.c_str(), &st) == 0 &&
        (S_ISREG(st.st_mode) || (S_ISLNK(st.st_mode) && (::stat(target.c_str(), &st) != 0 || S_ISREG(st.st_mode)))))
        throw Failure(REFUSED, target + " exists; a backup never replaces a file, name another");
    Connection c(s);
    Chip chip = identify_chip(s, true);
    FwVersion fw = firmware_version();
    json doc = make_backup(s, chip, fw);
    c.close();
    // The copy in the backup folder first: it is the one recovery advice names.
    std::string kept = save_backup(s, doc);
    if (!target.empty()) save_backup_as(s, doc, target);
    json ranges = json::array();
    for (const auto& r : doc["ranges"]) ranges.push_back({{"addr", r["addr"]}, {"length", r["length"]}});
    const bool good = backup_is_good(doc);
    if (!good) note(s, "warning: this backup holds no identification block or a blank calibration area");
    return {{"file", target.empty() ? json(nullptr) : json(target)},
            {"kept_copy", kept},
            {"device", doc["device"]},
            {"crc32", doc["crc32"]},
            {"ranges", ranges},
            {"good", good},
            {"backups_written", s.backups_written},
            {"document", doc}};
}

struct Planned {
    long addr;
    Bytes data;
    bool kept_camera_block = false;  // the camera's own identification block stays
    bool skipped = false;            // nothing of this range is written
};

// The identification block at `block` inside range data starting at `addr`.
bool block_valid(const Bytes& data, long addr, long block) {
    if (block < addr || block + kIdBlockLen > addr + static_cast<long>(data.size())) return false;
    return parse_id_block(block, data.data() + (block - addr)).valid;
}

json restore(Session& s, const std::string& file, unsigned flags, const json* given = nullptr) {
    const bool force = flags & ORVEX_FACTORY_FORCE;
    json doc = given ? *given : load_backup(file);
    Connection c(s);
    Chip chip = identify_chip(s, true);
    FwVersion fw = firmware_version();
    if (!(flags & ORVEX_FACTORY_DRY_RUN)) {
        archive_saw(s, "firmware_before", fw_json(fw).dump());
        archive_saw_backup(s, doc, false);
    }
    // The chip decides the flash layout: never restored across chips.
    const std::string want_chip = doc["device"].value("chip_id", "");
    if (want_chip != hex(chip.chip_id, 2))
        throw Failure(REFUSED, "backup " + file + " was made on chip " + want_chip + ", this camera has chip " +
                                   hex(chip.chip_id, 2) + "; --force does not override this");
    const UnitIdentity theirs = backup_identity(doc);
    const UnitIdentity mine = unit_identity(read_id_blocks(s));
    const UnitMatch match = match_units(mine, theirs);
    if (match != UnitMatch::same && !force)
        throw Failure(REFUSED, unit_match_problem(match, mine, theirs, "backup " + file) +
                                   "; --force restores it anyway");
    if (match != UnitMatch::same)
        note(s, "forced: " + unit_match_problem(match, mine, theirs, "backup " + file));
    for (const char* key : {"rom_version", "firmware"}) {
        json here = key == std::string("firmware") ? fw_json(fw)
                                                    : (chip.rom_known ? json(rom_version_text(chip.rom_version)) : json(nullptr));
        if (doc["device"].value(key, json()) != here)
            info(s, std::string("backup's ") + key + " " + doc["device"].value(key, json()).dump() + ", camera's " +
                        here.dump());
    }
    // Unless forced, a valid identification block of the camera is never
    // replaced by the backup's invalid one (a backup of the same unit made
    // before the camera got its second block, say).
    std::vector<Planned> plan;
    for (const BackupRange& r : backup_ranges()) {
        Planned p{r.addr, backup_range(doc, r.addr)};
        for (const auto& loc : kIdLocations) {
            if (force || !mine.at(loc.addr) || block_valid(p.data, r.addr, loc.addr)) continue;
            if (loc.addr < r.addr || loc.addr + kIdBlockLen > r.addr + r.len) continue;
            Bytes own = flash_read(s, loc.addr, kIdBlockLen);
            std::copy(own.begin(), own.end(), p.data.begin() + (loc.addr - r.addr));
            p.kept_camera_block = true;
            note(s, "kept the camera's own identification block at " + hex(loc.addr, 5) + " (the backup's is not valid)");
        }
        plan.push_back(std::move(p));
    }
    json jr = json::array();
    if (flags & ORVEX_FACTORY_DRY_RUN) {
        for (const Planned& p : plan) {
            Bytes cur = flash_read(s, p.addr, static_cast<long>(p.data.size()), nullptr, true);
            jr.push_back({{"addr", hex(p.addr, 5)}, {"length", p.data.size()}, {"differs", cur != p.data},
                          {"kept_camera_block", p.kept_camera_block}});
        }
        return {{"dry_run", true}, {"file", file}, {"unit", identity_json(theirs)}, {"match", unit_match_name(match)},
                {"ranges", jr}};
    }
    SERIAL_FLASH_TYPE sft = session_flash_type(s);
    int written = 0, unchanged = 0;
    long total = 0, done = 0;
    for (const Planned& p : plan) total += static_cast<long>(p.data.size());
    progress(s, "restore", 0, total);
    for (const Planned& p : plan) {
        RewriteResult res = flash_rewrite(s, p.addr, p.data, sft, true);
        // Byte for byte, including sectors that needed no rewrite; a flash
        // that refused the write is named as such.
        throw_difference(verify_flash(s, p.addr, p.data.data(), static_cast<long>(p.data.size()), Check::full),
                         "range " + hex(p.addr, 5) + " differs after the restore");
        written += res.units_written;
        unchanged += res.units_unchanged;
        jr.push_back({{"addr", hex(p.addr, 5)}, {"length", p.data.size()}, {"sectors_rewritten", res.units_written},
                      {"kept_camera_block", p.kept_camera_block}});
        done += static_cast<long>(p.data.size());
        progress(s, "restore", done, total);
    }
    return {{"file", file},
            {"forced", force && match != UnitMatch::same},
            {"match", unit_match_name(match)},
            {"unit", identity_json(theirs)},
            {"ranges", jr},
            {"sectors_rewritten", written},
            {"sectors_unchanged", unchanged}};
}

// The unit's newest good calibration in the session's archive, by the
// camera's own identity; restored as its backup would be, under the same
// identity rule.
json restore_from_archive(Session& s, unsigned flags) {
    if (s.archive.empty()) throw Failure(USAGE, "no archive named to restore from");
    std::string chip_id;
    UnitIdentity mine;
    {
        Connection c(s);
        chip_id = hex(identify_chip(s, false).chip_id, 2);
        mine = unit_identity(read_id_blocks(s));
    }
    if (!mine.known)
        throw Failure(REFUSED, node_name(s) + " carries no identification block: nothing shows which unit's "
                               "calibration in the archive is its own; restore a backup FILE with --force");
    json doc = archived_calibration(s, chip_id, mine.tag, mine.number);
    if (doc.is_null())
        throw Failure(REFUSED, "the archive " + url_without_password(s.archive) + " holds no good calibration of unit " +
                                   identity_text(mine) + " on chip " + chip_id);
    check_backup(doc, "the archived calibration of unit " + identity_text(mine));
    json out = restore(s, "archive:" + identity_text(mine), flags, &doc);
    out["from_archive"] = {{"archive", url_without_password(s.archive)}, {"created", doc.value("created", json())}};
    return out;
}

}  // namespace

extern "C" {

int OrvexFactory_RestoreFromArchive(OrvexFactorySession* s, unsigned flags, OrvexFactoryResult** out) {
    auto op = [&] {
        if (!s) throw Failure(USAGE, "no session");
        return restore_from_archive(*s, flags);
    };
    return flags & ORVEX_FACTORY_DRY_RUN ? run(s, out, op) : run_recorded(s, out, {"restore"}, op);
}

int OrvexFactory_Backup(OrvexFactorySession* s, const char* file, OrvexFactoryResult** out) {
    return run_recorded(s, out, {"backup"}, [&] {
        if (!s) throw Failure(USAGE, "no session");
        s->backups_written.clear();
        return backup(*s, file && *file ? file : nullptr);
    });
}

int OrvexFactory_Restore(OrvexFactorySession* s, const char* file, unsigned flags, OrvexFactoryResult** out) {
    Recording what{"restore"};
    if (file) what.image_name = file;
    auto op = [&] {
        if (!s || !file || !*file) throw Failure(USAGE, "no session or no backup file");
        return restore(*s, file, flags);
    };
    // A dry run changes nothing and is not an event of the unit.
    return flags & ORVEX_FACTORY_DRY_RUN ? run(s, out, op) : run_recorded(s, out, what, op);
}

}

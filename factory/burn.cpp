// Firmware burning that keeps the calibration. Before anything is erased
// the burn checks the image against the camera, makes sure the flash's
// write protection lifts, and saves the calibration area and the
// identification blocks to a backup. By default it then erases and
// programs only the sectors the image covers, so the calibration never
// leaves the flash (burn_sectorwise.cpp); the library method keeps the
// library's burner, which erases the whole chip and needs the saved areas
// written back afterwards (burn_library.cpp).
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "SFData/flash_family.h"
#include "archive.h"
#include "backup.h"
#include "burn_job.h"
#include "burn_sector.h"
#include "device.h"
#include "flash_io.h"
#include "image_check.h"
#include "internal/burn_layout.h"
#include "internal/sf_bytes.h"
#include "internal/store_layout.h"
#include "node_identity.h"
#include "result.h"
#include "spi.h"
#include "text.h"

using namespace orvex_factory;

namespace {

using orvex_burn::kChunk;
using orvex_burn::kMinImageLen;
constexpr long kCalibStart = orvex_store::kCalibStart, kCalibEnd = orvex_store::kCalibEnd;
constexpr long kId2SectorStart = orvex_store::kIdSecondSector,
               kId2SectorEnd = orvex_store::kIdSecondSector + orvex_store::kSectorSize;

std::string str(const char* s) { return s ? s : ""; }

// The image, padded, and what the options ask; no device needed.
BurnJob read_job(Session& s, const BYTE* image, long len, const OrvexFactoryBurnOptions& o) {
    BurnJob job;
    job.s = &s;
    job.image_name = o.image_name && *o.image_name ? o.image_name : "the image";
    job.backup_file = str(o.backup_file);
    job.force = o.force;
    job.dry_run = o.dry_run != 0;
    job.keep = !o.erase_calibration;
    // Only the library's chip erase gives the calibration up.
    if (!o.library_method && !job.keep)
        throw Failure(USAGE, "--erase-calibration needs --method=library: the sector-wise burn never "
                             "erases the calibration");
    job.method = o.library_method ? BurnMethod::library : BurnMethod::sector;
    job.allow_older = o.allow_older != 0;
    job.allow_reinstall = o.allow_reinstall != 0;
    if (!image || len <= 0) throw Failure(REFUSED, job.image_name + " is empty");
    if (len > orvex_burn::kMaxImageLen) throw Failure(REFUSED, job.image_name + " is larger than the 256 KiB flash");
    // Both burns program the chunk that ends here last: an image must
    // reach it, whatever is forced.
    if (len < kMinImageLen)
        throw Failure(REFUSED, job.image_name + " is " + std::to_string(len) + " bytes; a firmware image holds at least " +
                                   std::to_string(kMinImageLen) + " (" + hex(kMinImageLen, 5) +
                                   "): its header chunk at " + hex(orvex_burn::kDeferredAddr, 5) + " is programmed last");
    job.image.assign(image, image + len);
    job.full_verify = !o.sample_verify;
    // Both burns program whole chunks; pad with the erased value, which
    // programs nothing.
    job.original = len;
    long want = (len + kChunk - 1) / kChunk * kChunk;
    if (want != len) {
        job.image.resize(static_cast<size_t>(want), 0xFF);
        info(s, "image padded with 0xFF from " + std::to_string(len) + " to " + std::to_string(want) + " bytes");
    }
    job.len = want;
    job.take_backup = job.keep || !o.no_backup;
    if (job.keep && any_programmed(job.image, kCalibStart, kCalibEnd))
        throw Failure(REFUSED, "the image overlaps the calibration area " + hex(kCalibStart, 5) + "-" +
                                   hex(kCalibEnd - 1, 5) + "; refusing to burn (--erase-calibration gives it up)");
    const bool image_has_id2 = any_programmed(job.image, kId2SectorStart, kId2SectorEnd);
    job.keep_id2 = job.keep && !image_has_id2;
    if (job.method == BurnMethod::library) {
        if (job.keep) job.kept.emplace_back(kCalibStart, kCalibEnd);
        if (job.keep_id2) job.kept.emplace_back(kId2SectorStart, kId2SectorEnd);
    }
    job.rec.camera = camera_option(s.index);
    job.rec.image = job.image_name;
    job.rec.calibration_untouched = job.method == BurnMethod::sector;
    return job;
}

// The backup file never replaces a file and must be writable before the
// device is touched.
void check_backup_target(const BurnJob& job) {
    if (job.backup_file.empty() || job.dry_run) return;
    bool created;
    try {
        created = write_file_exclusive(job.backup_file, "");
    } catch (const Failure& f) {
        throw Failure(REFUSED, std::string(f.what()) + "; refusing to burn without a calibration backup");
    }
    if (!created)
        throw Failure(REFUSED, job.backup_file + " exists; a backup never replaces a file, name another");
    std::remove(job.backup_file.c_str());
}

// Whether the calibration store finds an identification block after the
// burn: the library burn leaves the image's first block (and its second,
// or the camera's second from the backup); the sector-wise burn leaves
// the camera's own blocks.
bool recognised_after(const BurnJob& job) {
    if (job.method == BurnMethod::sector) return store_recognises(job.id_blocks_now);
    auto image_block = [&](long addr) {
        Bytes b(orvex_store::kIdBlockLen, 0xFF);
        for (long i = 0; i < orvex_store::kIdBlockLen && addr + i < job.len; ++i)
            b[static_cast<size_t>(i)] = job.image[static_cast<size_t>(addr + i)];
        return parse_id_block(addr, b.data()).valid;
    };
    if (image_block(orvex_store::kIdFirstAddr)) return true;
    if (!job.keep_id2) return image_block(orvex_store::kIdSecondAddr);
    for (const IdBlock& b : job.id_blocks_now)
        if (b.addr == orvex_store::kIdSecondAddr) return b.valid;
    return false;
}

// The image's firmware version against the camera's (reads only). A
// camera whose firmware area is blank or damaged takes any version: the
// burn is what brings it back.
void compare_versions(BurnJob& job) {
    const FirmwareArea now = camera_firmware(*job.s, job.chip);
    const FirmwareArea next = image_firmware(job.image, job.chip);
    const bool both = now.state == FirmwareArea::intact && next.state == FirmwareArea::intact;
    job.version_cmp = both ? compare_firmware(next, now) : 1;
    std::string change = "unknown";
    if (both) change = job.version_cmp > 0 ? "newer" : job.version_cmp == 0 ? "same" : "older";
    else if (now.state == FirmwareArea::blank || now.state == FirmwareArea::damaged) change = "repair";
    job.firmware = {{"current", fw_area_json(now)},
                    {"new", fw_area_json(next)},
                    {"change", change},
                    {"text", now.text() + " \u2192 " + next.text()}};
    job.fw_now = now.text();
    job.fw_new = next.text();
    // What this burn needs of the rule, for advice that works as given.
    if (job.version_cmp < 0 && !job.allow_older) job.version_options += " --allow-older";
    if (job.version_cmp == 0 && !job.allow_reinstall) job.version_options += " --allow-reinstall";
    // Burning the same image again after a failure meets the camera's
    // version fields as this burn writes them.
    if (next.state == FirmwareArea::intact)
        job.rec.burn_options = both && job.version_cmp < 0 ? " --allow-older --allow-reinstall" : " --allow-reinstall";
    if (change == "repair")
        note(*job.s, "the camera's firmware is " + now.text() + "; the burn puts " + next.text() + " in its place");
}

// The firmware-version rule, before anything is erased: an older image
// only with allow_older, the camera's own version again only with
// allow_reinstall.
void check_versions(BurnJob& job) {
    const std::string versions = job.image_name + " holds firmware " + job.fw_new + ", ";
    auto refuse = [&](const std::string& why) {
        Failure f(REFUSED, versions + why);
        f.recovery = "to burn it anyway, on this camera only:\n  orvexctl " + job.rec.camera + " burn" +
                     (job.method == BurnMethod::library ? " --method=library" : "") + job.version_options + " " +
                     job.image_name;
        throw f;
    };
    if (job.version_cmp < 0 && !job.allow_older)
        refuse("older than the camera's " + job.fw_now + "; refusing to burn an older firmware (--allow-older burns it)");
    if (job.version_cmp == 0 && !job.allow_reinstall)
        refuse("the version the camera runs; refusing to burn it again (--allow-reinstall burns it)");
    if (job.version_cmp < 0) note(*job.s, "warning (allowed): " + versions + "older than the camera's " + job.fw_now);
}

// The image against this camera; each failed check refuses unless forced
// by name. Register and flash reads only.
void check_against_camera(BurnJob& job) {
    Session& s = *job.s;
    job.chip = identify_chip(s, false);
    if (version_layout_needs_rom(job.chip.chip_id)) job.chip = identify_chip(s, true);
    job.id_blocks_now = read_id_blocks(s);
    job.recognised_after = recognised_after(job);
    compare_versions(job);
    job.checks = json::object();
    std::string refusal, overrides;
    for (const auto& c : check_image(job.image, job.original, job.chip, job.keep, job.recognised_after)) {
        bool forced = !c.passed && (job.force & c.flag);
        job.checks[c.name] = c.passed ? "passed" : forced ? "forced" : "failed";
        if (forced) note(s, std::string("warning (forced): ") + c.problem);
        if (!c.passed && !forced) {
            refusal += "\n  " + c.problem + " (image check " + c.name + ")";
            overrides += std::string(" --force ") + c.name;
        }
    }
    if (!refusal.empty() && job.method == BurnMethod::sector && !job.recognised_after)
        refusal += "\n  (the sector-wise burn keeps the camera's identification blocks, and it has none: "
                   "--method=library burns the image's)";
    if (!refusal.empty()) {
        // The overrides are this camera's: the advice names the command
        // that burns this one camera (a station burn takes none of them).
        Failure f(REFUSED, job.image_name + " does not fit this camera:" + refusal);
        f.recovery = "to burn it anyway, on this camera only:\n  orvexctl " + job.rec.camera + " burn" +
                     (job.method == BurnMethod::library ? " --method=library" : "") + (job.keep ? "" : " --erase-calibration") + job.version_options + overrides + " " + job.image_name;
        throw f;
    }
    if (!job.recognised_after)
        note(s, "warning: the new image carries no valid identification block: the calibration store will no "
                "longer recognise this camera");
    if (job.method == BurnMethod::sector)
        for (const std::string& n : check_kept_sectors(job)) note(s, n);
}

// Whether this method can burn this flash type, from the family table.
void check_method_fits(const BurnJob& job) {
    const orvex::FlashFamily& f = orvex::flash_family(job.sft);
    const std::string name = flash_type_name(job.sft);
    if (job.method == BurnMethod::library) {
        if (!f.chip_erase_clears)
            throw Failure(REFUSED, "the library's chip erase clears nothing on a " + name + " flash (" + f.quirk +
                                       "); refusing to burn");
        return;
    }
    if (sector_burn_supports(job.sft)) return;
    if (f.sector_erase_size <= 0)
        throw Failure(REFUSED, "the library's sector erase clears nothing on a " + name + " flash (" + f.quirk +
                                   "); refusing to burn");
    throw Failure(REFUSED, "the " + name + " flash erases no 4 KiB sectors: a sector-wise burn would take the "
                                           "calibration with it; --method=library burns it (chip erase, "
                                           "calibration written back)");
}

// Lifts the write protection as the burn will, then reads the status
// register: a flash that stays protected would let a burn erase nothing
// and "verify" the old firmware.
void require_unprotected(SERIAL_FLASH_TYPE sft) {
    // The release's own result is not trusted either way: the status
    // register says what the flash will do.
    OV_DisableSerialFlashWriteProtect(sft);
    BYTE status = 0;
    if (!read_status_register(&status)) throw Failure(TRANSFER, "the flash status register could not be read");
    if ((status & orvex_sf::kStatusWriteLocks) == 0) return;
    std::string cause = (status & orvex_sf::kStatusRegisterProtect)
                            ? "the register's write-disable bit is set and the WP# pin holds it: the pin is "
                              "not wired to the GPIO the firmware's configuration names, or is strapped low"
                            : "the status register did not take the write that clears its protect bits "
                              "(register protection, or a flash that ignores the command)";
    throw Failure(TRANSFER, "the flash is still write-protected (status register " + hex(status, 2) +
                                ") after the release: " + cause + "; nothing was erased");
}

// The identity the image's identification blocks give a camera whose
// flash takes them (the library burn), unknown when they give none.
UnitIdentity image_identity(const BurnJob& job) {
    std::vector<IdBlock> blocks;
    for (const auto& loc : orvex_store::kIdLocations) {
        if (loc.addr + orvex_store::kIdBlockLen > job.len) continue;
        blocks.push_back(parse_id_block(loc.addr, &job.image[static_cast<size_t>(loc.addr)]));
    }
    return unit_identity(blocks);
}

// The calibration as it is now, in memory; on disk only when it is worth
// keeping, so that a half-burned camera's blank area never becomes the
// newest backup.
void take_backup(BurnJob& job) {
    Session& s = *job.s;
    {
        PhaseTimer t(s, job.log, "backup");
        Chip full = identify_chip(s, true);
        job.snapshot = make_backup(s, full, firmware_version());
    }
    Recovery& rec = job.rec;
    UnitIdentity unit = unit_identity(job.id_blocks_now);
    if (job.take_backup && backup_is_good(job.snapshot)) {
        try {
            rec.backup = save_backup(s, job.snapshot);
            job.saved.push_back(rec.backup);
            if (!job.backup_file.empty()) {
                save_backup_as(s, job.snapshot, job.backup_file);
                job.saved.push_back(job.backup_file);
                rec.backup = job.backup_file;
            }
        } catch (const Failure& f) {
            throw Failure(REFUSED, std::string(f.what()) + "; refusing to burn without a calibration backup");
        }
        note(s, "calibration of unit " + identity_text(unit) + " saved to " + rec.backup);
    } else if (job.take_backup) {
        // Only a backup the identity rule calls this unit's is its own: a
        // camera without identity has none that could be shown to be, and
        // neither has one whose only identity is the one this image
        // carries (an earlier library burn of a camera without identity
        // left it): every camera burned with the image names that unit.
        if (!identity_came_from_image(s, job.rec.camera, identity_text(unit)))
            rec.backup = newest_good_backup(s, hex(job.chip.chip_id, 2), unit);
        rec.why_no_backup = "no backup of this camera's calibration exists";
        note(s, "the calibration area holds no identification block or nothing at all: no backup taken" +
                    std::string(rec.backup.empty() ? "" : "; the newest good backup of this unit is " + rec.backup));
    } else {
        rec.why_no_backup = "no backup was taken (--no-backup)";
    }
    // A camera without identity takes the image's from the library burn:
    // remembered, so that no later advice calls that unit's backups its own.
    if (!unit.known && job.method == BurnMethod::library) {
        UnitIdentity given = image_identity(job);
        if (given.known) remember_image_identity(s, job.rec.camera, identity_text(given));
    }
}

json burn(Session& s, const BYTE* image, long len, const OrvexFactoryBurnOptions& o) {
    BurnJob job = read_job(s, image, len, o);
    check_backup_target(job);
    Connection c(s);
    check_against_camera(job);
    check_versions(job);
    if (job.dry_run) {
        json plan = burn_plan(job);
        plan["firmware"] = job.firmware;
        return plan;
    }

    job.sft = session_flash_type(s);
    check_method_fits(job);
    require_unprotected(job.sft);
    check_cancel(s);
    take_backup(job);
    check_cancel(s);

    json done = job.method == BurnMethod::sector ? burn_sector_wise(job) : burn_with_library(job);

    bool after = store_recognises(read_id_blocks(s));
    // The archive's finished row carries the version the camera reports
    // now, beside the one its backup saw before: what the burn left. Only
    // read when recording, and never a reason for the burn to fail.
    if (s.recording) {
        try {
            archive_saw(s, "firmware_after", fw_json(firmware_version()).dump());
        } catch (const std::exception&) {
        }
    }
    if (job.keep && !backup_is_good(job.snapshot) && !job.rec.backup.empty())
        note(s, "the calibration area was blank before the burn; to bring the calibration back:\n  orvexctl " +
                    job.rec.camera + " restore " + job.rec.backup);
    json doc = {{"image", job.image_name},
                {"image_length", job.len},
                {"method", job.method == BurnMethod::sector ? "sector" : "library"},
                {"flash_type", flash_type_name(job.sft)},
                {"verification", job.full_verify ? "full" : "sampled"},
                {"checks", job.checks},
                {"firmware", job.firmware},
                {"backup", job.rec.backup.empty() ? json(nullptr) : json(job.rec.backup)},
                {"calibration_store_recognises", after}};
    doc.update(done);
    doc.update(job.log.to_json());
    if (!job.saved.empty()) doc["backups_written"] = job.saved;
    return doc;
}

}  // namespace

extern "C" {

void OrvexFactory_BurnOptionsInit(OrvexFactoryBurnOptions* o) {
    if (!o) return;
    std::memset(o, 0, sizeof *o);
    o->size = sizeof *o;
}

int OrvexFactory_Burn(OrvexFactorySession* s, const BYTE* image, LONG len, const OrvexFactoryBurnOptions* options,
                      OrvexFactoryResult** out) {
    // A dry run changes nothing and is not an event of the unit.
    const bool dry = options && options->size >= static_cast<LONG>(offsetof(OrvexFactoryBurnOptions, dry_run) + sizeof(int)) &&
                     options->dry_run;
    Recording what{"burn", image, len > 0 ? len : 0};
    if (options && options->size >= static_cast<LONG>(offsetof(OrvexFactoryBurnOptions, image_name) + sizeof(char*)) &&
        options->image_name)
        what.image_name = options->image_name;
    auto op = [&] {
        if (!s) throw Failure(USAGE, "no session");
        // A caller built against a shorter struct gets the defaults for
        // the fields it does not know.
        OrvexFactoryBurnOptions o;
        OrvexFactory_BurnOptionsInit(&o);
        if (options) {
            if (options->size < static_cast<LONG>(sizeof(LONG)))
                throw Failure(USAGE, "burn options without their size (OrvexFactory_BurnOptionsInit sets it)");
            std::memcpy(&o, options, std::min(static_cast<size_t>(options->size), sizeof o));
            // Built before the firmware-version rule: the burn such a
            // caller was written for, which compared no versions.
            if (static_cast<size_t>(options->size) < offsetof(OrvexFactoryBurnOptions, allow_reinstall) + sizeof(int))
                o.allow_older = o.allow_reinstall = 1;
            o.size = sizeof o;
        }
        return burn(*s, image, len, o);
    };
    return dry || !image ? run(s, out, op) : run_recorded(s, out, what, op);
}

}

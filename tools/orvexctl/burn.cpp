// burn: firmware burning that keeps the calibration. Before anything is
// erased the tool checks the image against the camera, makes sure the
// flash's write protection lifts, and saves the calibration area and the
// identification blocks to a backup. By default the burn then erases and
// programs only the sectors the image covers, so the calibration never
// leaves the flash (burn_sector.cpp); --method=library keeps the library's
// burner, which erases the whole chip and needs the saved areas written
// back afterwards (burn_library.cpp).
#include <algorithm>

#include <CLI/CLI.hpp>

#include "burn_job.h"
#include "commands.h"
#include "internal/sf_bytes.h"
#include "orvexctl.h"
#include "sector_burn.h"

namespace orvexctl {

namespace {

// Status register bits that keep a flash from being written: block protect
// (BP0-BP2, and BP3 on larger parts) and the register's own write disable.
constexpr BYTE kProtectBits = orvex_sf::kStatusWriteLocks;
constexpr BYTE kStatusRegisterWriteDisable = orvex_sf::kStatusRegisterProtect;

// The image, padded, and what the options ask; no device needed.
BurnJob read_job(const BurnOptions& o) {
    BurnJob job;
    job.o = o;
    for (const auto& f : o.force)
        if (std::find(std::begin(kImageCheckNames), std::end(kImageCheckNames), f) == std::end(kImageCheckNames))
            throw Failure(EXIT_USAGE, "--force takes length, version-record or id-block, not '" + f + "'");
    job.keep = !o.erase_calibration;
    // Only the library's chip erase gives the calibration up.
    if (o.method == "sector" && !job.keep)
        throw Failure(EXIT_USAGE, "--erase-calibration needs --method=library: the sector-wise burn never "
                                  "erases the calibration");
    job.method = (o.method == "library" || (o.method.empty() && !job.keep)) ? BurnMethod::library
                                                                             : BurnMethod::sector;
    job.image = read_file(o.image);
    if (job.image.empty()) throw Failure(EXIT_USAGE, o.image + " is empty");
    if (static_cast<long>(job.image.size()) > kFlashSize)
        throw Failure(EXIT_REFUSED, o.image + " is larger than the 256 KiB flash");
    job.full_verify = o.verify != "sample";
    // Both burns program whole 8-byte chunks and save 8 bytes at 0x160 for
    // last; pad with the erased value, which programs nothing.
    job.original = static_cast<long>(job.image.size());
    size_t want = std::max<size_t>((job.image.size() + 7) / 8 * 8, 0x168);
    if (want != job.image.size()) {
        job.image.resize(want, 0xFF);
        info("image padded with 0xFF from " + std::to_string(job.original) + " to " + std::to_string(want) +
             " bytes");
    }
    job.len = static_cast<long>(job.image.size());
    job.take_backup = job.keep || !o.no_backup;
    if (job.keep && any_programmed(job.image, kCalibStart, kCalibEnd))
        throw Failure(EXIT_REFUSED, "the image overlaps the calibration area 0x30000-0x34FFF; "
                                    "refusing to burn (--erase-calibration gives it up)");
    const bool image_has_id2 = any_programmed(job.image, kId2SectorStart, kId2SectorEnd);
    job.keep_id2 = job.keep && !image_has_id2;
    if (job.method == BurnMethod::library) {
        if (job.keep) job.kept.emplace_back(kCalibStart, kCalibEnd);
        if (job.keep_id2) job.kept.emplace_back(kId2SectorStart, kId2SectorEnd);
    }
    job.rec.image = o.image;
    job.rec.calibration_untouched = job.method == BurnMethod::sector;
    if (o.flash_type != "auto") parse_flash_type(o.flash_type);  // usage errors before the device
    return job;
}

// --backup FILE never replaces a file and must be writable before the
// device is touched.
void check_backup_target(const BurnOptions& o) {
    if (o.backup.empty() || o.dry_run) return;
    bool created;
    try {
        created = write_file_exclusive(o.backup, "");
    } catch (const Failure& f) {
        throw Failure(EXIT_REFUSED, std::string(f.what()) + "; refusing to burn without a calibration backup");
    }
    if (!created) throw Failure(EXIT_REFUSED, o.backup + " exists; a backup never replaces a file, name another");
    std::remove(o.backup.c_str());
}

// Whether the calibration store finds an identification block after the
// burn: the library burn leaves the image's first block (and its second,
// or the camera's second from the backup); the sector-wise burn leaves
// the camera's own blocks.
bool recognised_after(const BurnJob& job) {
    if (job.method == BurnMethod::sector) return store_recognises(job.id_blocks_now);
    auto image_block = [&](long addr) {
        Bytes b(24, 0xFF);
        for (long i = 0; i < 24 && addr + i < job.len; ++i) b[static_cast<size_t>(i)] = job.image[static_cast<size_t>(addr + i)];
        return check_id_block(addr, b.data()).valid;
    };
    if (image_block(kIdBlock1)) return true;
    return job.keep_id2 ? job.id_blocks_now[1].valid : image_block(kIdBlock2);
}

// The image against this camera; each failed check refuses unless forced
// by name. Register and flash reads only.
void check_against_camera(BurnJob& job) {
    job.id = identify(false);
    if (version_layout_needs_rom(job.id.chip_id)) job.id = identify(true);
    job.id_blocks_now = read_id_blocks();
    job.recognised_after = recognised_after(job);
    job.checks = json::object();
    std::string refusal;
    for (const auto& c : check_image(job.image, job.original, job.id, job.keep, job.recognised_after)) {
        bool forced = !c.passed && std::find(job.o.force.begin(), job.o.force.end(), c.name) != job.o.force.end();
        job.checks[c.name] = c.passed ? "passed" : forced ? "forced" : "failed";
        if (forced) note(std::string("warning (forced): ") + c.problem);
        if (!c.passed && !forced) refusal += "\n  " + c.problem + " (--force " + c.name + " overrides)";
    }
    if (!refusal.empty() && job.method == BurnMethod::sector && !job.recognised_after)
        refusal += "\n  (the sector-wise burn keeps the camera's identification blocks, and it has none: "
                   "--method=library burns the image's)";
    if (!refusal.empty()) throw Failure(EXIT_REFUSED, job.o.image + " does not fit this camera:" + refusal);
    if (!job.recognised_after)
        note("warning: the new image carries no valid identification block: the calibration store will no "
             "longer recognise this camera");
    if (job.method == BurnMethod::sector)
        for (const std::string& n : check_kept_sectors(job)) note(n);
}

// Lifts the write protection as the burn will, then reads the status
// register: a flash that stays protected would let a burn erase nothing
// and "verify" the old firmware.
void require_unprotected(SERIAL_FLASH_TYPE sft) {
    // The release's own result is not trusted either way: the status
    // register says what the flash will do.
    OV_DisableSerialFlashWriteProtect(sft);
    BYTE status = read_status_register();
    if ((status & kProtectBits) == 0) return;
    std::string cause = (status & kStatusRegisterWriteDisable)
                            ? "the register's write-disable bit is set and the WP# pin holds it: the pin is "
                              "not wired to the GPIO the firmware's configuration names, or is strapped low"
                            : "the status register did not take the write that clears its protect bits "
                              "(register protection, or a flash that ignores the command)";
    throw Failure(EXIT_TRANSFER, "the flash is still write-protected (status register " + hex(status, 2) +
                                     ") after the release: " + cause + "; nothing was erased");
}

// The calibration as it is now, in memory; on disk only when it is worth
// keeping, so that a half-burned camera's blank area never becomes the
// newest backup.
void take_backup(BurnJob& job) {
    {
        PhaseTimer t(job.log, "backup");
        Progress p("backup", static_cast<uint64_t>(backup_bytes()));
        Identity full = identify(true);
        job.snapshot = make_backup(full, firmware_version(), &p);
        p.finish();
    }
    Recovery& rec = job.rec;
    UnitIdentity unit = backup_identity(job.snapshot);
    if (job.take_backup && backup_is_good(job.snapshot)) {
        try {
            rec.backup = save_backup(job.snapshot, unit);
            if (!job.o.backup.empty() && !write_file_exclusive(job.o.backup, job.snapshot.dump(2) + "\n"))
                throw Failure(EXIT_FILE, job.o.backup + " appeared meanwhile");
        } catch (const Failure& f) {
            throw Failure(EXIT_REFUSED, std::string(f.what()) + "; refusing to burn without a calibration backup");
        }
        if (!job.o.backup.empty()) rec.backup = job.o.backup;
        note("calibration of unit " + identity_text(unit) + " saved to " + rec.backup);
    } else if (job.take_backup) {
        rec.backup = newest_good_backup(hex(job.id.chip_id, 2), unit);
        rec.why_no_backup = "no backup of this camera's calibration exists";
        note("the calibration area holds no identification block or nothing at all: no backup taken" +
             std::string(rec.backup.empty() ? "" : "; the newest good backup for this chip is " + rec.backup));
    } else {
        rec.why_no_backup = "no backup was taken (--no-backup)";
    }
}

const char* const kLibrarySignalMessage =
    "\norvexctl: signal received during the burn. The flash is being erased and programmed: stopping now "
    "would leave a camera that does not boot and without its calibration. The burn will finish and the "
    "calibration will be written back; please wait.\n";
const char* const kSectorSignalMessage =
    "\norvexctl: signal received during the burn. The firmware sectors are being erased and programmed: "
    "stopping now would leave a camera that does not boot (the calibration is never erased). The burn "
    "will finish; please wait.\n";

}  // namespace

int cmd_burn(const BurnOptions& o) {
    BurnJob job = read_job(o);
    check_backup_target(o);
    Session s(g_opt.device);
    check_against_camera(job);
    if (o.dry_run) return print_burn_plan(job);

    job.sft = resolve_flash_type(o.flash_type);
    if (job.method == BurnMethod::sector && !sector_burn_supports(job.sft))
        throw Failure(EXIT_REFUSED, std::string("the ") + flash_type_name(job.sft) +
                                        " flash erases no 4 KiB sectors: a sector-wise burn would take the "
                                        "calibration with it; --method=library burns it (chip erase, "
                                        "calibration written back)");
    require_unprotected(job.sft);
    take_backup(job);

    SignalGuard guard(job.method == BurnMethod::sector ? kSectorSignalMessage : kLibrarySignalMessage);
    BurnReport r = job.method == BurnMethod::sector ? burn_sector_wise(job) : burn_with_library(job);

    bool after = store_recognises(read_id_blocks());
    if (guard.received()) note("the burn finished despite the signal; the camera is complete");
    if (job.keep && !backup_is_good(job.snapshot) && !job.rec.backup.empty())
        note("the calibration area was blank before the burn; to bring the calibration back:\n  orvexctl -d " +
             std::to_string(g_opt.device) + " restore " + job.rec.backup);
    json doc = {{"image", o.image},
                {"image_length", job.len},
                {"method", job.method == BurnMethod::sector ? "sector" : "library"},
                {"flash_type", flash_type_name(job.sft)},
                {"verification", job.full_verify ? "full" : "sampled"},
                {"checks", job.checks},
                {"backup", job.rec.backup.empty() ? json(nullptr) : json(job.rec.backup)},
                {"calibration_store_recognises", after}};
    doc.update(r.doc);
    doc.update(job.log.to_json());
    emit(doc, r.text + (job.rec.backup.empty() ? "" : "backup  " + job.rec.backup + "\n"));
    return EXIT_OK;
}

}  // namespace orvexctl

void orvexctl::add_burn_command(CLI::App& app, Action& action) {
    static BurnOptions burn;
    static bool full_check = false;
    auto* burn_cmd = app.add_subcommand("burn", "burn a firmware image, keeping the calibration");
    burn_cmd->add_option("image", burn.image, "firmware image file")->required();
    burn_cmd->add_option("--method", burn.method,
                         "sector (default): erase and program only the 4 KiB sectors the image covers; the "
                         "calibration and identification sectors are never erased. library: the library's "
                         "burner, which erases the whole chip; the calibration is written back from the backup")
        ->check(CLI::IsMember({"sector", "library"}));
    burn_cmd->add_option("--verify", burn.verify,
                         "full (default): read every byte back; sample: 8 bytes per KiB, which misses any "
                         "difference elsewhere, e.g. a flash that kept its old firmware because its protection "
                         "never lifted")
        ->check(CLI::IsMember({"full", "sample"}));
    burn_cmd->add_flag("--full-check", full_check, "the same as --verify=full");
    burn_cmd->add_option("--flash-type", burn.flash_type, "flash type NAME, or auto (JEDEC id)");
    burn_cmd->add_flag("--erase-calibration", burn.erase_calibration,
                       "do not keep the calibration area and identification sector (a backup is still taken); "
                       "burns with the library method");
    burn_cmd->add_flag("--no-backup", burn.no_backup, "with --erase-calibration: take no backup");
    burn_cmd->add_flag("--dry-run", burn.dry_run, "check the image, print the plan and change nothing");
    burn_cmd->add_option("--force", burn.force,
                         "burn although the named image check fails: length, version-record or id-block "
                         "(repeat for several)")
        ->allow_extra_args(false)
        ->check(CLI::IsMember({"length", "version-record", "id-block"}));
    burn_cmd->add_option("--backup", burn.backup,
                         "also save the calibration backup to this new file (it is always saved in the backup folder)");
    burn_cmd->callback([&action] {
        if (full_check) burn.verify = "full";
        action = [] { return cmd_burn(burn); };
    });
}

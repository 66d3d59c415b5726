// burn: firmware burning that keeps the calibration. The library's burner
// erases the whole flash, so before anything is erased the tool checks the
// image against the camera, makes sure the flash's write protection lifts,
// and saves the calibration area (and the sector of the second
// identification block, when the image does not bring its own) to a backup.
// After the burn it reads the whole image back and writes the saved areas
// back, each step a phase of its own.
#include <cmath>
#include <memory>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "internal/sf_bytes.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {

bool any_programmed(const Bytes& img, long from, long to) {
    for (long a = from; a < to && a < static_cast<long>(img.size()); ++a)
        if (img[static_cast<size_t>(a)] != 0xFF) return true;
    return false;
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

// Rough time on real hardware: about 1 ms per extension-unit query, the
// one-second waits after each erase, and a few seconds of chip erase.
double estimate_seconds(long len, bool full_verify, int kept_sectors, bool keep) {
    const double q = 0.001;
    double s = 3.0 + 1.0;                          // chip erase, wait
    s += std::ceil(len / 1024.0) * 2 * q;          // blank check
    s += (len / 8.0 + 1) * q;                      // program
    s += std::ceil(len / 1024.0) * 2 * q;          // the library's sampled check
    if (full_verify) s += len / 8.0 * 2 * q;       // every byte read back
    s += (kCalibEnd - kCalibStart + 0x1000 + 0x1000) / 8.0 * 2 * q;  // backup reads
    if (keep) s += kept_sectors * (1.0 + 0.3 + 0x1000 / 8.0 * 5 * q);  // rewrite + verify
    return s;
}

// Status register bits that keep a flash from being written: block protect
// (BP0-BP2, and BP3 on larger parts) and the register's own write disable.
constexpr BYTE kProtectBits = orvex_sf::kStatusWriteLocks;
constexpr BYTE kStatusRegisterWriteDisable = orvex_sf::kStatusRegisterProtect;

// Lifts the write protection as the burner will, then reads the status
// register: a flash that stays protected would let the burner erase
// nothing and "verify" the old firmware.
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

// The library's burn reports a fraction over programming; the erase before
// its first report is a phase of its own.
struct BurnPhases {
    uint64_t len;
    std::unique_ptr<Progress> erase, program;
    static void callback(void* self, float fraction) {
        try {
            auto* b = static_cast<BurnPhases*>(self);
            if (b->erase) {
                b->erase->finish();
                b->erase.reset();
                b->program = std::make_unique<Progress>("program", b->len);
            }
            if (b->program) b->program->update(fraction);
        } catch (...) {
            // Called between two flash transfers; nothing may unwind through it.
        }
    }
};

// What to run when the camera is not as the burn promised.
struct Recovery {
    std::string image;
    std::string backup;  // empty: none was taken
    std::string why_no_backup;
    std::string text(bool firmware_lost) const {
        std::string dev = "orvexctl -d " + std::to_string(g_opt.device);
        std::string t = "to recover, with the camera connected, run:\n";
        if (firmware_lost) t += "  " + dev + " burn " + image + "\n";
        if (!backup.empty())
            t += "  " + dev + " restore " + backup + "\n";
        else
            t += "  (" + why_no_backup + ")\n";
        return t;
    }
};

const char* const kBurnSignalMessage =
    "\norvexctl: signal received during the burn. The flash is being erased and programmed: stopping now "
    "would leave a camera that does not boot and without its calibration. The burn will finish and the "
    "calibration will be written back; please wait.\n";

}  // namespace

int cmd_burn(const BurnOptions& o) {
    Bytes image = read_file(o.image);
    if (image.empty()) throw Failure(EXIT_USAGE, o.image + " is empty");
    if (static_cast<long>(image.size()) > kFlashSize)
        throw Failure(EXIT_REFUSED, o.image + " is larger than the 256 KiB flash");
    for (const auto& f : o.force) {
        bool known = false;
        for (const char* n : kImageCheckNames) known |= f == n;
        if (!known) throw Failure(EXIT_USAGE, "--force takes length, version-record or id-block, not '" + f + "'");
    }
    const bool full_verify = o.verify != "sample";
    // The burner programs whole 8-byte chunks and saves 8 bytes at 0x160 for
    // last; pad with the erased value, which programs nothing.
    const long original = static_cast<long>(image.size());
    size_t want = std::max<size_t>((image.size() + 7) / 8 * 8, 0x168);
    if (want != image.size()) {
        image.resize(want, 0xFF);
        info("image padded with 0xFF from " + std::to_string(original) + " to " + std::to_string(want) + " bytes");
    }
    const long len = static_cast<long>(image.size());
    const bool keep = !o.erase_calibration;
    const bool take_backup = keep || !o.no_backup;
    if (keep && any_programmed(image, kCalibStart, kCalibEnd))
        throw Failure(EXIT_REFUSED, "the image overlaps the calibration area 0x30000-0x34FFF; "
                                    "refusing to burn (--erase-calibration gives it up)");
    const bool image_has_id2 = any_programmed(image, kId2SectorStart, kId2SectorEnd);
    const bool keep_id2 = keep && !image_has_id2;
    if (o.flash_type != "auto") parse_flash_type(o.flash_type);  // usage errors before the device
    if (!o.backup.empty() && !o.dry_run) {
        // Never replaces a file, and must be writable before the device is touched.
        bool created;
        try {
            created = write_file_exclusive(o.backup, "");
        } catch (const Failure& f) {
            throw Failure(EXIT_REFUSED, std::string(f.what()) + "; refusing to burn without a calibration backup");
        }
        if (!created)
            throw Failure(EXIT_REFUSED, o.backup + " exists; a backup never replaces a file, name another");
        std::remove(o.backup.c_str());
    }

    Session s(g_opt.device);
    Identity id = identify(false);  // register reads only
    if (version_layout_needs_rom(id.chip_id)) id = identify(true);
    // What the calibration store would find after the burn.
    std::vector<IdBlock> now = read_id_blocks();
    Bytes b1(24, 0xFF), b2(24, 0xFF);
    for (long i = 0; i < 24; ++i) {
        if (kIdBlock1 + i < len) b1[static_cast<size_t>(i)] = image[static_cast<size_t>(kIdBlock1 + i)];
        if (image_has_id2 && kIdBlock2 + i < len) b2[static_cast<size_t>(i)] = image[static_cast<size_t>(kIdBlock2 + i)];
    }
    bool recognised = check_id_block(kIdBlock1, b1.data()).valid ||
                      (image_has_id2 ? check_id_block(kIdBlock2, b2.data()).valid : keep_id2 && now[1].valid);

    // The image against this camera; each failed check refuses unless forced by name.
    std::vector<ImageCheck> checks = check_image(image, original, id, keep, recognised);
    json jchecks = json::object();
    std::string refusal;
    for (const auto& c : checks) {
        bool forced = !c.passed && std::find(o.force.begin(), o.force.end(), c.name) != o.force.end();
        jchecks[c.name] = c.passed ? "passed" : forced ? "forced" : "failed";
        if (forced) note(std::string("warning (forced): ") + c.problem);
        if (!c.passed && !forced) refusal += "\n  " + c.problem + " (--force " + c.name + " overrides)";
    }
    if (!refusal.empty()) throw Failure(EXIT_REFUSED, o.image + " does not fit this camera:" + refusal);
    if (!recognised)
        note("warning: the new image carries no valid identification block: the calibration store will no "
             "longer recognise this camera");

    std::vector<std::pair<long, long>> kept;
    if (keep) kept.emplace_back(kCalibStart, kCalibEnd);
    if (keep_id2) kept.emplace_back(kId2SectorStart, kId2SectorEnd);

    if (o.dry_run) {
        // Reads only: which kept sectors hold data.
        int sectors = 0;
        json jk = json::array();
        std::string kt;
        for (const auto& k : kept) {
            Bytes cur = flash_read(k.first, k.second - k.first);
            int used = 0;
            for (long u = 0; u < k.second - k.first; u += 0x1000)
                used += any_programmed(Bytes(cur.begin() + u, cur.begin() + u + 0x1000), 0, 0x1000);
            sectors += used;
            jk.push_back({{"from", hex(k.first, 5)}, {"to", hex(k.second - 1, 5)}, {"sectors_with_data", used}});
            kt += "  keep   " + hex(k.first, 5) + "-" + hex(k.second - 1, 5) + " (" + std::to_string(used) +
                  " sector(s) hold data)\n";
        }
        double est = estimate_seconds(len, full_verify, sectors, keep);
        json doc = {{"dry_run", true},
                    {"image", o.image},
                    {"image_length", len},
                    {"chip_id", hex(id.chip_id, 2)},
                    {"checks", jchecks},
                    {"erase", {{"from", "0x00000"}, {"to", "0x3FFFF"}}},
                    {"write", {{"from", "0x00000"}, {"to", hex(len - 1, 5)}}},
                    {"keep", jk},
                    {"backup_dir", take_backup ? json(backup_dir()) : json(nullptr)},
                    {"backup", o.backup.empty() ? json(nullptr) : json(o.backup)},
                    {"flash_type", o.flash_type == "auto" ? json("auto") : json(flash_type_name(parse_flash_type(o.flash_type)))},
                    {"verification", full_verify ? "full" : "sampled"},
                    {"estimated_seconds", std::round(est)},
                    {"calibration_store_recognises_after", recognised}};
        std::string t = "dry run, nothing is touched:\n";
        t += "  erase  0x00000-0x3FFFF (whole flash)\n";
        t += "  write  0x00000-" + hex(len - 1, 5) + " (" + o.image + ", " + std::to_string(len) + " bytes)\n";
        t += keep ? kt : "  keep   nothing (--erase-calibration)\n";
        if (take_backup) t += "  backup into " + backup_dir() + (o.backup.empty() ? "" : " and " + o.backup) + "\n";
        t += std::string("  verify ") + (full_verify ? "every byte" : "8 bytes per KiB") + "\n";
        t += "  time   about " + std::to_string(static_cast<long>(std::round(est))) + " s\n";
        if (!recognised) t += "  warning: no valid identification block after the burn\n";
        emit(doc, t);
        return EXIT_OK;
    }

    SERIAL_FLASH_TYPE sft = resolve_flash_type(o.flash_type);
    require_unprotected(sft);

    // The calibration as it is now, in memory; on disk only when it is
    // worth keeping, so that a half-burned camera's blank area never
    // becomes the newest backup.
    Recovery rec;
    rec.image = o.image;
    json snapshot;
    {
        Progress p("backup", static_cast<uint64_t>(kCalibEnd - kCalibStart + 24 + kId2SectorEnd - kId2SectorStart));
        Identity full = identify(true);
        snapshot = make_backup(full, firmware_version());
        p.finish();
    }
    UnitIdentity unit = backup_identity(snapshot);
    if (take_backup && backup_is_good(snapshot)) {
        try {
            rec.backup = save_backup(snapshot, unit);
            if (!o.backup.empty() && !write_file_exclusive(o.backup, snapshot.dump(2) + "\n"))
                throw Failure(EXIT_FILE, o.backup + " appeared meanwhile");
        } catch (const Failure& f) {
            throw Failure(EXIT_REFUSED, std::string(f.what()) + "; refusing to burn without a calibration backup");
        }
        if (!o.backup.empty()) rec.backup = o.backup;
        note("calibration of unit " + identity_text(unit) + " saved to " + rec.backup);
    } else if (take_backup) {
        rec.backup = newest_good_backup(hex(id.chip_id, 2), unit);
        rec.why_no_backup = "no backup of this camera's calibration exists";
        note("the calibration area holds no identification block or nothing at all: no backup taken" +
             std::string(rec.backup.empty() ? "" : "; the newest good backup for this chip is " + rec.backup));
    } else {
        rec.why_no_backup = "no backup was taken (--no-backup)";
    }

    SignalGuard guard(kBurnSignalMessage);
    {
        BurnPhases phases;
        phases.len = static_cast<uint64_t>(len);
        phases.erase = std::make_unique<Progress>("erase", static_cast<uint64_t>(kFlashSize));
        // The library's own check stays sampled: the full check is ours,
        // with the address of any difference.
        if (OrvexTac_BurnerFW(image.data(), len, BurnPhases::callback, &phases, sft, 0) != 1) {
            std::string why = "the burn failed";
            try {
                BYTE st = read_status_register();
                if (st & kProtectBits) why += " (the flash is write-protected again, status register " + hex(st, 2) + ")";
            } catch (const Failure&) {
                why += " (the camera no longer answers)";
            }
            throw Failure(EXIT_TRANSFER, why + "; the flash may be erased or partly programmed.\n" + rec.text(true));
        }
        if (phases.program) phases.program->finish();
    }
    if (full_verify) {
        Progress p("verify", static_cast<uint64_t>(len));
        Bytes back = flash_read(0, len, &p);
        if (back != image) {
            size_t i = 0;
            while (back[i] == image[i]) ++i;
            throw Failure(EXIT_VERIFY, "the flash differs from the image at " + hex(i, 5) + ": wrote " +
                                           hex(image[i], 2) + ", read back " + hex(back[i], 2) + ".\n" +
                                           rec.text(true));
        }
        p.finish();
    }
    json jk = json::array();
    std::string t = "burned " + o.image + " (" + std::to_string(len) + " bytes, " +
                    (full_verify ? "every byte verified" : "sample verified") + ")\n";
    try {
        for (const auto& k : kept) {
            Bytes data = range_of(snapshot, k.first);
            RewriteResult r;
            {
                Progress p("restore", static_cast<uint64_t>(data.size()));
                r = flash_rewrite(k.first, data, sft, false, &p);
                p.finish();
            }
            // Byte for byte, including sectors that needed no rewrite.
            Progress p("verify restore", static_cast<uint64_t>(data.size()));
            if (flash_read(k.first, static_cast<long>(data.size()), &p) != data)
                throw Failure(EXIT_VERIFY, "kept range " + hex(k.first, 5) + " differs after the rewrite");
            p.finish();
            jk.push_back({{"from", hex(k.first, 5)}, {"to", hex(k.second - 1, 5)}, {"sectors_rewritten", r.units_written}});
            t += "kept   " + hex(k.first, 5) + "-" + hex(k.second - 1, 5) + ", verified\n";
        }
    } catch (const Failure& f) {
        throw Failure(f.code, std::string(f.what()) + "; the firmware is burned but the calibration is not back.\n" +
                                  rec.text(false));
    }
    bool after = store_recognises(read_id_blocks());
    if (guard.received()) note("the burn finished despite the signal; the camera is complete");
    if (keep && !backup_is_good(snapshot) && !rec.backup.empty())
        note("the calibration area was blank before the burn; to bring the calibration back:\n  orvexctl -d " +
             std::to_string(g_opt.device) + " restore " + rec.backup);
    emit({{"image", o.image}, {"image_length", len}, {"flash_type", flash_type_name(sft)},
          {"verification", full_verify ? "full" : "sampled"}, {"checks", jchecks}, {"kept", jk},
          {"backup", rec.backup.empty() ? json(nullptr) : json(rec.backup)},
          {"calibration_store_recognises", after}},
         t + (rec.backup.empty() ? "" : "backup  " + rec.backup + "\n"));
    return EXIT_OK;
}

}  // namespace orvexctl

void orvexctl::add_burn_command(CLI::App& app, Action& action) {
    static BurnOptions burn;
    static bool full_check = false;
    auto* burn_cmd = app.add_subcommand("burn", "burn a firmware image, keeping the calibration");
    burn_cmd->add_option("image", burn.image, "firmware image file")->required();
    burn_cmd->add_option("--verify", burn.verify,
                         "full (default): read every byte back; sample: only the library's check of 8 bytes "
                         "per KiB, which misses any difference elsewhere, e.g. a flash that kept its old "
                         "firmware because its protection never lifted")
        ->check(CLI::IsMember({"full", "sample"}));
    burn_cmd->add_flag("--full-check", full_check, "the same as --verify=full");
    burn_cmd->add_option("--flash-type", burn.flash_type, "flash type NAME, or auto (JEDEC id)");
    burn_cmd->add_flag("--erase-calibration", burn.erase_calibration,
                       "do not keep the calibration area and identification sector (a backup is still taken)");
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

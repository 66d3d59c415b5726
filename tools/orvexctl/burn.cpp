// burn: firmware burning that keeps the calibration, as a client of
// libOrvexFactory (OrvexFactory_Burn): the library checks the image against
// the camera, lifts the write protection, takes the backup and burns; the
// tool parses the options, holds signals off while the flash is being
// erased and programmed, and renders the result as text or JSON.
#include <cstring>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "factory_client.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {

const char* const kLibrarySignalMessage =
    "\norvexctl: signal received during the burn. The flash is being erased and programmed: stopping now "
    "would leave a camera that does not boot and without its calibration. The burn will finish and the "
    "calibration will be written back; please wait.\n";
const char* const kSectorSignalMessage =
    "\norvexctl: signal received during the burn. The firmware sectors are being erased and programmed: "
    "stopping now would leave a camera that does not boot (the calibration is never erased). The burn "
    "will finish; please wait.\n";

unsigned force_flags(const std::vector<std::string>& names) {
    unsigned f = 0;
    for (const auto& n : names) {
        if (n == "length")
            f |= ORVEX_FACTORY_CHECK_LENGTH;
        else if (n == "version-record")
            f |= ORVEX_FACTORY_CHECK_VERSION_RECORD;
        else if (n == "id-block")
            f |= ORVEX_FACTORY_CHECK_ID_BLOCK;
        else
            throw Failure(EXIT_USAGE, "--force takes length, version-record or id-block, not '" + n + "'");
    }
    return f;
}

std::string range_text(const json& r) { return r.value("from", "?") + "-" + r.value("to", "?"); }

std::string plan_text(const json& doc, const BurnOptions& o) {
    const bool sector = doc.value("method", "") == "sector";
    std::string t = "dry run, nothing is touched:\n";
    if (doc.contains("firmware") && doc["firmware"].is_object()) {
        // The camera's version, then the image's.
        t += "  firmware " + doc["firmware"].value("text", "") + "\n";
    }
    for (const auto& e : doc["erase"])
        t += "  erase  " + range_text(e) + (sector ? " (4 KiB sectors)\n" : " (whole flash)\n");
    t += "  write  " + range_text(doc["write"]) + " (" + o.image + ", " +
         std::to_string(doc.value("image_length", 0L)) + " bytes" + (sector ? ", outside the kept sectors" : "") + ")\n";
    if (o.erase_calibration) {
        t += "  keep   nothing (--erase-calibration)\n";
    } else {
        for (const auto& k : doc["keep"])
            t += "  keep   " + range_text(k) +
                 (k.value("untouched", false)
                      ? std::string(" (never erased or written)\n")
                      : " (" + std::to_string(k.value("sectors_with_data", 0)) + " sector(s) hold data, written back)\n");
    }
    if (doc["backup_dir"].is_string())
        t += "  backup into " + doc["backup_dir"].get<std::string>() + (o.backup.empty() ? "" : " and " + o.backup) +
             "\n";
    t += std::string("  verify ") + (doc.value("verification", "") == "full" ? "every byte" : "8 bytes per KiB") + "\n";
    t += "  time   about " + std::to_string(doc.value("estimated_seconds", 0L)) + " s\n";
    if (!doc.value("calibration_store_recognises_after", true))
        t += "  warning: no valid identification block after the burn\n";
    return t;
}

std::string burn_text(const json& doc, const BurnOptions& o) {
    const bool full = doc.value("verification", "") == "full";
    const std::string verified = full ? "every byte verified" : "sample verified";
    const std::string len = std::to_string(doc.value("image_length", 0L));
    std::string t;
    if (doc.value("method", "") == "sector") {
        t = "burned " + o.image + " (" + len + " bytes, " + std::to_string(doc.value("sectors_erased", 0L)) +
            " sectors erased, " + verified + ")\n" + "kept   calibration and identification sectors, never erased\n";
    } else {
        t = "burned " + o.image + " (" + len + " bytes, chip erase, " + verified + ")\n";
        for (const auto& k : doc.value("kept", json::array())) t += "kept   " + range_text(k) + ", verified\n";
    }
    if (doc["backup"].is_string()) t += "backup  " + doc["backup"].get<std::string>() + "\n";
    return t;
}

}  // namespace

int cmd_burn(const BurnOptions& o) {
    OrvexFactoryBurnOptions bo;
    OrvexFactory_BurnOptionsInit(&bo);
    bo.force = force_flags(o.force);
    check_flash_type(o.flash_type);  // usage errors before the device
    // --erase-calibration alone means the library's burner: only its chip
    // erase gives the calibration up.
    bo.library_method = o.method == "library" || (o.method.empty() && o.erase_calibration);
    bo.sample_verify = o.verify == "sample";
    bo.erase_calibration = o.erase_calibration;
    bo.no_backup = o.no_backup;
    bo.dry_run = o.dry_run;
    bo.backup_file = o.backup.empty() ? nullptr : o.backup.c_str();
    bo.image_name = o.image.c_str();
    bo.allow_older = o.allow_older;
    bo.allow_reinstall = o.allow_reinstall;
    Bytes image = read_file(o.image);

    FactorySession fs;
    check_flash_type(o.flash_type);
    OrvexFactory_SetFlashType(fs.get(), o.flash_type.c_str());
    // Signals are held off from the first erase on: until then nothing
    // was written and stopping costs nothing.
    std::unique_ptr<SignalGuard> guard;
    fs.on_phase([&](const char* phase) {
        if (!guard && std::strcmp(phase, "erase") == 0)
            guard = std::make_unique<SignalGuard>(bo.library_method ? kLibrarySignalMessage : kSectorSignalMessage);
        // The sector-wise burn's read-back is its last phase and only
        // reads: a signal stops it at once. The library method's is
        // followed by the calibration's write-back and stays held off.
        if (guard) guard->read_only(!bo.library_method && std::strcmp(phase, "verify") == 0 ? fs.get() : nullptr);
    });
    OrvexFactoryResult* r = nullptr;
    int status = OrvexFactory_Burn(fs.get(), image.data(), static_cast<LONG>(image.size()), &bo, &r);
    json doc = fs.take(status, r);
    if (guard && guard->received()) note("the burn finished despite the signal; the camera is complete");
    doc.erase("backups_written");
    emit(doc, o.dry_run ? plan_text(doc, o) : burn_text(doc, o));
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
    burn_cmd->add_flag("--allow-older", burn.allow_older,
                       "burn an image whose firmware version is older than the camera's (refused otherwise)");
    burn_cmd->add_flag("--allow-reinstall", burn.allow_reinstall,
                       "burn an image of the firmware version the camera runs (refused otherwise)");
    burn_cmd->add_option("--backup", burn.backup,
                         "also save the calibration backup to this new file (it is always saved in the backup folder)");
    burn_cmd->callback([&action] {
        if (full_check) burn.verify = "full";
        action = [] { return cmd_burn(burn); };
    });
}

// backup and restore: the library's backup document and its restore,
// rendered for people.
#include <CLI/CLI.hpp>

#include "commands.h"
#include "factory_client.h"
#include "orvexctl.h"

namespace orvexctl {

int cmd_backup(const std::string& file) {
    FactorySession f;
    OrvexFactoryResult* r = nullptr;
    // "-" is standard output: the document goes there, the folder keeps its copy.
    const bool to_stdout = file == "-";
    json doc = f.take(OrvexFactory_Backup(f.get(), to_stdout ? nullptr : file.c_str(), &r), r);
    if (to_stdout) write_file("-", doc["document"].dump(2) + "\n");
    doc.erase("document");
    doc.erase("backups_written");
    doc["file"] = file;
    std::string t = "saved to " + file + " (copy: " + doc.value("kept_copy", "") + "):\n";
    for (const auto& range : doc["ranges"])
        t += "  " + range["addr"].get<std::string>() + " " + std::to_string(range["length"].get<long>()) + " bytes\n";
    emit(doc, t);
    return EXIT_OK;
}

int cmd_restore(const std::string& file_arg, bool force, const std::string& flash_type, bool dry_run,
                bool from_archive) {
    if (from_archive == !file_arg.empty())
        throw Failure(EXIT_USAGE, "restore takes a backup FILE or --from-archive, one of the two");
    FactorySession f;
    check_flash_type(flash_type);
    OrvexFactory_SetFlashType(f.get(), flash_type.c_str());
    unsigned flags = (force ? ORVEX_FACTORY_FORCE : 0u) | (dry_run ? ORVEX_FACTORY_DRY_RUN : 0u);
    OrvexFactoryResult* r = nullptr;
    json doc = from_archive ? f.take(OrvexFactory_RestoreFromArchive(f.get(), flags, &r), r)
                            : f.take(OrvexFactory_Restore(f.get(), file_arg.c_str(), flags, &r), r);
    const std::string file = from_archive ? "the archived calibration" : file_arg;
    std::string unit = doc["unit"].is_object()
                           ? doc["unit"].value("tag", "") + " " + std::to_string(doc["unit"].value("number", 0))
                           : std::string("no identification block");
    std::string t;
    for (const auto& range : doc["ranges"]) {
        t += "  " + range["addr"].get<std::string>() + " " + std::to_string(range["length"].get<long>()) + " bytes: ";
        if (dry_run) {
            t += range.value("differs", false) ? "would be rewritten\n" : "already identical\n";
        } else {
            long n = range.value("sectors_rewritten", 0L);
            t += n ? std::to_string(n) + " sector(s) rewritten, verified\n" : std::string("already identical, verified\n");
        }
    }
    if (dry_run) {
        emit(doc, "dry run, nothing is touched: restore " + file + " (unit " + unit + ")\n" + t);
    } else {
        emit(doc, "restored " + file + ":\n" + t);
    }
    return EXIT_OK;
}

}  // namespace orvexctl

namespace {
struct BackupArgs {
    std::string file, flash_type = "auto";
    bool force = false, dry_run = false, from_archive = false;
};
}  // namespace

void orvexctl::add_backup_commands(CLI::App& app, Action& action) {
    static BackupArgs a;
    auto* backup = app.add_subcommand("backup", "backup -o FILE: calibration area and identification blocks");
    backup->add_option("-o,--output", a.file, "a new file (never replaced), or - for standard output")->required();
    backup->callback([&action] { action = [] { return cmd_backup(a.file); }; });
    auto* restore = app.add_subcommand("restore", "restore FILE onto the same camera");
    restore->add_option("file", a.file);
    restore->add_flag("--from-archive", a.from_archive,
                      "the newest good calibration the archive (--archive) holds of this camera's unit");
    restore->add_flag("--force", a.force,
                      "restore a backup of another unit, one whose unit cannot be told the same, or onto a camera "
                      "without identification (never across chips)");
    restore->add_option("--flash-type", a.flash_type, "flash type NAME, or auto (JEDEC id)");
    restore->add_flag("--dry-run", a.dry_run, "check the backup against the camera and change nothing");
    restore->callback([&action] {
        action = [] { return cmd_restore(a.file, a.force, a.flash_type, a.dry_run, a.from_archive); };
    });
}

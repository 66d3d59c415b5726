// The archive: --archive FILE (or ORVEX_ARCHIVE) has the library record
// every burn, backup, restore, verify and calibration write, and
// `orvexctl archive` reads it back, exports and imports it.
#include <CLI/CLI.hpp>

#include <cstdlib>

#include "commands.h"
#include "factory_client.h"
#include "orvexctl.h"

namespace orvexctl {

std::string archive_location() {
    const char* env = std::getenv("ORVEX_ARCHIVE");
    return env ? env : "";
}

std::string line_location() {
    const char* env = std::getenv("ORVEX_LINE_ARCHIVE");
    return env ? env : "";
}

namespace {

json call(int status, OrvexFactoryResult*& r) {
    json doc = json::parse(OrvexFactory_ResultJson(r), nullptr, false);
    std::string message = OrvexFactory_ResultMessage(r);
    OrvexFactory_ResultFree(r);
    r = nullptr;
    if (status != ORVEX_FACTORY_OK) throw Failure(status, message);
    return doc.is_object() ? doc : json::object();
}

std::string where() {
    std::string w = archive_location();
    if (w.empty()) throw Failure(EXIT_USAGE, "name the archive: --archive FILE|URL or ORVEX_ARCHIVE");
    return w;
}

int cmd_status() {
    OrvexFactoryResult* r = nullptr;
    const std::string w = where();
    json d = call(OrvexFactory_ArchiveStatus(w.c_str(), &r), r);
    std::string t = "archive " + d.value("archive", w) + " (schema " + std::to_string(d.value("schema_version", 0)) +
                    ", station " + d.value("station", "") + ")\n";
    for (const char* k : {"operations", "interrupted", "failed", "units", "calibrations", "events", "pending"})
        t += std::string("  ") + k + ": " + std::to_string(d.value(k, 0L)) + "\n";
    if (d.value("line", json()).is_string()) {
        t += "  line: " + d["line"].get<std::string>() + "\n";
        t += "  last forward: " + d.value("last_forward_utc", json("never")).get<std::string>();
        const json err = d.value("last_forward_error", json());
        t += (err.is_string() ? " failed: " + err.get<std::string>() : std::string(" ok")) + "\n";
    }
    emit(d, t);
    return EXIT_OK;
}

int cmd_history(const std::string& unit) {
    OrvexFactoryResult* r = nullptr;
    const std::string w = where();
    json d = call(OrvexFactory_ArchiveHistory(w.c_str(), unit.c_str(), &r), r);
    std::string t = "unit " + unit + ": " + std::to_string(d["operations"].size()) + " operation(s)\n";
    for (const json& o : d["operations"]) {
        t += "  " + o.value("started", std::string("?")) + "  " + o.value("kind", "") + "  " + o.value("state", "");
        if (o.contains("image_name")) t += "  " + o.value("image_name", "");
        if (o.contains("exit_code") && o["exit_code"] != 0) t += "  exit " + o["exit_code"].dump();
        t += "  station " + o.value("station", "") + "\n";
    }
    t += std::to_string(d["calibrations"].size()) + " calibration(s)\n";
    for (const json& c : d["calibrations"])
        t += "  " + c.value("utc", "") + "  sha256 " + c.value("sha256", "") + (c.value("first", false) ? "  (first)" : "") +
             "\n";
    emit(d, t);
    return EXIT_OK;
}

int cmd_export(const std::string& file) {
    OrvexFactoryResult* r = nullptr;
    const std::string w = where();
    json d = call(OrvexFactory_ArchiveExport(w.c_str(), file == "-" ? "/dev/stdout" : file.c_str(), &r), r);
    if (file != "-")
        emit(d, "exported " + std::to_string(d.value("events", 0L)) + " event(s) and " +
                    std::to_string(d.value("calibrations", 0L)) + " calibration(s) to " + file + "\n");
    return EXIT_OK;
}

int cmd_import(const std::vector<std::string>& paths) {
    const std::string w = where();
    json all = json::array();
    std::string t;
    for (const std::string& p : paths) {
        OrvexFactoryResult* r = nullptr;
        json d = call(OrvexFactory_ArchiveImport(w.c_str(), p.c_str(), &r), r);
        t += p + ": " + std::to_string(d.value("added", 0L)) + " added, " +
             std::to_string(d.value("already_there", 0L)) + " already there\n";
        for (const json& s : d.value("skipped", json::array()))
            note("skipped " + s.value("file", "") + ": " + s.value("why", ""));
        all.push_back(d);
    }
    emit(json{{"imports", all}}, t);
    return EXIT_OK;
}

// Exit 5 (a transfer failed) when the line database cannot be reached or
// refuses a batch; what is left stays pending for the next sync.
int cmd_sync() {
    const std::string w = where(), line = line_location();
    OrvexFactoryResult* r = nullptr;
    const int status = OrvexFactory_ArchiveSync(w.c_str(), line.c_str(), &r);
    json d = json::parse(OrvexFactory_ResultJson(r), nullptr, false);
    if (!d.is_object()) d = json::object();
    auto counts = [&] {
        return std::to_string(d.value("sent", 0L)) + " row(s) sent to " + d.value("line", line) + ", " +
               (d["pending"].is_number() ? std::to_string(d.value("pending", 0L)) : std::string("?")) +
               " still pending";
    };
    if (status != ORVEX_FACTORY_OK) {
        if (d.contains("sent")) note(counts());
        call(status, r);  // throws with the library's message and status
    }
    OrvexFactory_ResultFree(r);
    emit(d, counts() + "\n");
    return EXIT_OK;
}

struct ArchiveArgs {
    std::string unit, file;
    std::vector<std::string> paths;
};

}  // namespace

void add_archive_commands(CLI::App& app, Action& action) {
    static ArchiveArgs a;
    // The library reads the archive's name from the environment, so a
    // station command's workers record to the same archive.
    app.add_option_function<std::string>(
        "--archive", [](const std::string& w) { setenv("ORVEX_ARCHIVE", w.c_str(), 1); },
        "record burns, backups, restores, verifies and calibration writes in this archive (an SQLite file, or a "
        "line database's postgresql:// URL to write there directly; default $ORVEX_ARCHIVE)");
    app.add_option_function<std::string>(
        "--line", [](const std::string& u) { setenv("ORVEX_LINE_ARCHIVE", u.c_str(), 1); },
        "forward the archive file's rows to this line database (postgresql://...) after each operation and on "
        "`archive sync` (default $ORVEX_LINE_ARCHIVE)");
    auto* ar = app.add_subcommand("archive", "the line archive: status, sync, history UNIT, export FILE, import PATH...");
    ar->require_subcommand(1);
    ar->add_subcommand("status", "counts, interrupted operations and events not yet forwarded")
        ->callback([&action] { action = [] { return cmd_status(); }; });
    ar->add_subcommand("sync", "send the rows the line database (--line) lacks; exit 5 when it cannot be reached")
        ->callback([&action] { action = [] { return cmd_sync(); }; });
    auto* h = ar->add_subcommand("history", "every operation and calibration of unit UNIT (e.g. \"OG 123\")");
    h->add_option("unit", a.unit)->required();
    h->callback([&action] { action = [] { return cmd_history(a.unit); }; });
    auto* e = ar->add_subcommand("export", "every row as JSON lines to FILE (- for standard output)");
    e->add_option("file", a.file)->required();
    e->callback([&action] { action = [] { return cmd_export(a.file); }; });
    auto* i = ar->add_subcommand("import", "JSON lines of an export, backup files or folders, or --log files");
    i->add_option("path", a.paths)->required();
    i->callback([&action] { action = [] { return cmd_import(a.paths); }; });
}

}  // namespace orvexctl

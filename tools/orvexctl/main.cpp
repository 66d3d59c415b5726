// orvexctl: the global options, the command files' subcommands, and running
// the chosen one.
#include <CLI/CLI.hpp>

#include <functional>
#include <iostream>

#include "commands.h"
#include "orvexctl.h"

using namespace orvexctl;

namespace {

// Runs a command, turning a Failure into its exit code and message.
int run(const std::function<int()>& fn) {
    int code;
    std::string error;
    try {
        code = fn();
    } catch (const Failure& f) {
        code = f.code;
        error = f.what();
    } catch (const std::bad_alloc&) {
        code = EXIT_FILE;
        error = "out of memory";
    } catch (const std::exception& e) {
        code = EXIT_FILE;
        error = e.what();
    }
    release_camera();
    std::string lib = captured_library_output();
    if (!lib.empty() && (g_opt.verbosity > 0 || (code != EXIT_OK && g_opt.verbosity >= 0))) {
        std::string line;
        for (char c : lib) {
            if (c == '\n') {
                std::fprintf(stderr, "orvexctl: library: %s\n", line.c_str());
                line.clear();
            } else {
                line += c;
            }
        }
        if (!line.empty()) std::fprintf(stderr, "orvexctl: library: %s\n", line.c_str());
    }
    if (!error.empty()) {
        std::fprintf(stderr, "orvexctl: %s\n", error.c_str());
        if (g_opt.json) {
            json doc = {{"ok", false}, {"exit_code", code}, {"error", error}};
            std::fprintf(out(), "%s\n", doc.dump(2, ' ', false, json::error_handler_t::replace).c_str());
            std::fflush(out());
        }
    }
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"orvexctl: factory and calibration tool for Orvex cameras"};
    app.footer(std::string("\nNumbers: flash addresses and lengths take 0x for hex, otherwise decimal;\n"
                           "xu, reg and sensor arguments and byte lists are hex.\n\n") +
               exit_code_table());
    app.require_subcommand(1);
    app.fallthrough();
    app.add_option("-d,--device", g_opt.device, "video index N of /dev/videoN (default 0)");
    app.add_flag("--json", g_opt.json, "print one JSON document on standard output");
    bool quiet = false;
    int verbose = 0;
    app.add_flag("-q,--quiet", quiet, "print only results and errors");
    app.add_flag("-v,--verbose", verbose, "also print the library's own diagnostics");
    app.add_option("--wait", g_opt.wait_s,
                   "seconds to wait for a camera another process is using (default 30), then exit 3")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--backup-dir", g_backup_dir,
                   "folder of calibration backups (default $XDG_STATE_HOME/orvex, else ~/.local/state/orvex)");
    app.add_option("--progress", g_opt.progress, "progress display: auto, bar, json or none")
        ->check(CLI::IsMember({"auto", "bar", "json", "none"}));

    Action action;
    add_list_info_commands(app, action);
    add_raw_commands(app, action);
    add_flash_commands(app, action);
    add_burn_command(app, action);
    add_calib_commands(app, action);
    add_backup_commands(app, action);
    add_doctor_command(app, action);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? EXIT_OK : EXIT_USAGE;
    }
    g_opt.verbosity = quiet ? -1 : verbose;
    for (int i = 1; i < argc; ++i) g_opt.command += std::string(" ") + argv[i];
    start_capturing_library_output();
    if (!action) return EXIT_USAGE;
    return run(action);
}

// orvexctl: the global options, the command files' subcommands, and running
// the chosen one.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <iostream>

#include "command_line.h"
#include "commands.h"
#include "orvexctl.h"

using namespace orvexctl;

namespace {

// Runs a command, turning a Failure into its exit code and message.
int run(const std::function<int()>& fn, const Selector& sel, bool needs_camera) {
    int code;
    std::string error;
    bool name_cameras = false;
    try {
        if (needs_camera) g_opt.device = resolve_device(sel);
        code = fn();
    } catch (const Failure& f) {
        code = f.code;
        error = f.what();
        name_cameras = f.name_cameras;
        if (code == EXIT_TRANSFER) {
            // The reason belongs to the first sentence, never after a
            // recovery block below it (the library's messages name it there
            // already).
            std::string why = driver_reason(f.err);
            if (!why.empty() && error.find(why) == std::string::npos)
                error.insert(std::min(error.find('\n'), error.size()), ": " + why);
        }
    } catch (const std::bad_alloc&) {
        code = EXIT_FILE;
        error = "out of memory";
    } catch (const std::exception& e) {
        code = EXIT_FILE;
        error = e.what();
    }
    release_camera();
    if (name_cameras) {
        try {
            error += "; " + where_ours_answer(g_opt.device);
        } catch (const std::exception&) {
            // Naming the others is a courtesy; the failure stands on its own.
        }
    }
    // The library's own console lines are for whoever asks with -v: the
    // tool's message already says what failed, and why where errno tells.
    std::string lib = captured_library_output();
    if (!lib.empty() && g_opt.verbosity > 0) {
        std::string line;
        for (char c : lib) {
            if (c == '\n') {
                message_line("info", "library: " + line);
                line.clear();
            } else {
                line += c;
            }
        }
        if (!line.empty()) message_line("info", "library: " + line);
    }
    log_command(code, error);
    if (!error.empty()) {
        message_line("error", error, code);
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
    app.set_version_flag("--version", std::string("orvexctl ") + ORVEX_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    Selector sel;
    CLI::Option* camera_options[] = {
        app.add_option("-d,--device", sel.device,
                       "camera: video index N, /dev/videoN, or a /dev/v4l/by-id or by-path link (default 0)"),
        app.add_option("--serial", sel.serial, "camera with this USB serial number"),
        app.add_option("--usb-path", sel.usb_path, "camera at this USB bus path, e.g. 1-1.2")};
    app.add_flag("--json", g_opt.json, "print one JSON document on standard output");
    bool quiet = false;
    int verbose = 0;
    app.add_flag("-q,--quiet", quiet, "print only results and errors");
    app.add_flag("-v,--verbose", verbose, "also print the library's own diagnostics");
    app.add_option("--wait", g_opt.wait_s,
                   "seconds to wait for a camera another process is using (default 30), then exit 3")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--backup-dir", g_opt.backup_dir,
                   "folder of calibration backups (default $XDG_STATE_HOME/orvex, else ~/.local/state/orvex)");
    app.add_option("--progress", g_opt.progress, "progress display: auto, bar, json or none")
        ->check(CLI::IsMember({"auto", "bar", "json", "none"}));
    app.add_option("--log", g_opt.log_file,
                   "append one JSON line per command (and per camera of a station command) to FILE");

    Action action;
    add_list_info_commands(app, action);
    add_raw_commands(app, action);
    add_flash_commands(app, action);
    add_burn_command(app, action);
    add_calib_commands(app, action);
    add_backup_commands(app, action);
    add_doctor_command(app, action);
    add_station_commands(app, action);
    add_archive_commands(app, action);
    // Listed in the help; the command line's walk answers it before parsing.
    app.add_subcommand("help", "help [COMMAND [SUBCOMMAND]]: that command's help")->allow_extras();
    describe_positionals(app);
    // Set last: a subcommand created earlier would inherit the footer, and
    // the exit-code table belongs in the top-level help only.
    app.footer(std::string("\nChoosing the camera: -d N, -d /dev/videoN, -d /dev/v4l/by-id/... or\n"
                           "-d /dev/v4l/by-path/...; --serial S or --usb-path P (see 'orvexctl list').\n\n"
                           "Numbers: every number argument (addresses, lengths, counts, units,\n"
                           "selectors, slave ids) is decimal, or hex with 0x (0x30000, 0x3F); a bare\n"
                           "flash address of two or more digits is noted with its hex value.\n"
                           "Flash commands also take a region: flash read calibration -o cal.bin.\n"
                           "Byte lists are hex without 0x: \"12 34\", \"1234\", \"12,34\".\n\n") +
               exit_code_table());

    std::vector<std::string> args(argv + 1, argv + argc);
    int early = prepare_command_line(app, args);
    if (early >= 0) return early;
    bool json_asked = std::find(args.begin(), args.end(), "--json") != args.end();
    try {
        // CLI11 takes the arguments last first.
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::CallForVersion&) {
        if (json_asked)
            std::printf("%s\n", json({{"program", "orvexctl"}, {"version", ORVEX_VERSION}}).dump(2).c_str());
        else
            std::printf("orvexctl %s\n", ORVEX_VERSION);
        return EXIT_OK;
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? EXIT_OK : EXIT_USAGE;
    }
    for (CLI::Option* o : camera_options) {
        // An empty name chooses no camera; it must not fall back to camera 0.
        if (o->count() > 0 && o->as<std::string>().empty()) {
            std::fprintf(stderr, "orvexctl: %s names no camera (an empty value was given)\n",
                         o->get_name().c_str());
            return EXIT_USAGE;
        }
    }
    g_opt.verbosity = quiet ? -1 : verbose;
    for (int i = 1; i < argc; ++i) g_opt.command += std::string(" ") + argv[i];
    for (int i = 1; i < argc; ++i) g_opt.args.push_back(argv[i]);
    for (const CLI::App* sub = &app; !sub->get_subcommands().empty();) {
        sub = sub->get_subcommands().front();
        g_opt.subcommand += (g_opt.subcommand.empty() ? "" : " ") + sub->get_name();
    }
    start_capturing_library_output();
    if (!action) return EXIT_USAGE;
    // list and the station commands choose their cameras themselves.
    const std::string top = g_opt.subcommand.substr(0, g_opt.subcommand.find(' '));
    bool needs_camera = top != "list" && top != "station" && top != "archive";
    return run(action, sel, needs_camera);
}

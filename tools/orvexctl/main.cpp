// orvexctl: the argument tree and the dispatch to the commands.
#include <CLI/CLI.hpp>

#include <functional>
#include <iostream>

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

    std::function<int()> action;

    app.add_subcommand("list", "list /dev/video* nodes and which are Orvex cameras")
        ->callback([&] { action = cmd_list; });
    app.add_subcommand("info", "identify the camera: chip, ROM, firmware, flash")
        ->callback([&] { action = cmd_info; });

    // Raw access.
    std::string a1, a2, a3;
    std::vector<std::string> bytes;
    auto* xu = app.add_subcommand("xu", "raw extension-unit query")->require_subcommand(1);
    auto* xu_get = xu->add_subcommand("get", "GET_CUR: xu get UNIT SELECTOR SIZE");
    xu_get->add_option("unit", a1)->required();
    xu_get->add_option("selector", a2)->required();
    xu_get->add_option("size", a3)->required();
    xu_get->callback([&] {
        action = [&] {
            return cmd_xu_get(static_cast<int>(parse_hex(a1, "unit")), static_cast<int>(parse_hex(a2, "selector")),
                              static_cast<int>(parse_hex(a3, "size")));
        };
    });
    auto* xu_set = xu->add_subcommand("set", "SET_CUR: xu set UNIT SELECTOR BYTES...");
    xu_set->add_option("unit", a1)->required();
    xu_set->add_option("selector", a2)->required();
    xu_set->add_option("bytes", bytes)->required();
    xu_set->callback([&] {
        action = [&] {
            return cmd_xu_set(static_cast<int>(parse_hex(a1, "unit")), static_cast<int>(parse_hex(a2, "selector")),
                              parse_hex_bytes(bytes));
        };
    });

    auto* reg = app.add_subcommand("reg", "ASIC registers")->require_subcommand(1);
    auto* reg_read = reg->add_subcommand("read", "reg read ADDR [COUNT]");
    reg_read->add_option("addr", a1)->required();
    reg_read->add_option("count", a2);
    reg_read->callback([&] {
        action = [&] { return cmd_reg_read(parse_hex(a1, "address"), a2.empty() ? 1 : parse_hex(a2, "count")); };
    });
    auto* reg_write = reg->add_subcommand("write", "reg write ADDR BYTES...");
    reg_write->add_option("addr", a1)->required();
    reg_write->add_option("bytes", bytes)->required();
    reg_write->callback([&] {
        action = [&] { return cmd_reg_write(parse_hex(a1, "address"), parse_hex_bytes(bytes)); };
    });

    auto* sensor = app.add_subcommand("sensor", "image-sensor registers over I2C")->require_subcommand(1);
    auto* sensor_read = sensor->add_subcommand("read", "sensor read SLAVE ADDR [COUNT]");
    sensor_read->add_option("slave", a1)->required();
    sensor_read->add_option("addr", a2)->required();
    sensor_read->add_option("count", a3);
    sensor_read->callback([&] {
        action = [&] {
            return cmd_sensor_read(parse_hex(a1, "slave id"), parse_hex(a2, "address"),
                                   a3.empty() ? 1 : parse_hex(a3, "count"));
        };
    });
    auto* sensor_write = sensor->add_subcommand("write", "sensor write SLAVE ADDR BYTES...");
    sensor_write->add_option("slave", a1)->required();
    sensor_write->add_option("addr", a2)->required();
    sensor_write->add_option("bytes", bytes)->required();
    sensor_write->callback([&] {
        action = [&] {
            return cmd_sensor_write(parse_hex(a1, "slave id"), parse_hex(a2, "address"), parse_hex_bytes(bytes));
        };
    });

    // Flash.
    std::string file, flash_type = "auto";
    bool no_verify = false;
    auto* flash = app.add_subcommand("flash", "serial flash")->require_subcommand(1);
    auto* flash_read = flash->add_subcommand("read", "flash read ADDR LEN -o FILE");
    flash_read->add_option("addr", a1)->required();
    flash_read->add_option("len", a2)->required();
    flash_read->add_option("-o,--output", file, "output file")->required();
    flash_read->callback([&] {
        action = [&] { return cmd_flash_read(parse_number(a1, "address"), parse_number(a2, "length"), file); };
    });
    auto* flash_dump = flash->add_subcommand("dump", "flash dump -o FILE (the whole 256 KiB)");
    flash_dump->add_option("-o,--output", file, "output file")->required();
    flash_dump->callback([&] { action = [&] { return cmd_flash_read(0, kFlashSize, file); }; });
    FlashWriteOptions fw_opt;
    auto writing_options = [&](CLI::App* c) {
        c->add_option("--flash-type", fw_opt.flash_type, "flash type NAME, or auto (JEDEC id)");
        c->add_flag("--include-calibration", fw_opt.include_calibration,
                    "allow sectors holding calibration records or an identification block");
        c->add_flag("--dry-run", fw_opt.dry_run, "say what would change and change nothing");
    };
    auto* flash_write = flash->add_subcommand("write", "flash write ADDR FILE (sector rewrite, then verify)");
    flash_write->add_option("addr", a1)->required();
    flash_write->add_option("file", file)->required();
    writing_options(flash_write);
    flash_write->add_flag("--no-verify", no_verify, "skip the read-back verification");
    flash_write->callback([&] {
        fw_opt.verify = !no_verify;
        action = [&] { return cmd_flash_write(parse_number(a1, "address"), file, fw_opt); };
    });
    auto* flash_erase = flash->add_subcommand("erase", "flash erase ADDR LEN (whole 4 KiB sectors)");
    flash_erase->add_option("addr", a1)->required();
    flash_erase->add_option("len", a2)->required();
    writing_options(flash_erase);
    flash_erase->callback([&] {
        action = [&] { return cmd_flash_erase(parse_number(a1, "address"), parse_number(a2, "length"), fw_opt); };
    });
    auto* flash_verify = flash->add_subcommand("verify", "flash verify FILE [--addr ADDR]: compare, change nothing");
    flash_verify->add_option("file", file)->required();
    flash_verify->add_option("--addr", a1, "flash address of the file's first byte (default 0)");
    flash_verify->callback([&] {
        action = [&] { return cmd_flash_verify(a1.empty() ? 0 : parse_number(a1, "address"), file); };
    });

    // Burn.
    BurnOptions burn;
    auto* burn_cmd = app.add_subcommand("burn", "burn a firmware image, keeping the calibration");
    burn_cmd->add_option("image", burn.image, "firmware image file")->required();
    burn_cmd->add_option("--verify", burn.verify,
                         "full (default): read every byte back; sample: only the library's check of 8 bytes "
                         "per KiB, which misses any difference elsewhere, e.g. a flash that kept its old "
                         "firmware because its protection never lifted")
        ->check(CLI::IsMember({"full", "sample"}));
    bool full_check = false;
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
    burn_cmd->callback([&] {
        if (full_check) burn.verify = "full";
        action = [&] { return cmd_burn(burn); };
    });

    // Calibration.
    std::vector<std::string> values;
    auto* calib = app.add_subcommand("calib", "calibration records")->require_subcommand(1);
    calib->add_subcommand("show", "decode every record")->callback([&] { action = cmd_calib_show; });
    auto* cexp = calib->add_subcommand("export", "calib export FILE.json");
    cexp->add_option("file", file)->required();
    cexp->callback([&] { action = [&] { return cmd_calib_export(file); }; });
    auto* cimp = calib->add_subcommand("import", "calib import FILE.json");
    cimp->add_option("file", file)->required();
    cimp->callback([&] { action = [&] { return cmd_calib_import(file); }; });
    auto* cst = calib->add_subcommand("set-sensor-type", "calib set-sensor-type TEXT (at most 127 characters)");
    cst->add_option("text", a1)->required();
    cst->callback([&] { action = [&] { return cmd_calib_set_sensor_type(a1); }; });
    auto* csp = calib->add_subcommand("set-params", "calib set-params VALUE... (at most 50 floats)");
    csp->add_option("values", values)->required();
    csp->callback([&] { action = [&] { return cmd_calib_set_params(values); }; });
    auto* cplot = calib->add_subcommand("plot", "calib plot -o FILE.svg: base grid and marker grid");
    cplot->add_option("-o,--output", file)->required();
    cplot->callback([&] { action = [&] { return cmd_calib_plot(file); }; });

    // Backup and restore.
    bool force = false;
    auto* backup = app.add_subcommand("backup", "backup -o FILE: calibration area and identification blocks");
    backup->add_option("-o,--output", file)->required();
    backup->callback([&] { action = [&] { return cmd_backup(file); }; });
    auto* restore = app.add_subcommand("restore", "restore FILE onto the same camera");
    restore->add_option("file", file)->required();
    restore->add_flag("--force", force, "restore a backup of another unit (never across chips)");
    restore->add_option("--flash-type", flash_type, "flash type NAME, or auto (JEDEC id)");
    bool restore_dry = false;
    restore->add_flag("--dry-run", restore_dry, "check the backup against the camera and change nothing");
    restore->callback([&] { action = [&] { return cmd_restore(file, force, flash_type, restore_dry); }; });

    app.add_subcommand("doctor", "why a camera cannot be used, and the udev rule to install")
        ->callback([&] { action = cmd_doctor; });

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

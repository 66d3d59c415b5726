// orvexctl: each command file adds its own subcommands and options to the
// argument tree. A subcommand's callback stores the work to run in `action`;
// main runs it after the whole command line has parsed.
#ifndef ORVEXCTL_COMMANDS_H
#define ORVEXCTL_COMMANDS_H

#include <functional>
#include <string>

namespace CLI {
class App;
}

namespace orvexctl {

using Action = std::function<int()>;

void add_list_info_commands(CLI::App& app, Action& action);  // list, info
void add_raw_commands(CLI::App& app, Action& action);        // xu, reg, sensor
void add_flash_commands(CLI::App& app, Action& action);      // flash read/dump/write/erase/verify
void add_burn_command(CLI::App& app, Action& action);        // burn
void add_calib_commands(CLI::App& app, Action& action);      // calib ...
void add_backup_commands(CLI::App& app, Action& action);     // backup, restore
void add_doctor_command(CLI::App& app, Action& action);      // doctor
void add_station_commands(CLI::App& app, Action& action);    // station burn/verify/backup
void add_archive_commands(CLI::App& app, Action& action);    // --archive, archive ...
// The archive operations are recorded in (--archive or ORVEX_ARCHIVE), "" for none.
std::string archive_location();
std::string line_location();  // --line / ORVEX_LINE_ARCHIVE
// Fills in the shared wording of positional arguments left undescribed.
void describe_positionals(CLI::App& app);

}  // namespace orvexctl

#endif

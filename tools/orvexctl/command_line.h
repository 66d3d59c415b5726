// The command line's words walked down the command tree before CLI11
// parses them (command_line.cpp).
#ifndef ORVEXCTL_COMMAND_LINE_H
#define ORVEXCTL_COMMAND_LINE_H

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace orvexctl {

// Names an unknown command word (its exit code returned), or leaves ARGS
// ready for CLI11 (-1), `help CMD` turned into `CMD --help`.
int prepare_command_line(CLI::App& app, std::vector<std::string>& args);
// The command under APP nearest to WORD, "" when none is near.
std::string nearest_command(CLI::App* app, const std::string& word, bool with_help);
std::string unknown_command_message(CLI::App* at, const std::string& word);

}  // namespace orvexctl

#endif

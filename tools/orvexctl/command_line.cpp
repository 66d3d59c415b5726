// The command line before CLI11 parses it: the words are walked down the
// command tree the way CLI11 will walk them, so that
//  - a word that names no command is named, with the nearest command
//    (CLI11 alone says only that a subcommand is required);
//  - `help CMD [SUB]` becomes `CMD [SUB] --help`;
//  - a value that starts with '-' ("-inf", "-2.5e3") reaches its command as
//    a value: CLI11 takes "-inf" for the short option -i.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>

#include "command_line.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {

// A word CLI11 would take for an option but that reads as a number.
bool negative_number(const std::string& s) {
    if (s.size() < 2 || s[0] != '-' || s[1] == '-') return false;
    char* end = nullptr;
    std::strtod(s.c_str(), &end);
    return end && *end == '\0';
}

// The option NAME ("--device", "-d") of APP or of a command it falls
// through to, as CLI11 looks it up.
const CLI::Option* find_option(const CLI::App* app, const std::string& name) {
    for (const CLI::App* a = app; a; a = a->get_parent()) {
        if (const CLI::Option* o = a->get_option_no_throw(name)) return o;
        if (!a->get_fallthrough()) break;
    }
    return nullptr;
}

std::vector<CLI::App*> subcommands(CLI::App* app) {
    return app->get_subcommands([](CLI::App* s) { return !s->get_name().empty(); });
}

bool takes_positionals(const CLI::App* app) {
    if (app->get_allow_extras()) return true;
    for (const CLI::Option* o : app->get_options())
        if (o->get_positional()) return true;
    return false;
}

// Edits between two words, a swap of neighbours counting one ("brun" is
// one from "burn").
size_t distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

std::string path_of(const CLI::App* app) {
    std::string p;
    for (const CLI::App* a = app; a && a->get_parent(); a = a->get_parent())
        p = a->get_name() + (p.empty() ? "" : " ") + p;
    return p;
}

}  // namespace

std::string nearest_command(CLI::App* app, const std::string& word, bool with_help) {
    std::vector<std::string> names;
    for (CLI::App* s : subcommands(app)) names.push_back(s->get_name());
    if (with_help && std::find(names.begin(), names.end(), "help") == names.end()) names.push_back("help");
    std::string best;
    size_t best_d = std::string::npos;
    for (const std::string& n : names) {
        // A prefix of exactly one command is that command.
        size_t d = n.compare(0, word.size(), word) == 0 ? 1 : distance(word, n);
        if (d < best_d) best_d = d, best = n;
    }
    // Beyond a third of the word's letters (at least two), the nearest is no
    // longer a likely typo of it.
    size_t limit = std::max<size_t>(2, word.size() / 3);
    return best_d <= limit ? best : "";
}

std::string unknown_command_message(CLI::App* at, const std::string& word) {
    std::string where = path_of(at);
    std::string msg = "'" + word + "' is not " + (where.empty() ? "a command" : "an 'orvexctl " + where + "' command");
    std::string near = nearest_command(at, word, where.empty());
    if (!near.empty()) return msg + "; did you mean '" + near + "'?";
    return msg + "; see 'orvexctl " + (where.empty() ? "" : where + " ") + "--help'";
}

int prepare_command_line(CLI::App& app, std::vector<std::string>& args) {
    CLI::App* cur = &app;
    size_t leaf_start = 0;  // where the words of the command `cur` begin
    std::vector<size_t> positionals;
    bool only_positionals = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (only_positionals) {
            positionals.push_back(i);
            continue;
        }
        if (a == "--") {
            only_positionals = true;
            continue;
        }
        if (a.size() > 1 && a[0] == '-' && !(negative_number(a) && !find_option(cur, a.substr(0, 2)))) {
            bool is_long = a.compare(0, 2, "--") == 0;
            std::string name = is_long ? a.substr(0, a.find('=')) : a.substr(0, 2);
            const CLI::Option* o = find_option(cur, name);
            if (is_long && o && a.size() == name.size() + 1) {
                // "--device=" gives an empty value, as "--device ''" does;
                // CLI11 would take the next word for it.
                args[i] = name;
                args.insert(args.begin() + static_cast<long>(i) + 1, "");
                ++i;
                continue;
            }
            bool attached = is_long ? a.find('=') != std::string::npos : a.size() > 2;
            if (o && o->get_expected_min() > 0 && !attached && i + 1 < args.size()) {
                // A value that starts with '-' would be taken for an option.
                if (args[i + 1].size() > 1 && args[i + 1][0] == '-') {
                    args[i] += (is_long ? "=" : "") + args[i + 1];
                    args.erase(args.begin() + static_cast<long>(i) + 1);
                } else {
                    ++i;
                }
            }
            continue;
        }
        std::vector<CLI::App*> subs = subcommands(cur);
        if (!subs.empty() && positionals.empty()) {
            auto it = std::find_if(subs.begin(), subs.end(), [&](CLI::App* s) { return s->check_name(a); });
            if (it != subs.end() && (*it)->get_name() != "help") {
                cur = *it;
                leaf_start = i + 1;
                continue;
            }
            if (cur == &app && a == "help") {
                // `help CMD SUB` is `CMD SUB --help`: the same text, and an
                // unknown CMD is named like any other unknown word.
                std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
                rest.erase(std::remove_if(rest.begin(), rest.end(),
                                          [](const std::string& w) { return !w.empty() && w[0] == '-'; }),
                           rest.end());
                CLI::App* at = &app;
                std::vector<std::string> words;
                for (const std::string& w : rest) {
                    std::vector<CLI::App*> level = subcommands(at);
                    auto s = std::find_if(level.begin(), level.end(), [&](CLI::App* c) { return c->check_name(w); });
                    if (s == level.end()) {
                        if (level.empty()) break;
                        std::fprintf(stderr, "orvexctl: %s\n", unknown_command_message(at, w).c_str());
                        return EXIT_USAGE;
                    }
                    at = *s;
                    words.push_back(w);
                }
                args.resize(i);
                args.insert(args.end(), words.begin(), words.end());
                args.push_back("--help");
                return -1;
            }
            if (!takes_positionals(cur)) {
                std::fprintf(stderr, "orvexctl: %s\n", unknown_command_message(cur, a).c_str());
                return EXIT_USAGE;
            }
        }
        positionals.push_back(i);
    }
    // The leaf command's values go after "--" once one of them starts with
    // '-': CLI11 then takes each for a value, in order, and the command's
    // options keep their meaning wherever they were given.
    bool dashed = std::any_of(positionals.begin(), positionals.end(),
                              [&](size_t i) { return args[i].size() > 1 && args[i][0] == '-'; });
    if (dashed && cur != &app) {
        std::vector<std::string> head(args.begin(), args.begin() + static_cast<long>(leaf_start)), values;
        for (size_t i = leaf_start; i < args.size(); ++i) {
            bool positional = std::find(positionals.begin(), positionals.end(), i) != positionals.end();
            if (positional)
                values.push_back(args[i]);
            else if (args[i] != "--")
                head.push_back(args[i]);
        }
        head.push_back("--");
        head.insert(head.end(), values.begin(), values.end());
        args = head;
    }
    return -1;
}

}  // namespace orvexctl

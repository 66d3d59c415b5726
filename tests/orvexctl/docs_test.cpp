// The manual page and the bash completion are written by hand; these tests
// walk the program's own command tree (its --help at every level) and fail
// on any command or option either one lacks, so that neither can drift.
#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <set>

#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

std::string capture(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

struct Command {
    std::vector<std::string> options;  // every name, short and long, but -h/--help
    std::vector<std::string> subcommands;
};

// The command tree as the program describes it: "" is the top level,
// "flash write" a subcommand.
std::map<std::string, Command> command_tree() {
    std::map<std::string, Command> tree;
    std::vector<std::string> todo = {""};
    while (!todo.empty()) {
        std::string path = todo.back();
        todo.pop_back();
        std::string help = capture(std::string(ORVEX_RUN_PREFIX) + "'" + ORVEXCTL_BIN + "' " + path + " --help 2>&1");
        Command c;
        std::string section;
        std::istringstream lines(help);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line[0] != ' ' && line.back() == ':') {
                section = line.substr(0, line.size() - 1);
                continue;
            }
            std::smatch m;
            if (!std::regex_search(line, m, std::regex("^  (\\S+)"))) continue;
            if (section == "Options") {
                std::stringstream names(m[1].str());
                for (std::string n; std::getline(names, n, ',');)
                    if (n[0] == '-' && n != "-h" && n != "--help") c.options.push_back(n);
            } else if (section == "Subcommands") {
                c.subcommands.push_back(m[1].str());
            }
        }
        for (const std::string& s : c.subcommands) {
            if (path.empty() && s == "help")
                tree["help"] = {};  // its --help is the help of the tool
            else
                todo.push_back(path.empty() ? s : path + " " + s);
        }
        tree[path] = c;
    }
    return tree;
}

std::string unescaped(std::string s) {
    for (size_t at; (at = s.find("\\-")) != std::string::npos;) s.replace(at, 2, "-");
    return s;
}

TEST(Docs, TheCommandTreeIsWhatTheseTestsWalk) {
    auto tree = command_tree();
    // The walk itself must see the tree, or the checks below pass on nothing.
    ASSERT_TRUE(tree.count("flash write")) << tree.size();
    EXPECT_GE(tree.size(), 30u);
    const auto& w = tree["flash write"].options;
    EXPECT_NE(std::find(w.begin(), w.end(), "--no-verify"), w.end());
    const auto& top = tree[""].options;
    EXPECT_NE(std::find(top.begin(), top.end(), "-d"), top.end());
    EXPECT_NE(std::find(top.begin(), top.end(), "--device"), top.end());
}

TEST(Docs, TheManualPageDescribesEveryCommandAndOption) {
    const std::string page = unescaped(slurp(ORVEXCTL_SHARE_DIR "/orvexctl.1"));
    ASSERT_FALSE(page.empty());
    // Each command's own subsection, from its .SS line to the next heading.
    std::map<std::string, std::string> sections;
    std::regex ss("\\n\\.SS \"([^\"]+)\"\\n");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), ss); it != std::sregex_iterator(); ++it) {
        size_t from = static_cast<size_t>(it->position() + it->length());
        size_t to = std::min(page.find("\n.SS ", from), page.find("\n.SH ", from));
        sections[(*it)[1].str()] = page.substr(from, to - from);
    }
    const std::string globals = page.substr(0, page.find("\n.SH COMMANDS"));
    auto tree = command_tree();
    for (const auto& [path, c] : tree) {
        SCOPED_TRACE(path.empty() ? "orvexctl" : path);
        if (path.empty()) {
            for (const std::string& o : c.options) EXPECT_NE(globals.find(o), std::string::npos) << o;
            continue;
        }
        if (!c.subcommands.empty()) continue;  // a group: its subcommands have the sections
        ASSERT_TRUE(sections.count(path)) << "no .SS \"" << path << "\" in the manual page";
        for (const std::string& o : c.options) {
            // A whole word: --verify is not found inside --no-verify.
            std::regex word("(^|[^-a-z])" + std::regex_replace(o, std::regex("-"), "\\-") + "($|[^-a-z])");
            EXPECT_TRUE(std::regex_search(sections[path], word)) << o << " not in the section of " << path;
        }
    }
    // And nothing documented that the program no longer has.
    for (const auto& s : sections) EXPECT_TRUE(tree.count(s.first)) << ".SS \"" << s.first << "\" names no command";
}

// Runs the completion function for the words typed so far (the last one
// is the word being completed) and returns its candidates.
std::set<std::string> complete(const std::string& typed) {
    std::string script =
        // bash-completion's helpers, as far as this completion uses them.
        "_init_completion() { words=(\"${COMP_WORDS[@]}\"); cword=$COMP_CWORD; cur=${words[cword]}; "
        "prev=${words[cword-1]}; }\n"
        "_filedir() { :; }\n"
        "source '" ORVEXCTL_SHARE_DIR "/orvexctl.bash-completion'\n"
        "COMP_WORDS=(orvexctl " + typed + ")\n"
        "[[ '" + typed + "' == *' ' || -z '" + typed + "' ]] && COMP_WORDS+=('')\n"
        "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
        "_orvexctl\n"
        "printf '%s\\n' \"${COMPREPLY[@]}\"\n";
    std::string file = "/tmp/orvexctl-completion-" + std::to_string(getpid()) + ".sh";
    spill(file, script);
    std::string out = capture("bash '" + file + "' 2>&1");
    std::remove(file.c_str());
    std::set<std::string> words;
    std::istringstream lines(out);
    for (std::string w; std::getline(lines, w);) words.insert(w);
    return words;
}

TEST(Docs, TheBashCompletionOffersEveryCommandAndOption) {
    if (capture("command -v bash").empty()) GTEST_SKIP() << "no bash";
    auto tree = command_tree();
    for (const auto& [path, c] : tree) {
        SCOPED_TRACE(path.empty() ? "orvexctl" : path);
        std::set<std::string> subs = complete(path.empty() ? "" : path + " ");
        for (const std::string& s : c.subcommands) EXPECT_TRUE(subs.count(s)) << s;
        std::set<std::string> opts = complete(path.empty() ? "-" : path + " -");
        for (const std::string& o : c.options) EXPECT_TRUE(opts.count(o)) << o;
    }
    // Values the program knows by name are offered too.
    EXPECT_TRUE(complete("flash read ").count("identification-2"));
    EXPECT_TRUE(complete("burn --method ").count("library"));
    EXPECT_TRUE(complete("help ").count("station"));
}

}  // namespace

namespace {

// One command of a README example and what the README shows it printing.
struct Example {
    std::string command;
    int exit_code = 0;                  // "# exits N" at its end, else 0
    std::vector<std::string> expected;  // lines; "..." stands for any text
};

// The fenced blocks the README marks as run by this test, in order.
std::vector<Example> readme_examples(const std::string& readme) {
    std::vector<Example> out;
    std::istringstream lines(readme);
    bool marked = false, inside = false;
    for (std::string line; std::getline(lines, line);) {
        if (!inside && line.find("runs as written in the tests") != std::string::npos) {
            marked = true;
            continue;
        }
        if (line.rfind("```", 0) == 0) {
            inside = !inside && marked;
            if (!inside) marked = false;
            continue;
        }
        if (!inside) continue;
        if (line.rfind("$ ", 0) == 0) {
            Example e;
            e.command = line.substr(2);
            std::smatch m;
            if (std::regex_search(e.command, m, std::regex("#\\s*exits (\\d+)")))
                e.exit_code = std::stoi(m[1].str());
            out.push_back(e);
        } else if (!out.empty()) {
            out.back().expected.push_back(line);
        }
    }
    return out;
}

// Whether OUTPUT holds the EXPECTED lines in order ("..." alone skips any
// lines, within a line any text).
bool shows(const std::string& output, const std::vector<std::string>& expected) {
    std::vector<std::string> got;
    std::istringstream lines(output);
    for (std::string l; std::getline(lines, l);) got.push_back(l);
    size_t at = 0;
    for (const std::string& want : expected) {
        if (want == "...") continue;
        std::string pattern;
        for (size_t i = 0; i < want.size(); ++i) {
            if (want.compare(i, 3, "...") == 0) {
                pattern += ".*";
                i += 2;
            } else if (std::strchr("\\^$.|?*+()[]{}", want[i])) {
                pattern += std::string("\\") + want[i];
            } else {
                pattern += want[i];
            }
        }
        std::regex re("^" + pattern + "$");
        while (at < got.size() && !std::regex_match(got[at], re)) ++at;
        if (at == got.size()) return false;
        ++at;
    }
    return true;
}

TEST(Docs, ReadmeExamplesRunAsWritten) {
    if (orvex_test::emulated()) GTEST_SKIP() << "the examples run the host's build/bin";
    const std::string readme = slurp(ORVEX_README);
    std::vector<Example> examples = readme_examples(readme);
    ASSERT_GE(examples.size(), 20u) << "the README's marked examples were not found";
    char tmpl[] = "/tmp/orvexctl-readme-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    // The examples name build/bin/...: the build tree, seen from the directory they run in.
    std::string build = ORVEXCTL_BIN;
    build = build.substr(0, build.rfind('/'));
    build = build.substr(0, build.rfind('/'));
    ASSERT_EQ(symlink(build.c_str(), (dir + "/build").c_str()), 0);
    // One shell runs them all, in order, as a reader would type them.
    std::string script = "cd '" + dir + "' || exit 99\nexport XDG_STATE_HOME='" + dir + "/state' ORVEX_LOCK_DIR='" +
                         dir + "'\n";
    for (size_t i = 0; i < examples.size(); ++i)
        script += "{\n" + examples[i].command + "\n} >'" + dir + "/out." + std::to_string(i) + "' 2>&1 </dev/null; echo $? >'" +
                  dir + "/rc." + std::to_string(i) + "'\n";
    spill(dir + "/examples.sh", script);
    std::system(("bash '" + dir + "/examples.sh'").c_str());
    for (size_t i = 0; i < examples.size(); ++i) {
        const Example& e = examples[i];
        SCOPED_TRACE(e.command);
        std::string output = slurp(dir + "/out." + std::to_string(i));
        std::string rc = slurp(dir + "/rc." + std::to_string(i));
        EXPECT_EQ(std::atoi(rc.c_str()), e.exit_code) << output;
        EXPECT_TRUE(shows(output, e.expected)) << "the README shows:\n"
                                                << [&] {
                                                       std::string t;
                                                       for (const auto& l : e.expected) t += l + "\n";
                                                       return t;
                                                   }() << "it printed:\n"
                                                << output;
    }
    std::system(("rm -rf '" + dir + "'").c_str());
}

// The limit the README states for extra parameters is the one the tool
// enforces.
TEST(Docs, ReadmeStatesTheExtraParameterLimitTheToolEnforces) {
    const std::string readme = slurp(ORVEX_README);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(readme, m, std::regex("at most\\s+(\\d+) extra parameters"))) << "no limit stated";
    std::string help = capture(std::string(ORVEX_RUN_PREFIX) + "'" + ORVEXCTL_BIN + "' calib set-params --help");
    EXPECT_NE(help.find("at most " + m[1].str() + " floats"), std::string::npos) << m[1] << " vs " << help;
}

}  // namespace

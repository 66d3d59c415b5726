// The command line as git-style tools have taught operators to expect it:
// unknown words named, help for one command, options in any order, values
// that start with '-', and one exit code per class of bad input.
#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

TEST_F(Orvexctl, UnknownWordsAreNamedWithTheNearestCommand) {
    struct Case {
        const char* args;
        const char* message;
    } cases[] = {
        {"brun fw.bin", "orvexctl: 'brun' is not a command; did you mean 'burn'?"},
        {"-q calib shwo", "orvexctl: 'shwo' is not an 'orvexctl calib' command; did you mean 'show'?"},
        {"flash raed 0 16 -o x", "orvexctl: 'raed' is not an 'orvexctl flash' command; did you mean 'read'?"},
        {"--json doctr", "orvexctl: 'doctr' is not a command; did you mean 'doctor'?"},
        {"hepl burn", "orvexctl: 'hepl' is not a command; did you mean 'help'?"},
        {"bogus", "orvexctl: 'bogus' is not a command; see 'orvexctl --help'"},
        {"station frobnicate 0", "orvexctl: 'frobnicate' is not an 'orvexctl station' command; see 'orvexctl station --help'"},
        {"help brun", "orvexctl: 'brun' is not a command; did you mean 'burn'?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        Result r = run(c.args);
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.err, std::string(c.message) + "\n");
        EXPECT_EQ(r.out, "");
    }
    // A word where a command takes its arguments is no command word.
    EXPECT_EQ(run("calib export burn").code, 0);
}

TEST_F(Orvexctl, HelpCommandPrintsThatCommandsHelp) {
    for (const char* cmd : {"burn", "flash read", "calib set-params", "station burn", "flash"}) {
        SCOPED_TRACE(cmd);
        Result h = run(std::string("help ") + cmd);
        Result direct = run(std::string(cmd) + " --help");
        EXPECT_EQ(h.code, 0);
        EXPECT_EQ(h.out, direct.out);
        EXPECT_NE(h.out.find("Usage:"), std::string::npos);
    }
    Result top = run("help");
    EXPECT_EQ(top.code, 0);
    EXPECT_EQ(top.out, run("--help").out);
    EXPECT_NE(top.out.find("help"), std::string::npos);
}

TEST_F(Orvexctl, OptionsInAnyOrderAndValuesStartingWithMinus) {
    ASSERT_EQ(run("calib export cal.json").code, 0);
    // --edited is a flag: the file is the argument wherever it stands.
    for (const char* args : {"calib import --edited --dry-run cal.json", "calib import --dry-run --edited cal.json",
                             "calib import cal.json --edited --dry-run", "calib import --dry-run cal.json"}) {
        SCOPED_TRACE(args);
        Result r = run(args);
        EXPECT_EQ(r.code, 0) << r.err;
    }
    // Negative values are values; the value rule then refuses what a
    // 32-bit float cannot hold, with its own message.
    struct Case {
        const char* args;
        int code;
        const char* says;
    } cases[] = {
        {"calib set-params 1 -inf", 7, "records.extra_params[1]: -Infinity is not a finite number"},
        {"calib set-params -1e39 2", 7, "records.extra_params[0]: -1e+39 is out of range for a 32-bit float"},
        {"calib set-params 1 -2.5 --dry-run", 0, "would save 2 extra parameter(s)"},
        {"calib set-params --dry-run -0.5 -7", 0, "would save 2 extra parameter(s)"},
        {"--json calib set-params -3 -- -4", 0, "\"extra_params\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        Result r = run(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE((r.err + r.out).find(c.says), std::string::npos) << r.err << r.out;
    }
    json p = records();
    ASSERT_TRUE(p.contains("extra_params")) << p.dump();
    EXPECT_EQ(p["extra_params"], json::parse("[-3.0, -4.0]"));
}

TEST_F(Orvexctl, VersionJsonAndEmptyCameraNames) {
    Result v = run("--version --json");
    EXPECT_EQ(v.code, 0);
    json j = json::parse(v.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << v.out;
    EXPECT_EQ(j["program"], "orvexctl");
    EXPECT_EQ(j["version"].get<std::string>().rfind("1.", 0), 0u);
    EXPECT_EQ(run("--json --version").out, v.out);
    // An empty camera name is refused, never camera 0.
    for (const char* args : {"-d '' info", "--device= info", "--serial '' info", "--usb-path '' info"}) {
        SCOPED_TRACE(args);
        Result r = run(args);
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.err.find("names no camera"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Orvexctl, BadInputFilesExitByTheirClassAndSayWhy) {
    spill(dir + "/empty.bin", "");
    ASSERT_EQ(run("calib export cal.json").code, 0);
    struct Case {
        const char* args;
        int code;
        const char* says;
    } cases[] = {
        // An empty image is a bad image like any other.
        {"burn empty.bin", 7, "empty.bin is empty"},
        {"flash write 0x30000 empty.bin", 7, "empty.bin is empty"},
        {"flash verify empty.bin", 7, "empty.bin is empty"},
        {"burn .", 1, "cannot read .: Is a directory"},
        {"restore cal.json", 7,
         "cal.json is not an orvexctl backup (it is a calibration export: orvexctl calib import cal.json)"},
    };
    std::string before = flash();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        Result r = run(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(flash(), before);
}

TEST_F(Orvexctl, InfoGivesAnAbsentIdentificationBlockAsNull) {
    json j = run_json("info", 0, "--config 0:noid");
    ASSERT_TRUE(j["identification_blocks"].is_array()) << j.dump();
    ASSERT_FALSE(j["identification_blocks"].empty());
    for (const json& b : j["identification_blocks"]) {
        EXPECT_EQ(b["valid"], false);
        EXPECT_TRUE(b["tag"].is_null()) << b.dump();
        EXPECT_TRUE(b["number"].is_null()) << b.dump();
    }
    // A valid block keeps its tag and number.
    json shipped = run_json("info");
    EXPECT_EQ(shipped["identification_blocks"][0]["tag"], "OG");
    EXPECT_EQ(shipped["identification_blocks"][0]["number"], 123);
}

}  // namespace

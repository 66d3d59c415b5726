// orvexctl end to end: the real program under the launcher, against the
// virtual camera, as a user runs it.
#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

TEST_F(Orvexctl, HelpAndUsageErrors) {
    Result h = run("--help");
    EXPECT_EQ(h.code, 0);
    for (const char* s : {"list", "burn", "calib", "doctor", "7  refused for safety", "3  device not found"})
        EXPECT_NE(h.out.find(s), std::string::npos) << s;
    for (const char* args : {"", "frobnicate", "flash read 0x10", "reg read zz", "flash read 0x3FFF0 0x20 -o x",
                             "--progress=loud info", "xu get 3 1", "calib set-params x"}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(run(args).code, 2);
    }
    EXPECT_EQ(run("calib set-sensor-type " + std::string(128, 'x')).code, 2);
}

// The PostgreSQL client and the score of libraries it brings cost every
// start several milliseconds: a command without a line database never
// loads it. The loader's own trace shows what the programs loaded.
TEST_F(Orvexctl, ACommandWithoutALineDatabaseLoadsNoDatabaseClient) {
    int status = -1;
    std::string trace = orvex_test::run_shell("export LD_DEBUG=files; " + command("info") + " 2>&1", &status);
    EXPECT_EQ(status, 0) << trace;
    ASSERT_NE(trace.find("libOrvexFactory.so"), std::string::npos) << "no loader trace: " << trace;
    EXPECT_EQ(trace.find("libpq.so"), std::string::npos) << trace;
}

TEST_F(Orvexctl, ListShowsCamerasAndQuietlySkipsOtherNodes) {
    const std::string cameras = "--config '0;1:profile=webcam;3:profile=unit4;4:profile=second-arch'";
    Result r = run("list", cameras);
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("/dev/video0: Orvex camera, unit 3, chip 0x15"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("/dev/video1: opens, not an Orvex camera"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("/dev/video3: Orvex camera, unit 4"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("FAILED"), std::string::npos);
    EXPECT_EQ(r.err.find("FAILED"), std::string::npos) << r.err;
    json j = run_json("list", 0, cameras);
    ASSERT_EQ(j["nodes"].size(), 4u);
    struct Row {
        int index;
        bool ours;
        json unit;
        const char* arch;
    } rows[] = {{0, true, 3, "first"}, {1, false, nullptr, nullptr}, {3, true, 4, "first"}, {4, true, 3, "second"}};
    for (size_t i = 0; i < 4; ++i) {
        const json& n = j["nodes"][i];
        EXPECT_EQ(n["index"], rows[i].index);
        EXPECT_EQ(n["opens"], true);
        EXPECT_EQ(n["orvex"], rows[i].ours);
        EXPECT_EQ(n["extension_unit"], rows[i].unit);
        if (rows[i].arch) {
            EXPECT_EQ(n["architecture"], rows[i].arch);
        }
    }
    // With -v the library's own lines are there for whoever asks.
    EXPECT_NE(run("-v list", cameras).err.find("library: ioctl(UVCIOC_CTRL_SET) FAILED"), std::string::npos);
}

TEST_F(Orvexctl, InfoIdentifiesChipRomFirmwareAndFlash) {
    json j = run_json("info");
    EXPECT_EQ(j["chip_id"], "0x15");
    EXPECT_EQ(j["extension_unit"], 3);
    EXPECT_EQ(j["architecture"], "first");
    EXPECT_EQ(j["rom_class"], "64K");
    EXPECT_EQ(j["rom_row"], "ROM215V1");
    EXPECT_EQ(j["firmware"]["code"], "V1501");
    EXPECT_EQ(j["flash"]["jedec_id"], "c2 20 13");
    EXPECT_EQ(j["flash"]["type"], "MXIC");
    EXPECT_EQ(j["calibration_store_recognises"], true);
    Result t = run("info");
    EXPECT_NE(t.out.find("ROM version:       215R0 01 00 00 (ROM215V1)"), std::string::npos) << t.out;

    // Failures: each has its code, and --json still gives one document.
    struct Case {
        const char* launcher;
        const char* args;
        int code;
    } cases[] = {{"", "-d 7 info", 3}, {"--profile webcam", "info", 4}, {"--profile webcam", "calib show", 4},
                 {"--config 0:fresh", "calib show", 4}, {"", "xu get 3 9 4", 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        json e = run_json(c.args, c.code, c.launcher);
        EXPECT_EQ(e["ok"], false);
        EXPECT_EQ(e["exit_code"], c.code);
    }
}

TEST_F(Orvexctl, RawRegisterAndExtensionUnitAccess) {
    EXPECT_EQ(run("reg read 0x101f").out, "0x101F: 15\n");
    EXPECT_EQ(run_json("reg read 0x101F 2")["data"].size(), 2u);
    EXPECT_EQ(run("reg write 0x1006 a5 5a").code, 0);
    EXPECT_EQ(run("reg write fffe 1 2 3").code, 2);  // past 0xFFFF
    // A register read by hand: SET_CUR {addr, 0, FF}, then GET_CUR.
    json j = run_json("xu get 3 1 4");
    EXPECT_EQ(j["data"].size(), 4u);
    EXPECT_EQ(run("xu set 3 1 1f,10,00,ff").code, 0);
    EXPECT_EQ(run("xu get 4 1 4").code, 5);  // the camera answers on unit 3 only
    EXPECT_EQ(run("sensor read 0x6c 0x10000").code, 2);
    // No sensor answers on the bus of a launcher camera: a failure, not empty data.
    EXPECT_EQ(run("sensor read 0x6c 0x3000 2").code, 5);
    EXPECT_EQ(run("sensor write 0x6c 0x3000 12 34", "--profile second-arch").code, 5);
}

TEST_F(Orvexctl, FlashReadDumpAndWrite) {
    ASSERT_EQ(run("flash dump -o dump.bin").code, 0);
    std::string shipped = slurp(dir + "/dump.bin");
    ASSERT_EQ(shipped.size(), 0x40000u);
    EXPECT_EQ(shipped, flash());
    ASSERT_EQ(run("flash read 0x190C0 24 -o id.bin").code, 0);
    EXPECT_EQ(slurp(dir + "/id.bin"), shipped.substr(0x190C0, 24));

    // Across a sector boundary, in the unused gap of the calibration area:
    // both sectors are rewritten, everything else in them kept.
    std::string data(40, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 1);
    spill(dir + "/data.bin", data);
    json w = run_json("flash write --include-calibration 0x32FEC data.bin");
    EXPECT_EQ(w["sectors_rewritten"], 2);
    EXPECT_EQ(w["verified"], true);
    std::string after = flash();
    std::string expect = shipped;
    expect.replace(0x32FEC, data.size(), data);
    EXPECT_EQ(after, expect);
    // The same bytes again: nothing to rewrite.
    EXPECT_EQ(run_json("flash write --include-calibration 0x32FEC data.bin")["sectors_rewritten"], 0);
    EXPECT_EQ(run("flash write 0x3FFF0 data.bin").code, 2);  // past the end of the flash
}

// The release cannot lift this flash's protection, so the library fails
// the rewrite or burn before any erase; the tool reads the status register
// and names the protection.
TEST_F(Orvexctl, WritesOnAProtectedCameraAreTransferFailuresThatNameTheProtection) {
    spill(dir + "/data.bin", std::string(16, 'A'));
    ASSERT_EQ(run("info", "--profile locked").code, 0);
    std::string before = flash();
    firmware_image();
    for (const char* cmd : {"flash write 0x36000 data.bin", "burn --allow-reinstall --erase-calibration fw.bin"}) {
        SCOPED_TRACE(cmd);
        Result r = run(cmd, "--profile locked");
        EXPECT_EQ(r.code, 5) << r.err;
        EXPECT_NE(r.err.find("write-protected (status register 0x8C)"), std::string::npos) << r.err;
        EXPECT_EQ(flash(), before);
    }
}

TEST_F(Orvexctl, BurnKeepsTheCalibration) {
    std::string img = firmware_image();
    json before = records();
    ASSERT_FALSE(before["marker"].is_null());
    Result r = run("burn --allow-reinstall --backup kept.json --progress=json fw.bin");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(records(), before);
    EXPECT_EQ(flash().substr(0, img.size()), img);
    // The backup was written before the erase and restores cleanly.
    EXPECT_EQ(run("restore kept.json").code, 0);

    // One JSON line per update, phase by phase, each rising from 0 to 1.
    std::istringstream lines(r.err);
    std::string line;
    std::vector<std::string> phases;
    double last = -1;
    int n = 0;
    while (std::getline(lines, line)) {
        json p = json::parse(line, nullptr, false);
        // Every line is JSON; notes and errors carry no phase.
        ASSERT_TRUE(p.is_object()) << line;
        if (!p.contains("phase")) continue;
        if (phases.empty() || phases.back() != p["phase"]) {
            if (!phases.empty()) {
                EXPECT_EQ(last, 1.0) << phases.back();
            }
            phases.push_back(p["phase"]);
            last = -1;
        }
        EXPECT_GE(p["fraction"].get<double>(), last);
        EXPECT_LE(p["bytes"].get<double>(), p["total"].get<double>());
        last = p["fraction"];
        ++n;
    }
    EXPECT_GT(n, 10);
    EXPECT_EQ(last, 1.0);
    // The sector-wise burn writes nothing back (burn_methods_test has the library's phases).
    EXPECT_EQ(phases, (std::vector<std::string>{"backup", "erase", "program", "verify"}));
    // Not on a terminal and not asked: no progress at all.
    EXPECT_EQ(run("burn --allow-reinstall --backup kept2.json fw.bin").err.find("fraction"), std::string::npos);
}

TEST_F(Orvexctl, BurnWithEraseCalibrationLeavesNoRecords) {
    firmware_image();
    Result r = run("burn --allow-reinstall --erase-calibration fw.bin");
    ASSERT_EQ(r.code, 0) << r.err;
    json after = records();
    for (const char* k : {"marker", "sensor_type", "extra_params", "rectify"}) EXPECT_TRUE(after[k].is_null()) << k;
}

TEST_F(Orvexctl, BurnRefusalsAndDryRunTouchNothing) {
    std::string img = firmware_image();
    std::string full = slurp(dir + "/full.bin");
    // An image without an identification block, for the warning.
    std::string bare = img;
    bare.replace(0x190C0, 24, std::string(24, '\xFF'));
    spill(dir + "/bare.bin", bare);
    // Refusals may identify the camera (registers), dry runs not even that.
    struct Case {
        const char* args;
        int code;
        const char* says;
        bool registers_written_allowed;
    } cases[] = {
        {"burn --allow-reinstall full.bin", 7, "overlaps the calibration area", false},
        {"burn --allow-reinstall --backup /nonexistent/dir/b.json fw.bin", 7, "refusing to burn", true},
        {"burn --allow-reinstall --dry-run fw.bin", 0, "0x30000-0x34FFF", false},
        {"burn --allow-reinstall --method=library --dry-run bare.bin", 7, "no valid identification block", false},
        {"burn --allow-reinstall --dry-run --flash-type nonsense fw.bin", 2, "unknown flash type", false},
        {"burn --allow-reinstall --method=sector --erase-calibration fw.bin", 2, "needs --method=library", false},
        // The raw writers: a plan, and not one write.
        {"reg write --dry-run 0x1006 5a a5", 0, "now ", false},
        {"xu set --dry-run 3 1 12 34 56", 0, "would SET_CUR unit 0x03 selector 0x01: 12 34 56", false},
        {"sensor write --dry-run 0x42 0x3000 01 02", 0, "would write slave 0x42 at 0x3000: 01 02", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        std::string before = flash();
        Result r = run(c.args, "--trace trace.txt");
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
        EXPECT_EQ(trace_writes(dir + "/trace.txt", c.registers_written_allowed), 0);
        EXPECT_EQ(flash(), before);
    }
    // The sector-wise plan erases around the first identification sector
    // and leaves the three kept regions alone; the library's erases all
    // and writes two back.
    json plan = run_json("burn --allow-reinstall --dry-run --full-check fw.bin");
    EXPECT_EQ(plan["write"]["to"], "0x2FFFF");
    EXPECT_EQ(plan["method"], "sector");
    EXPECT_EQ(plan["erase"], json::parse(R"([{"from":"0x00000","to":"0x18FFF"},{"from":"0x1A000","to":"0x2FFFF"}])"));
    EXPECT_EQ(plan["keep"].size(), 3u);
    json lib = run_json("burn --allow-reinstall --dry-run --method=library fw.bin");
    EXPECT_EQ(lib["erase"], json::parse(R"([{"from":"0x00000","to":"0x3FFFF"}])"));
    EXPECT_EQ(lib["keep"].size(), 2u);
    EXPECT_GT(plan["estimated_seconds"].get<double>(), 0);
    EXPECT_LT(plan["estimated_seconds"].get<double>(), lib["estimated_seconds"].get<double>());
    // Overlap is allowed once the calibration is given up.
    EXPECT_EQ(run("burn --allow-reinstall --dry-run --erase-calibration full.bin").code, 0);
}

TEST_F(Orvexctl, BackupWithAFlippedByteIsRefused) {
    ASSERT_EQ(run("backup -o b.json").code, 0);
    std::string good = slurp(dir + "/b.json");
    json doc = json::parse(good);
    EXPECT_EQ(doc["device"]["chip_id"], "0x15");
    EXPECT_EQ(doc["ranges"].size(), 3u);
    // Flip one bit of one byte at spread-out places: in the data, a number, a key.
    for (size_t at : {good.size() / 2, good.size() / 3, good.find("\"length\"") + 2, good.find("0x15") + 3,
                      good.size() - 5}) {
        SCOPED_TRACE(at);
        std::string bad = good;
        bad[at] = static_cast<char>(bad[at] ^ 0x01);
        spill(dir + "/bad.json", bad);
        EXPECT_EQ(run("restore bad.json").code, 7);
    }
    // The calibration is lost and comes back from the good file.
    firmware_image();
    json before = records();
    ASSERT_EQ(run("burn --allow-reinstall --erase-calibration fw.bin").code, 0);
    ASSERT_TRUE(records()["marker"].is_null());
    EXPECT_EQ(run("restore b.json").code, 0);
    EXPECT_EQ(records(), before);
    // Another camera is refused unless forced.
    EXPECT_EQ(run("restore b.json", "--profile chip-16").code, 7);
}

TEST_F(Orvexctl, CalibrationExportImportAndEdits) {
    ASSERT_EQ(run("calib export c.json").code, 0);
    json original = records();
    // Not a known type: stored only when declared unknown.
    ASSERT_EQ(run("calib set-sensor-type 'test rig 7'").code, 7);
    ASSERT_EQ(run("calib set-sensor-type --unknown-sensor-type 'test rig 7'").code, 0);
    ASSERT_EQ(run("calib set-params 1.5 -2 1e-3").code, 0);
    json edited = records();
    EXPECT_EQ(edited["sensor_type"], "test rig 7");
    EXPECT_EQ(edited["extra_params"], json::array({1.5, -2.0, static_cast<double>(1e-3f)}));
    EXPECT_EQ(edited["marker"], original["marker"]);
    ASSERT_EQ(run("calib import c.json").code, 0);
    EXPECT_EQ(records(), original);

    // A changed value under the old checksum, or not JSON at all: refused.
    std::string text = slurp(dir + "/c.json");
    json doc = json::parse(text);
    doc["records"]["marker"]["x0"] = 99;
    spill(dir + "/changed.json", doc.dump(2));
    spill(dir + "/cut.json", text.substr(0, text.size() / 2));
    for (const char* f : {"changed.json", "cut.json"}) EXPECT_EQ(run(std::string("calib import ") + f).code, 7) << f;
    EXPECT_EQ(records(), original);
}

// The store keeps up to 255 extra parameters (its count is an unsigned
// char); the tool must export and import every one of them, not a shorter
// list of its own.
TEST_F(Orvexctl, EveryExtraParameterTheStoreKeepsSurvivesExportAndImport) {
    std::string sixty;
    json expect = json::array();
    for (int i = 0; i < 60; ++i) {
        sixty += " " + std::to_string(i) + ".5";
        expect.push_back(i + 0.5);
    }
    ASSERT_EQ(run("calib set-params" + sixty).code, 0);
    ASSERT_EQ(records()["extra_params"], expect);
    ASSERT_EQ(run("calib export c.json").code, 0);
    ASSERT_EQ(run("calib set-params 7").code, 0);
    ASSERT_EQ(run("calib import c.json").code, 0);
    EXPECT_EQ(records()["extra_params"], expect);

    std::string too_many;
    for (int i = 0; i < 256; ++i) too_many += " 1";
    EXPECT_EQ(run("calib set-params" + too_many).code, 2);
}

TEST_F(Orvexctl, NeverWrittenRecordsAndThePlot) {
    firmware_image();
    ASSERT_EQ(run("burn --allow-reinstall --erase-calibration fw.bin").code, 0);
    Result r = run("calib show");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.find("nan"), std::string::npos);
    EXPECT_EQ(r.out.find("-1"), std::string::npos);
    EXPECT_NE(r.out.find("marker configuration (0x30000): never written"), std::string::npos) << r.out;
    EXPECT_EQ(run("restore no-such-file.json").code, 1);

    // The shipped camera's grids.
    std::remove(state.c_str());
    ASSERT_EQ(run("calib plot -o p.svg").code, 0);
    std::string svg = slurp(dir + "/p.svg");
    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t at = svg.find(what); at != std::string::npos; at = svg.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(svg.rfind("<svg", 0), 0u);
    EXPECT_EQ(count("r=\"3\""), 20u);   // 5 x 4 base points
    EXPECT_EQ(count("r=\"5\""), 192u);  // 16 x 12 markers
}

TEST_F(Orvexctl, DoctorExplainsAndPrintsTheUdevRule) {
    Result ok = run("doctor");
    EXPECT_EQ(ok.code, 0);
    EXPECT_NE(ok.out.find("[ok] extension unit: unit 3 answers"), std::string::npos) << ok.out;
    EXPECT_NE(ok.out.find("SUBSYSTEM==\"video4linux\""), std::string::npos);
    json j = run_json("doctor", 4, "--profile webcam");
    EXPECT_EQ(j["usable"], false);
    EXPECT_EQ(run("-d 5 doctor").code, 3);
}

}  // namespace

// orvexctl at a station: cameras chosen by identity, several burned at
// once by worker processes, the station log, and the conventions (numbers,
// -q, errno reasons, help), all through the real program under the
// launcher with several virtual cameras.
#include <cmath>
#include <regex>

#include "internal/store_layout.h"
#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

// A webcam at video0, then two of ours with their own identities and flash.
const std::string kStation =
    "--config '0:profile=webcam,serial=W0,usb=1-1;1:serial=A1,usb=1-2,state=a.bin;2:serial=B2,usb=1-3,state=b.bin'";

std::vector<json> json_lines(const std::string& text) {
    std::vector<json> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(json::parse(line, nullptr, false));
    return out;
}

TEST_F(Orvexctl, EverySelectorNamesItsCamera) {
    struct Case {
        const char* args;
        int code;
        const char* device;  // on success
    } cases[] = {
        {"-d 2", 0, "/dev/video2"},
        {"-d 0x2", 0, "/dev/video2"},
        {"-d /dev/video1", 0, "/dev/video1"},
        {"--serial B2", 0, "/dev/video2"},
        {"--usb-path 1-2", 0, "/dev/video1"},
        {"-d /dev/v4l/by-id/usb-Orvex_Orvex_virtual_camera_B2-video-index0", 0, "/dev/video2"},
        {"-d /dev/v4l/by-path/platform-vcam_hcd.0-usb-0:2:1.0-video-index0", 0, "/dev/video1"},
        {"--serial ZZ", 3, nullptr},
        {"-d /dev/v4l/by-id/nothing", 3, nullptr},
        {"-d /etc/passwd", 2, nullptr},
        {"--serial A1 -d 1", 2, nullptr},
        {"-d 0xZZ", 2, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        json j = run_json(std::string(c.args) + " info", c.code, kStation);
        if (c.device) {
            EXPECT_EQ(j["device"], c.device);
            EXPECT_EQ(j["serial"], c.device == std::string("/dev/video1") ? "A1" : "B2");
        }
    }
    // The default node is a webcam: the error points at the cameras that answer.
    Result r = run("info", kStation);
    EXPECT_EQ(r.code, 4);
    EXPECT_NE(r.err.find("answers at /dev/video1 (serial A1), /dev/video2 (serial B2)"), std::string::npos) << r.err;
}

// A UVC camera has two nodes with its USB identity: the video node
// (/dev/videoN, index 0) and the driver's metadata node (/dev/videoN+1,
// index 1), which answers no extension-unit query. Selection by serial,
// USB path or udev link takes the video node.
TEST_F(Orvexctl, SelectionByIdentityTakesTheVideoNodeNotItsMetadataNode) {
    const std::string cams = "--config '0:serial=A1,usb=1-2,metadata;2:serial=B2,usb=1-3,metadata'";
    struct Case {
        const char* args;
        const char* device;
        const char* serial;
    } cases[] = {
        {"--serial A1", "/dev/video0", "A1"},
        {"--serial B2", "/dev/video2", "B2"},
        {"--usb-path 1-2", "/dev/video0", "A1"},
        {"--usb-path 1-3", "/dev/video2", "B2"},
        {"-d /dev/v4l/by-id/usb-Orvex_Orvex_virtual_camera_B2-video-index0", "/dev/video2", "B2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        json j = run_json(std::string(c.args) + " info", 0, cams);
        EXPECT_EQ(j["device"], c.device);
        EXPECT_EQ(j["serial"], c.serial);
    }
    // The metadata nodes are there, with the camera's identity, and are
    // not cameras of ours.
    json l = run_json("list", 0, cams);
    ASSERT_EQ(l["nodes"].size(), 4u) << l;
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(l["nodes"][i]["serial"], i < 2 ? "A1" : "B2");
        EXPECT_EQ(l["nodes"][i]["orvex"], i % 2 == 0);
    }
    EXPECT_EQ(l["nodes"][3]["by_id"], "/dev/v4l/by-id/usb-Orvex_Orvex_virtual_camera_B2-video-index1");
    EXPECT_NE(run("-d 3 info", cams).code, 0);
}

TEST_F(Orvexctl, ListShowsIdentitiesOfEveryNode) {
    json j = run_json("list", 0, kStation);
    ASSERT_EQ(j["nodes"].size(), 3u);
    const json& web = j["nodes"][0];
    EXPECT_EQ(web["serial"], "W0");
    EXPECT_EQ(web["orvex"], false);
    const json& a = j["nodes"][1];
    EXPECT_EQ(a["serial"], "A1");
    EXPECT_EQ(a["usb_path"], "1-2");
    EXPECT_EQ(a["usb_id"], "1d6b:0104");
    EXPECT_EQ(a["driver"], "uvcvideo");
    EXPECT_EQ(a["by_id"], "/dev/v4l/by-id/usb-Orvex_Orvex_virtual_camera_A1-video-index0");
    EXPECT_EQ(a["orvex"], true);
    EXPECT_EQ(a["extension_unit"], 3);
    EXPECT_EQ(a["chip_id"], "0x15");
    EXPECT_EQ(a["firmware_version"], "CV15.R01.A");
    EXPECT_EQ(a["unit"]["tag"], "OG");
    EXPECT_EQ(a["unit"]["number"], 123);
    Result t = run("list", kStation);
    EXPECT_NE(t.out.find("serial B2, USB path 1-3, 1d6b:0104, driver uvcvideo"), std::string::npos) << t.out;
    // Cameras served in the program's own process answer the same reads.
    Result own = run("list", "--in-process " + kStation);
    EXPECT_EQ(own.out, t.out) << own.err;
}

TEST_F(Orvexctl, StationBurnsAllCamerasAndReportsTheOneThatFailed) {
    // The station forks a worker per camera that re-runs its own program.
    if (orvex_test::emulated()) GTEST_SKIP() << "fork() under the user-mode emulator";
    shared_device = true;
    firmware_image();
    // Camera 3's flash refuses every program transfer (selector 3 stalls).
    const std::string cams =
        "--config '0:serial=A1,usb=1-2,state=a.bin;1:serial=B2,usb=1-3,state=b.bin;"
        "2:serial=C3,usb=1-4,state=c.bin,fail_match=sel3'";
    Result r = run("--log st.log station burn --allow-reinstall fw.bin --all", cams);
    EXPECT_EQ(r.code, 5) << r.out << r.err;
    EXPECT_NE(r.out.find("/dev/video0   ok"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("/dev/video1   ok"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("/dev/video2   FAILED, exit 5"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 of 3 camera(s) succeeded"), std::string::npos) << r.out;
    // Not a terminal: one line per event, each naming its camera.
    EXPECT_NE(r.err.find("station: A1: program"), std::string::npos) << r.err;
    for (const char* cam : {"A1", "B2", "C3"})
        EXPECT_NE(slurp(dir + "/station-burn-" + cam + ".log").find("exit code"), std::string::npos) << cam;

    // The log: one line per camera from its worker, one for the station.
    std::vector<json> lines = json_lines(slurp(dir + "/st.log"));
    ASSERT_EQ(lines.size(), 4u);
    int ok = 0;
    for (const json& l : lines) {
        ASSERT_FALSE(l.is_discarded());
        for (const char* k : {"time", "camera", "command", "arguments", "result", "exit_code", "backup"})
            EXPECT_TRUE(l.contains(k)) << k << " in " << l.dump();
        if (l["command"] == "burn" && l["exit_code"] == 0) {
            ++ok;
            EXPECT_EQ(l["backup"].size(), 1u) << l.dump();  // the calibration saved before the erase
        }
    }
    EXPECT_EQ(ok, 2);
    EXPECT_EQ(lines.back()["command"], "station burn");
    EXPECT_EQ(lines.back()["exit_code"], 5);
    EXPECT_NE(lines.back()["result"].get<std::string>().find("1 of 3"), std::string::npos) << lines.back().dump();

    // The two burned cameras verify against the image; by list of selectors.
    json v = run_json("station verify fw.bin serial=A1 usb=1-3 0", 0, cams);
    EXPECT_EQ(v["ok"], true);
    EXPECT_EQ(v["cameras"].size(), 2u);  // A1 named twice counts once
    json b = run_json("station backup --all --output-dir bk", 5, cams);
    EXPECT_EQ(b["cameras"][0]["exit_code"], 0);
    EXPECT_EQ(json::parse(slurp(dir + "/bk/backup-A1.json"))["format"], "orvex-backup");
}

// Several failed cameras: the station exits with the code of the first
// failed camera in its table, whichever worker ends last, and each camera's
// own code stays in the table.
TEST_F(Orvexctl, StationExitsWithTheFirstFailedCamerasCode) {
    if (orvex_test::emulated()) GTEST_SKIP() << "fork() under the user-mode emulator";
    shared_device = true;
    firmware_image();
    const std::string shipped = flash();
    spill(dir + "/fw.bin", shipped.substr(0, 0x1000));  // a short image keeps the read-backs short
    std::string differs = shipped;
    differs[0x100] = static_cast<char>(differs[0x100] ^ 0x01);
    // A camera whose firmware differs from the image fails its read-back
    // (6); one whose every data read stalls fails the transfer (5).
    enum Kind { same = 0, mismatch = 6, stalls = 5 };
    struct Case {
        Kind cams[3];
        int code;
    } cases[] = {
        {{same, mismatch, stalls}, 6},
        {{stalls, same, mismatch}, 5},
    };
    for (const Case& c : cases) {
        std::string config = "--config '";
        for (int i = 0; i < 3; ++i) {
            const std::string file = "c" + std::to_string(i) + ".bin";
            spill(dir + "/" + file, c.cams[i] == mismatch ? differs : shipped);
            config += std::to_string(i) + ":serial=S" + std::to_string(i) + ",usb=1-" + std::to_string(i + 2) +
                      ",state=" + file + (c.cams[i] == stalls ? ",fail_match=sel3" : "") + (i < 2 ? ";" : "'");
        }
        SCOPED_TRACE(config);
        json j = run_json("station verify fw.bin --all", c.code, config);
        EXPECT_EQ(j["exit_code"], c.code);
        ASSERT_EQ(j["cameras"].size(), 3u) << j;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(j["cameras"][i]["exit_code"], static_cast<int>(c.cams[i])) << i;
        Result r = run("station verify fw.bin --all", config);
        EXPECT_EQ(r.code, c.code);
        EXPECT_NE(r.out.find("(exit " + std::to_string(c.code) + ", the first failed camera's code)"),
                  std::string::npos)
            << r.out;
    }
}

TEST_F(Orvexctl, StationRefusesBeforeStartingAnything) {
    struct Case {
        const char* args;
        int code;
    } cases[] = {{"station burn --allow-reinstall fw.bin", 2}, {"station burn --allow-reinstall fw.bin --all 1", 2},
                 {"station burn --allow-reinstall missing.bin --all", 1}, {"station verify fw.bin serial=NOPE", 3}};
    spill(dir + "/fw.bin", "x");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        EXPECT_EQ(run(c.args, kStation).code, c.code);
    }
    // No worker started: none left a log.
    for (const char* cam : {"A1", "B2"})
        for (const char* what : {"burn", "verify"})
            EXPECT_FALSE(std::ifstream(dir + "/station-" + what + "-" + cam + ".log")) << what << cam;
}

TEST_F(Orvexctl, NumbersAreDecimalUnlessHex) {
    // The same register in every accepted spelling, and the refused ones.
    std::string want = run_json("reg read 0x101f 2")["data"].dump();
    for (const char* args : {"reg read 4127 2", "reg read 0X101F 0x2", "reg read 0x101f 2"})
        EXPECT_EQ(run_json(args)["data"].dump(), want) << args;
    for (const char* args : {"reg read 101f", "reg read 0x", "reg read -1", "xu get 3 1 4x", "sensor read 6c 0"})
        EXPECT_EQ(run(args).code, 2) << args;
    EXPECT_EQ(run_json("xu get 0x3 1 0x4")["data"].size(), 4u);
}

TEST_F(Orvexctl, TransferErrorsNameTheDriversReason) {
    struct Case {
        const char* launcher;
        const char* args;
        const char* reason;
    } cases[] = {
        {"", "xu get 3 9 4", "no such extension unit or selector (ENOENT)"},
        {"", "xu get 5 1 4", "no such extension unit or selector (ENOENT)"},
        {"", "xu get 3 1 5", "size differs from the control's size (ENOBUFS)"},
        {"--fail-match get", "xu get 3 1 4", "stalled the request (EPIPE)"},
        {"--fail-match get:ENODEV", "xu get 3 1 4", "the camera is gone"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        Result r = run(c.args, c.launcher);
        EXPECT_EQ(r.code, 5);
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        // The library's own console lines only with -v.
        EXPECT_EQ(r.err.find("library:"), std::string::npos) << r.err;
    }
}

TEST_F(Orvexctl, ConventionsVersionHelpQuiet) {
    Result v = run("--version");
    EXPECT_EQ(v.code, 0);
    EXPECT_EQ(v.out.rfind("orvexctl 1.", 0), 0u) << v.out;
    // The exit-code table in the top-level help only; positionals described.
    EXPECT_NE(run("--help").out.find("Exit codes:"), std::string::npos);
    for (const char* sub : {"burn", "xu get", "reg write", "station burn", "calib import"}) {
        Result h = run(std::string(sub) + " --help");
        EXPECT_EQ(h.out.find("Exit codes:"), std::string::npos) << sub;
        EXPECT_EQ(h.code, 0);
    }
    EXPECT_NE(run("xu get --help").out.find("control selector"), std::string::npos);
    EXPECT_NE(run("reg write --help").out.find("hex without 0x"), std::string::npos);

    // -q: the result line stays, notes and progress go.
    firmware_image();
    Result q = run("-q burn --allow-reinstall fw.bin");
    EXPECT_EQ(q.code, 0) << q.err;
    EXPECT_NE(q.out.find("burned fw.bin"), std::string::npos) << q.out;
    EXPECT_EQ(q.err, "");
    Result s = run("-q calib show");
    EXPECT_NE(s.out.find("sensor type"), std::string::npos);
}

// The CRC the export's checksum is: over the compact records.
uint32_t crc32(const std::string& s) {
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : s) {
        c ^= b;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

TEST_F(Orvexctl, EditedCalibrationIsValidatedBeforeImport) {
    ASSERT_EQ(run("calib export e.json").code, 0);
    const json base = json::parse(slurp(dir + "/e.json"));
    // The documented checksum: a tool that follows the schema gets the same.
    char want[16];
    std::snprintf(want, sizeof want, "0x%08X", crc32(base["records"].dump()));
    EXPECT_EQ(base["checksum"], want);

    struct Case {
        const char* what;
        void (*edit)(json&);
        int code;
        const char* says;
    } cases[] = {
        {"a changed value", [](json& r) { r["extra_params"][0] = 2.5; }, 0, "20 base points inside the 640 x 480"},
        {"not finite", [](json& r) { r["extra_params"][1] = "NaN"; }, 7, "records.extra_params[1]: NaN is not a finite number"},
        {"a bit pattern", [](json& r) { r["extra_params"][1] = "0x7FC00000"; }, 7, "records.extra_params[1]: \"0x7FC00000\" is not a number"},
        {"too many params",
         [](json& r) { r["extra_params"] = json(std::vector<double>(orvex_store::kMaxExtraParams + 1, 1.0)); }, 7,
         "at most 255"},
        {"grid too large", [](json& r) { r["rectify"]["rows"] = 26; }, 7, "at most 25 x 18"},
        {"point outside", [](json& r) { r["rectify"]["base_grid"][5] = {10, 480}; }, 7, "base point 5 (row 1, column 1)"},
        {"wrong count", [](json& r) { r["rectify"]["base_grid"].erase(0); }, 7, "rows x cols"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        json doc = base;
        c.edit(doc["records"]);
        spill(dir + "/ed.json", doc.dump(2));
        EXPECT_EQ(run("calib import ed.json").code, 7);  // the checksum no longer matches
        Result r = run("calib import --edited ed.json");
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    }
    EXPECT_EQ(records()["extra_params"][0], 2.5);

    // A plain import with a good checksum still refuses a point outside the image.
    json doc = base;
    doc["records"]["rectify"]["base_grid"][0] = {-1, 0};
    std::snprintf(want, sizeof want, "0x%08X", crc32(doc["records"].dump()));
    doc["checksum"] = want;
    spill(dir + "/out.json", doc.dump(2));
    EXPECT_EQ(run("calib import out.json").code, 7);

    // --dry-run changes nothing.
    std::string before = flash();
    EXPECT_EQ(run("calib import --dry-run e.json").code, 0);
    EXPECT_EQ(run("calib set-params --dry-run 9 9").code, 0);
    EXPECT_EQ(run("calib set-sensor-type --dry-run stereo-nir-1280x800").code, 0);
    EXPECT_EQ(run("calib set-sensor-type --dry-run --unknown-sensor-type other").code, 0);
    EXPECT_EQ(flash(), before);
}

// Values the store cannot hold are refused, never truncated, with the
// field and the value named; the flash stays as it was.
TEST_F(Orvexctl, CalibrationValuesTheStoreCannotHoldAreRefused) {
    ASSERT_EQ(run("calib export e.json").code, 0);
    const json base = json::parse(slurp(dir + "/e.json"));
    const std::string before = flash();
    struct Case {
        const char* what;
        const char* pointer;
        json value;
        const char* says;
    } edits[] = {
        {"padding 2^33 was stored as 0", "/rectify/padding/1", 8589934592LL,
         "orvexctl: records.rectify.padding[1]: 8589934592 is outside the 32-bit integer range\n"},
        {"base point 86.5 was stored as 86", "/rectify/base_grid/3/0", 86.5,
         "records.rectify.base_grid[3][0]: 86.5 is not an integer"},
        {"base point 1e10 was shown as (-2147483648, 52)", "/rectify/base_grid/3/0", 1e10,
         "records.rectify.base_grid[3][0]: 10000000000.0 is outside the 32-bit integer range"},
        {"1e39 was called not finite", "/marker/theta", 1e39,
         "records.marker.theta: 1e+39 is out of range for a 32-bit float"},
        {"a misspelt type was accepted", "/sensor_type", "stereo-nir-640x48",
         "records.sensor_type: \"stereo-nir-640x48\" is not a known sensor type"},
    };
    for (const auto& c : edits) {
        SCOPED_TRACE(c.what);
        json doc = base;
        doc["records"][json::json_pointer(c.pointer)] = c.value;
        spill(dir + "/ed.json", doc.dump(2));
        Result r = run("calib import --edited ed.json");
        EXPECT_EQ(r.code, 7);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("verified"), std::string::npos) << r.out;
    }
    struct Cli {
        const char* args;
        int code;
        const char* says;
    } commands[] = {
        {"calib set-params 1 nan", 7, "records.extra_params[1]: NaN is not a finite number"},
        {"calib set-params -inf", 7, "records.extra_params[0]: -Infinity is not a finite number"},
        {"calib set-params 2 1e39", 7, "records.extra_params[1]: 1e+39 is out of range for a 32-bit float"},
        {"calib set-params 1e-50", 7, "is too small for a 32-bit float"},
        {"calib set-params 1 x", 2, "bad number 'x'"},
        {"calib set-sensor-type stereo-nir-640x48", 7, "--unknown-sensor-type"},
    };
    for (const auto& c : commands) {
        Result r = run(c.args);
        EXPECT_EQ(r.code, c.code) << c.args;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << ": " << r.err;
    }
    EXPECT_EQ(flash(), before);
    ASSERT_EQ(run("calib set-params -2.5 -1e-3 --dry-run").code, 0);
    ASSERT_EQ(run("calib set-params -2.5 -1e-3").code, 0);
    EXPECT_EQ(records()["extra_params"], json::array({-2.5, static_cast<double>(-1e-3f)}));
}

// A NaN the flash holds was exported as the string "0x7FC00000" inside the
// number array, and a plain import took it back.
TEST_F(Orvexctl, ANonFiniteValueInTheFlashIsExportedByNameAndNotImported) {
    spill(dir + "/nan.bin", std::string("\x00\x00\xC0\x7F", 4));
    ASSERT_EQ(run("flash write --include-calibration 0x31000 nan.bin").code, 0);
    ASSERT_EQ(run("calib export n.json").code, 0);
    std::string text = slurp(dir + "/n.json");
    EXPECT_NE(text.find("\"NaN\""), std::string::npos) << text;
    EXPECT_EQ(text.find("0x7FC00000"), std::string::npos) << text;
    EXPECT_NE(run("calib show").out.find("value(s): nan"), std::string::npos);
    const std::string before = flash();
    Result r = run("calib import n.json");
    EXPECT_EQ(r.code, 7);
    EXPECT_NE(r.err.find("records.extra_params[0]: NaN is not a finite number"), std::string::npos) << r.err;
    EXPECT_EQ(flash(), before);
}

TEST_F(Orvexctl, PlotShowsFrameAxesIdentityAndRows) {
    ASSERT_EQ(run("calib plot -o p.svg", "--serial SN7").code, 0);
    std::string svg = slurp(dir + "/p.svg");
    EXPECT_NE(svg.find("id=\"image-frame\""), std::string::npos);
    EXPECT_NE(svg.find("image 640 x 480 pixels"), std::string::npos);
    EXPECT_NE(svg.find(">640</text>"), std::string::npos);  // the axes reach the image's edges
    EXPECT_NE(svg.find(">480</text>"), std::string::npos);
    EXPECT_NE(svg.find("serial SN7"), std::string::npos);
    EXPECT_NE(svg.find("unit OG 123"), std::string::npos);
    size_t rows = 0;
    for (size_t at = 0; (at = svg.find("<polyline", at)) != std::string::npos; ++at) ++rows;
    EXPECT_EQ(rows, 5u);  // the factory base grid's 5 rows
    EXPECT_NE(svg.find("id=\"marker-grid\""), std::string::npos);

    // Nothing to draw is an error, not an empty picture.
    ASSERT_EQ(run("flash erase 0x30000 0x5000 --include-calibration").code, 0);
    Result e = run("calib plot -o e.svg");
    EXPECT_EQ(e.code, 7);
    EXPECT_NE(e.err.find("nothing to plot"), std::string::npos) << e.err;
}

}  // namespace

namespace {

// On a narrow terminal the live table's rows are cut, never wrapped: a
// wrapped row scrolls the table instead of redrawing it in place.
TEST_F(Orvexctl, StationTableFitsANarrowTerminal) {
    if (orvex_test::emulated()) GTEST_SKIP() << "fork() under the user-mode emulator";
    shared_device = true;
    const char* saved = std::getenv("COLUMNS");
    const std::string keep = saved ? saved : "";
    setenv("COLUMNS", "50", 1);
    Result r = run("--progress=bar station backup --all",
                   "--config '0:serial=A1-LONG-SERIAL-NUMBER,usb=1-2,state=a.bin;1:serial=B2,usb=1-3,state=b.bin'");
    if (saved)
        setenv("COLUMNS", keep.c_str(), 1);
    else
        unsetenv("COLUMNS");
    EXPECT_EQ(r.code, 0) << r.err;
    // What the terminal shows: escape sequences take no columns, and a
    // carriage return starts the line over.
    std::string shown = std::regex_replace(r.err, std::regex("\033\\[[0-9;]*[A-Za-z]"), "");
    size_t rows = 0;
    std::istringstream lines(shown);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind('\r') != std::string::npos) line = line.substr(line.rfind('\r') + 1);
        if (line.rfind("orvexctl:", 0) == 0) continue;  // messages are not table rows
        ++rows;
        EXPECT_LE(line.size(), 49u) << "[" << line << "]";
    }
    EXPECT_GE(rows, 3u) << r.err;  // the header and both cameras at least once
    EXPECT_NE(shown.find("A1-LONG-SERIAL-NUMBER  /dev/video0"), std::string::npos) << shown;
}

}  // namespace

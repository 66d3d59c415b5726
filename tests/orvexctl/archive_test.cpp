// orvexctl with an archive: a station burn's workers record each camera's
// burn with its USB identity, history reads a unit back, and export and
// import (of an export, of the backup folder, of a --log file) add each
// row once however often they run.
#include <set>
#include <sstream>

#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

TEST_F(Orvexctl, AStationBurnIsRecordedPerCameraAndMovesBetweenArchivesOnce) {
    if (orvex_test::emulated()) GTEST_SKIP() << "fork() under the user-mode emulator";
    shared_device = true;
    firmware_image();
    const std::string cams = "--config '0:serial=A1,usb=1-2,state=a.bin;1:serial=B2,usb=1-3,state=b.bin'";
    setenv("ORVEX_OPERATOR", "day shift", 1);
    Result r = run("--archive st.sqlite --log st.log --json station burn --allow-reinstall fw.bin --all", cams);
    unsetenv("ORVEX_OPERATOR");
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(json::parse(r.out)["archive"]["recorded"], true) << r.out;
    json s = run_json("--archive st.sqlite archive status", 0, cams);
    // One burn per camera and the station run; the dump of fw.bin was not archived.
    EXPECT_EQ(s["operations"], 3);
    EXPECT_EQ(s["interrupted"], 0);
    EXPECT_EQ(s["failed"], 0);
    EXPECT_EQ(s["calibrations"], 1);  // both cameras ship the same calibration bytes
    json info = run_json("-d 0 info", 0, cams);
    const std::string unit = info["unit"]["tag"].get<std::string>() + " " + std::to_string(info["unit"]["number"].get<int>());
    json h = run_json("--archive st.sqlite archive history '" + unit + "'", 0, cams);
    ASSERT_EQ(h["operations"].size(), 2u);
    std::set<std::string> serials;
    for (const json& o : h["operations"]) {
        EXPECT_EQ(o["kind"], "burn");
        EXPECT_EQ(o["state"], "ok");
        EXPECT_EQ(o["image_name"], "fw.bin");
        serials.insert(o.value("usb_serial", ""));
    }
    EXPECT_EQ(serials, (std::set<std::string>{"A1", "B2"}));

    // Another station's archive takes the export, the backups and the log;
    // a second import of each adds nothing.
    ASSERT_EQ(run("--archive st.sqlite archive export st.jsonl", cams).code, 0);
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass);
        json im = run_json("--archive line.sqlite archive import st.jsonl state/orvex st.log", 0, cams);
        ASSERT_EQ(im["imports"].size(), 3u);
        const int exported = 6 + 1, backups = 2, log_lines = 3;
        EXPECT_EQ(im["imports"][0]["added"], pass ? 0 : exported);
        EXPECT_EQ(im["imports"][1]["files"], backups);
        // Each backup becomes an event; their calibration is the export's.
        EXPECT_EQ(im["imports"][1]["added"], pass ? 0 : backups);
        EXPECT_EQ(im["imports"][2]["added"], pass ? 0 : log_lines);
        EXPECT_EQ(im["imports"][2]["unknown_lines"], 0);
    }
    json line = run_json("--archive line.sqlite archive status", 0, cams);
    EXPECT_EQ(line["events"], 6 + 2 + 3);
    EXPECT_EQ(line["calibrations"], 1);
    // The station's rows arrive as they were.
    ASSERT_EQ(run("--archive line.sqlite archive export line.jsonl", cams).code, 0);
    const std::string st = slurp(dir + "/st.jsonl"), all = slurp(dir + "/line.jsonl");
    std::istringstream in(st);
    std::string row;
    int runs = 0;
    while (std::getline(in, row)) {
        EXPECT_NE(all.find(row), std::string::npos) << row;
        // The station run: who ran it, on which cameras, with what outcome.
        json e = json::parse(row).value("event", json::object());
        if (e.value("kind", "") != "station run" || e.value("phase", "") != "finished") continue;
        ++runs;
        EXPECT_EQ(e["operator"], "day shift");
        EXPECT_EQ(e["exit_code"], 0);
        EXPECT_EQ(e["command"], "orvexctl station burn fw.bin");
        json run = json::parse(e["result_json"].get<std::string>());
        std::set<std::string> ran;
        for (const json& c : run["cameras"]) ran.insert(c.value("serial", ""));
        EXPECT_EQ(ran, (std::set<std::string>{"A1", "B2"}));
    }
    EXPECT_EQ(runs, 1);
    // Its burns are the line's yield; the run itself is not a burn.
    json sum = run_json("--archive st.sqlite archive summary", 0, cams);
    EXPECT_EQ(sum["line"]["burns"], 2);
    EXPECT_EQ(sum["line"]["passed_burns"], 2);
    EXPECT_EQ(sum["line"]["units"], 1);  // both cameras ship the same unit
}

TEST_F(Orvexctl, AStationRunThatFailsIsRecordedWithItsExitCode) {
    if (orvex_test::emulated()) GTEST_SKIP() << "fork() under the user-mode emulator";
    shared_device = true;
    spill(dir + "/short.bin", std::string(0x100, '\x55'));  // too short for the chip: every burn refused
    const std::string cams = "--config '0:serial=A1,usb=1-2,state=a.bin;1:serial=B2,usb=1-3,state=b.bin'";
    Result r = run("--archive st.sqlite station burn short.bin --all", cams);
    EXPECT_EQ(r.code, 7) << r.err;
    ASSERT_EQ(run("--archive st.sqlite archive export st.jsonl", cams).code, 0);
    std::istringstream in(slurp(dir + "/st.jsonl"));
    int runs = 0;
    for (std::string row; std::getline(in, row);) {
        json e = json::parse(row).value("event", json::object());
        if (e.value("kind", "") != "station run" || e.value("phase", "") != "finished") continue;
        ++runs;
        EXPECT_EQ(e["exit_code"], 7);
        EXPECT_EQ(e["result"], "failed");
    }
    EXPECT_EQ(runs, 1);
}

// A line's archive of known rows (imported), as the summary shows it.
class ArchiveSummary : public Orvexctl {
protected:
    void SetUp() override {
        Orvexctl::SetUp();
        std::string rows;
        int n = 0;
        auto op = [&](const std::string& station, const char* kind, int unit, const std::string& utc, int code) {
            const std::string id = "op" + std::to_string(++n);
            json e = {{"operation", id}, {"kind", kind}, {"station", station}, {"unit_tag", "OG"},
                      {"unit_number", unit}};
            json st = e, fin = e;
            st.update({{"uuid", id + "s"}, {"phase", "started"}, {"utc", utc}});
            rows += json{{"event", st}}.dump() + "\n";
            if (code < 0) return;  // interrupted
            fin.update({{"uuid", id + "f"}, {"phase", "finished"}, {"utc", utc}, {"exit_code", code}});
            rows += json{{"event", fin}}.dump() + "\n";
        };
        op(kLong, "burn", 1, "2026-12-01T08:00:00.000000Z", 0);
        op(kLong, "burn", 2, "2026-12-01T09:00:00.000000Z", 6);
        op(kLong, "burn", 3, "2026-12-01T10:00:00.000000Z", 0);
        op(kLong, "burn", 4, "2026-12-01T10:30:00.000000Z", 0);
        op(kLong, "backup", 1, "2026-12-02T08:00:00.000000Z", 0);  // a day without burns
        op("zeta", "burn", 5, "2026-12-02T08:00:00.000000Z", -1);
        spill(dir + "/rows.jsonl", rows);
        ASSERT_EQ(run("--archive line.sqlite archive import rows.jsonl").code, 0);
    }
    static constexpr const char* kLong = "station-7f3c9a2e-1b4d-4c8e-9f00-aa55aa55aa55";
};

TEST_F(ArchiveSummary, TheTableFitsTheTerminalAndTotalsTheLine) {
    struct Case {
        const char* columns;
        bool whole_name;
    } cases[] = {{"200", true}, {"70", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.columns);
        setenv("COLUMNS", c.columns, 1);
        Result r = run("--archive line.sqlite archive summary");
        unsetenv("COLUMNS");
        ASSERT_EQ(r.code, 0) << r.err;
        std::istringstream lines(r.out);
        std::vector<std::string> rows;
        for (std::string l; std::getline(lines, l);) {
            EXPECT_LT(l.size(), static_cast<size_t>(std::stoi(c.columns))) << "[" << l << "]";
            rows.push_back(l);
        }
        // Header; the long station's two days and total; zeta's day and total; the line.
        ASSERT_EQ(rows.size(), 1u + 3 + 2 + 1) << r.out;
        EXPECT_EQ(rows[0].find("station"), 0u);
        EXPECT_EQ(r.out.find(kLong) != std::string::npos, c.whole_name) << r.out;
        if (!c.whole_name) {
            EXPECT_NE(rows[1].find(">  2026-12-01"), std::string::npos) << rows[1];
        }
        auto fields = [](const std::string& l) {
            std::istringstream in(l);
            std::vector<std::string> f;
            for (std::string w; in >> w;) f.push_back(w);
            return f;
        };
        // station, day, units, burns, failed, interrupted, yield
        auto after_station = [&](const std::string& l) {
            std::vector<std::string> f = fields(l);
            return std::vector<std::string>(f.begin() + 1, f.end());
        };
        EXPECT_EQ(after_station(rows[1]), (std::vector<std::string>{"2026-12-01", "4", "4", "1", "0", "75.0%"}));
        EXPECT_EQ(after_station(rows[2]), (std::vector<std::string>{"2026-12-02", "1", "0", "0", "0", "-"}));
        EXPECT_EQ(fields(rows[5]), (std::vector<std::string>{"zeta", "total", "1", "1", "0", "1", "0.0%"}));
        EXPECT_EQ(fields(rows[6]), (std::vector<std::string>{"line", "total", "5", "5", "1", "1", "60.0%"}));
    }
    json j = run_json("--archive line.sqlite archive summary");
    EXPECT_EQ(j["line"]["burns"], 5);
    EXPECT_DOUBLE_EQ(j["line"]["yield"].get<double>(), 0.6);
}

TEST_F(ArchiveSummary, ThePlotHasAPointPerStationDayWithBurns) {
    ASSERT_EQ(run("--archive line.sqlite archive summary --plot y.svg").code, 0);
    const std::string svg = slurp(dir + "/y.svg");
    ASSERT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u) << svg.substr(0, 80);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    size_t points = 0;
    for (size_t at = 0; (at = svg.find("<circle", at)) != std::string::npos; ++at) ++points;
    // The long station's day 1 (75 %) and zeta's day 2 (0 %); the long
    // station's day 2 had no burns and has no point.
    EXPECT_EQ(points, 2u) << svg;
    EXPECT_NE(svg.find("2026-12-01: 75.0% of 4 burn(s)"), std::string::npos);
    EXPECT_NE(svg.find("zeta 2026-12-02: 0.0% of 1 burn(s)"), std::string::npos);
    EXPECT_NE(svg.find(std::string("data-station=\"") + kLong + "\""), std::string::npos);
    // The plot's name is checked before anything is read.
    Result bad = run("--archive line.sqlite archive summary --plot y.txt");
    EXPECT_EQ(bad.code, 2);
    EXPECT_NE(bad.err.find("the plot is SVG"), std::string::npos) << bad.err;
}

TEST_F(Orvexctl, TheArchiveComesFromTheEnvironmentAndIsNeededByItsCommands) {
    Result r = run("archive status");
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("name the archive: --archive FILE|URL or ORVEX_ARCHIVE"), std::string::npos) << r.err;
    ASSERT_EQ(run("backup -o b.json").code, 0);  // no archive: nothing recorded, nothing created
    EXPECT_EQ(slurp(dir + "/env.sqlite"), "");
    setenv("ORVEX_ARCHIVE", (dir + "/env.sqlite").c_str(), 1);
    Result b = run("backup -o c.json");
    json s = run_json("archive status");
    unsetenv("ORVEX_ARCHIVE");
    ASSERT_EQ(b.code, 0) << b.err;
    EXPECT_EQ(s["operations"], 1);
    // An archive that cannot be written costs the burn a note, not its exit code.
    Result bad = run("--archive nowhere/a.sqlite backup -o d.json");
    EXPECT_EQ(bad.code, 0) << bad.err;
    EXPECT_NE(bad.err.find("archive: "), std::string::npos) << bad.err;
    // The archived calibration comes back with an empty backup folder.
    json restored = run_json("--archive env.sqlite --backup-dir empty restore --from-archive");
    EXPECT_EQ(restored["match"], "same");
    EXPECT_EQ(restored["from_archive"]["archive"], "env.sqlite");
    Result both = run("--archive env.sqlite restore c.json --from-archive");
    EXPECT_EQ(both.code, 2);
    EXPECT_NE(both.err.find("a backup FILE or --from-archive, one of the two"), std::string::npos) << both.err;
}

}  // namespace

// orvexctl with an archive: a station burn's workers record each camera's
// burn with its USB identity, history reads a unit back, and export and
// import (of an export, of the backup folder, of a --log file) add each
// row once however often they run.
#include <set>

#include "orvexctl_fixture.h"

using namespace orvexctl_test;

namespace {

TEST_F(Orvexctl, AStationBurnIsRecordedPerCameraAndMovesBetweenArchivesOnce) {
    if (orvex_test::emulated()) GTEST_SKIP() << "fork() under the user-mode emulator";
    shared_device = true;
    firmware_image();
    const std::string cams = "--config '0:serial=A1,usb=1-2,state=a.bin;1:serial=B2,usb=1-3,state=b.bin'";
    Result r = run("--archive st.sqlite --log st.log station burn --allow-reinstall fw.bin --all", cams);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    json s = run_json("--archive st.sqlite archive status", 0, cams);
    EXPECT_EQ(s["operations"], 2);  // one burn per camera; the dump of fw.bin was not archived
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
        const int exported = 4 + 1, backups = 2, log_lines = 3;
        EXPECT_EQ(im["imports"][0]["added"], pass ? 0 : exported);
        EXPECT_EQ(im["imports"][1]["files"], backups);
        // Each backup becomes an event; their calibration is the export's.
        EXPECT_EQ(im["imports"][1]["added"], pass ? 0 : backups);
        EXPECT_EQ(im["imports"][2]["added"], pass ? 0 : log_lines);
        EXPECT_EQ(im["imports"][2]["unknown_lines"], 0);
    }
    json line = run_json("--archive line.sqlite archive status", 0, cams);
    EXPECT_EQ(line["events"], 4 + 2 + 3);
    EXPECT_EQ(line["calibrations"], 1);
    // The station's rows arrive as they were.
    ASSERT_EQ(run("--archive line.sqlite archive export line.jsonl", cams).code, 0);
    const std::string st = slurp(dir + "/st.jsonl"), all = slurp(dir + "/line.jsonl");
    std::istringstream in(st);
    std::string row;
    while (std::getline(in, row)) EXPECT_NE(all.find(row), std::string::npos) << row;
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

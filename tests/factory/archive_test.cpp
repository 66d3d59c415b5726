// The archive as the library's own operations fill it: both rows of every
// operation with the unit's identity, the image's digest checked against
// sha256sum, calibrations kept once per content, an operation killed in
// the middle shown as interrupted, two processes writing at once, and the
// schema rules (an archive of a newer schema refused untouched, a version 1
// file migrated with its rows intact). The archive is read back with
// SQLite itself, not through the library.
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>

#include "factory_test.h"
#include "sqlite_rows.h"
#include "images/identification.h"

namespace factory_test {
namespace {

std::vector<std::vector<std::string>> query(const std::string& file, const std::string& sql) {
    return orvex_test::sqlite_rows(file, sql);
}

void exec(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
}

std::string sha256sum(const Bytes& data, const std::string& dir) {
    const std::string f = dir + "/digest.bin";
    std::ofstream(f, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
    FILE* p = popen(("sha256sum '" + f + "'").c_str(), "r");
    char buf[65] = "";
    if (!p || fread(buf, 1, 64, p) != 64) ADD_FAILURE() << "sha256sum did not answer";
    if (p) pclose(p);
    return buf;
}

class Archive : public FactoryTest {
protected:
    void SetUp() override {
        FactoryTest::SetUp();
        file = dir + "/line.sqlite";
    }
    OrvexFactorySession* archived() {
        OrvexFactorySession* s = session();
        EXPECT_TRUE(OrvexFactory_SetArchive(s, file.c_str()));
        return s;
    }
    Outcome backup(OrvexFactorySession* s = nullptr) {
        OrvexFactoryResult* r = nullptr;
        return take(OrvexFactory_Backup(s ? s : archived(), nullptr, &r), r);
    }
    Outcome burn(const Bytes& img, OrvexFactorySession* s = nullptr) {
        OrvexFactoryBurnOptions o;
        OrvexFactory_BurnOptionsInit(&o);
        o.image_name = "fw.bin";
        o.allow_reinstall = 1;  // the camera's own firmware again
        OrvexFactoryResult* r = nullptr;
        return take(OrvexFactory_Burn(s ? s : archived(), img.data(), static_cast<LONG>(img.size()), &o, &r), r);
    }
    Outcome status(const std::string& where) {
        OrvexFactoryResult* r = nullptr;
        return take(OrvexFactory_ArchiveStatus(where.c_str(), &r), r);
    }
    Outcome history(const char* unit) {
        OrvexFactoryResult* r = nullptr;
        return take(OrvexFactory_ArchiveHistory(file.c_str(), unit, &r), r);
    }
    // The shipped firmware area with some code changed.
    Bytes image() {
        const Bytes f = flash();
        Bytes img(f.begin(), f.begin() + 0x30000);
        for (size_t a = 0x20000; a < 0x22000; ++a) img[a] = static_cast<uint8_t>((a * 5) & 0x7E);
        return img;
    }
    // Frees every session, and with them the camera lock another process needs.
    void release() {
        for (OrvexFactorySession* s : sessions) OrvexFactory_Free(s);
        sessions.clear();
    }
    std::string unit() {
        Outcome o = backup(session());
        return o.doc["device"]["unit"]["tag"].get<std::string>() + " " +
               std::to_string(o.doc["device"]["unit"]["number"].get<int>());
    }
    std::string file;
};

TEST_F(Archive, EveryOperationLeavesAStartedAndAFinishedRowWithTheUnitsIdentity) {
    const std::string u = unit();
    const Bytes img = image();
    ASSERT_EQ(backup().status, ORVEX_FACTORY_OK);
    Outcome b = burn(img);
    ASSERT_EQ(b.status, ORVEX_FACTORY_OK) << b.message;
    EXPECT_EQ(b.doc["archive"]["recorded"], true) << b.doc.dump();
    OrvexFactoryResult* r = nullptr;
    const Bytes f = flash();
    Outcome v = take(OrvexFactory_FlashVerify(archived(), 0, f.data(), 0x1000, &r), r);
    ASSERT_EQ(v.status, ORVEX_FACTORY_OK) << v.message;
    // A refused burn (an image too short for the chip) is an event too.
    Outcome refused = burn(Bytes(img.begin(), img.begin() + 0x100));
    ASSERT_NE(refused.status, ORVEX_FACTORY_OK);

    auto ops = query(file, "SELECT kind, phase, unit_tag || ' ' || unit_number, exit_code, image_name, image_length, "
                           "chip FROM events ORDER BY utc, phase DESC");
    ASSERT_EQ(ops.size(), 8u);
    const char* kinds[] = {"backup", "burn", "verify", "burn"};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ops[2 * i][0], kinds[i]);
        EXPECT_EQ(ops[2 * i][1], "started");
        EXPECT_EQ(ops[2 * i + 1][1], "finished");
        EXPECT_EQ(ops[2 * i + 1][3], i == 3 ? std::to_string(refused.status) : "0");
        if (i < 3) {
            EXPECT_NE(ops[2 * i + 1][6], "NULL");  // the chip
        }
    }
    // The unit is known before the burn writes: on its started row too.
    EXPECT_EQ(ops[2][2], u);
    EXPECT_EQ(ops[3][2], u);
    EXPECT_EQ(ops[3][4], "fw.bin");
    EXPECT_EQ(ops[3][5], std::to_string(img.size()));
    auto digest = query(file, "SELECT image_sha256, method, verification, firmware_before, result_json FROM events "
                              "WHERE kind = 'burn' AND phase = 'finished' ORDER BY utc");
    EXPECT_EQ(digest[0][0], sha256sum(img, dir));
    EXPECT_EQ(digest[0][1], "sector");
    EXPECT_EQ(digest[0][2], "full");
    EXPECT_NE(digest[0][3], "NULL");
    EXPECT_EQ(json::parse(digest[0][4])["image"], "fw.bin");
    // Every row its own UUID, both rows of one operation one operation id.
    EXPECT_EQ(query(file, "SELECT COUNT(DISTINCT uuid), COUNT(DISTINCT operation) FROM events")[0],
              (std::vector<std::string>{"8", "4"}));

    Outcome h = history(u.c_str());
    ASSERT_EQ(h.status, ORVEX_FACTORY_OK) << h.message;
    ASSERT_EQ(h.doc["operations"].size(), 3u);  // the refused burn came before the identity was read
    EXPECT_EQ(h.doc["operations"][1]["kind"], "burn");
    EXPECT_EQ(h.doc["operations"][1]["state"], "ok");
    EXPECT_EQ(h.doc["operations"][1]["image_sha256"], sha256sum(img, dir));
    // The archive refuses to rewrite what it holds.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    for (const char* sql : {"UPDATE events SET exit_code = 0", "DELETE FROM events", "DELETE FROM calibrations"})
        EXPECT_NE(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    sqlite3_close(db);
}

TEST_F(Archive, TheImageDigestIsSha256OverEveryLengthOfTail) {
    // Lengths either side of the padding's block boundaries.
    const Bytes f = flash();
    for (long len : {1L, 55L, 56L, 63L, 64L, 65L, 119L, 120L, 4096L}) {
        SCOPED_TRACE(len);
        OrvexFactoryResult* r = nullptr;
        take(OrvexFactory_FlashVerify(archived(), 0, f.data(), len, &r), r);
        auto got = query(file, "SELECT image_sha256 FROM events WHERE phase = 'finished' AND image_length = " +
                                   std::to_string(len));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0][0], sha256sum(Bytes(f.begin(), f.begin() + len), dir));
    }
}

TEST_F(Archive, ACalibrationIsKeptOncePerContentAndTheUnitsFirstStaysMarked) {
    const std::string u = unit();
    ASSERT_EQ(backup().status, ORVEX_FACTORY_OK);
    ASSERT_EQ(backup().status, ORVEX_FACTORY_OK);
    ASSERT_EQ(burn(image()).status, ORVEX_FACTORY_OK);  // its backup holds the same calibration
    EXPECT_EQ(query(file, "SELECT COUNT(*) FROM calibrations")[0][0], "1");
    const std::string first = query(file, "SELECT sha256 FROM calibrations")[0][0];
    Bytes f = flash();
    f[0x30010] ^= 0x5A;  // a calibration changed on the unit
    set_flash(f);
    ASSERT_EQ(backup().status, ORVEX_FACTORY_OK);
    EXPECT_EQ(query(file, "SELECT COUNT(*) FROM calibrations")[0][0], "2");
    // The digest is over the raw bytes the calibration row keeps.
    auto raw = query(file, "SELECT hex(raw), sha256 FROM calibrations WHERE sha256 <> '" + first + "'");
    ASSERT_EQ(raw.size(), 1u);
    Bytes bytes;
    for (size_t i = 0; i + 1 < raw[0][0].size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(raw[0][0].substr(i, 2), nullptr, 16)));
    EXPECT_EQ(raw[0][1], sha256sum(bytes, dir));
    Outcome h = history(u.c_str());
    ASSERT_EQ(h.doc["calibrations"].size(), 2u);
    EXPECT_EQ(h.doc["calibrations"][0]["sha256"], first);
    EXPECT_EQ(h.doc["calibrations"][0]["first"], true);
    EXPECT_FALSE(h.doc["calibrations"][1].contains("first"));
    // Each finished backup names the calibration it saw.
    EXPECT_EQ(query(file, "SELECT COUNT(DISTINCT calibration_sha256) FROM events WHERE kind = 'backup' AND "
                          "phase = 'finished'")[0][0],
              "2");
}

TEST_F(Archive, ACameraGetsItsUnitsCalibrationBackFromTheArchiveOnAnyStation) {
    const Bytes shipped = flash();
    ASSERT_EQ(backup().status, ORVEX_FACTORY_OK);
    Bytes f = shipped;
    for (long a = 0x30000; a < 0x30100; ++a) f[a] = 0xFF;  // the calibration lost
    set_flash(f);
    release();
    // A second station: an empty backup folder, the line's archive.
    OrvexFactorySession* s = OrvexFactory_New(0);
    OrvexFactory_SetBackupDir(s, (dir + "/elsewhere").c_str());
    OrvexFactory_SetArchive(s, file.c_str());
    OrvexFactoryResult* r = nullptr;
    Outcome o = take(OrvexFactory_RestoreFromArchive(s, 0, &r), r);
    ASSERT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
    EXPECT_EQ(o.doc["match"], "same");
    EXPECT_TRUE(flash() == shipped);
    EXPECT_EQ(query(file, "SELECT COUNT(*) FROM events WHERE kind = 'restore' AND phase = 'finished' AND "
                          "exit_code = 0")[0][0],
              "1");

    // A camera without identity is refused, forced or not.
    struct Case {
        const char* name;
        std::function<void(Bytes&)> change;
        const char* why;
    } cases[] = {
        {"no identity", [](Bytes& b) { vcam::clear_identification(b); }, "carries no identification block"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes g = shipped;
        c.change(g);
        set_flash(g);
        const Bytes before = flash();
        OrvexFactorySession* other = OrvexFactory_New(0);
        OrvexFactory_SetArchive(other, file.c_str());
        Outcome refused = take(OrvexFactory_RestoreFromArchive(other, ORVEX_FACTORY_FORCE, &r), r);
        OrvexFactory_Free(other);
        EXPECT_EQ(refused.status, ORVEX_FACTORY_REFUSED);
        EXPECT_NE(refused.message.find(c.why), std::string::npos) << refused.message;
        EXPECT_TRUE(flash() == before);
    }
    OrvexFactory_Free(s);
}

TEST_F(Archive, AnArchiveThatCannotBeWrittenNeverChangesTheOutcome) {
    const Bytes img = image();
    for (const std::string& where :
         {dir + "/no such folder/a.sqlite", dir + "/not-a-database", std::string("postgresql:///line")}) {
        SCOPED_TRACE(where);
        std::ofstream(dir + "/not-a-database") << "this is a text file, not an archive\n";
        OrvexFactorySession* s = session();
        OrvexFactory_SetArchive(s, where.c_str());
        notes.clear();
        Outcome b = burn(img, s);
        ASSERT_EQ(b.status, ORVEX_FACTORY_OK) << b.message;
        EXPECT_EQ(b.doc["archive"]["recorded"], false);
        EXPECT_FALSE(b.doc["archive"]["error"].get<std::string>().empty());
        bool told = false;
        for (const std::string& n : notes) told |= n.rfind("archive: ", 0) == 0;
        EXPECT_TRUE(told);
    }
    std::ifstream in(dir + "/not-a-database");
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "this is a text file, not an archive");
}

TEST_F(Archive, AnOperationThatNeverFinishedIsInterrupted) {
    if (orvex_test::emulated()) GTEST_SKIP() << "needs fork";
    const std::string u = unit();
    const Bytes img = image();
    release();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The station loses power while the flash is being programmed.
        OrvexFactorySession* s = archived();
        OrvexFactory_SetProgress(
            s, [](void*, const char* phase, LONG, LONG) {
                if (std::string(phase) == "program") _exit(0);
            },
            nullptr);
        burn(img, s);
        _exit(1);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "the burn never reached its program phase";
    ASSERT_EQ(backup().status, ORVEX_FACTORY_OK);
    Outcome s = status(file);
    ASSERT_EQ(s.status, ORVEX_FACTORY_OK) << s.message;
    EXPECT_EQ(s.doc["interrupted"], 1);
    EXPECT_EQ(s.doc["operations"], 2);
    Outcome h = history(u.c_str());
    ASSERT_EQ(h.doc["operations"].size(), 2u);
    EXPECT_EQ(h.doc["operations"][0]["kind"], "burn");
    EXPECT_EQ(h.doc["operations"][0]["state"], "interrupted");
    EXPECT_EQ(h.doc["operations"][1]["state"], "ok");
}

TEST_F(Archive, TwoProcessesWritingAtOnceLoseNothing) {
    if (orvex_test::emulated()) GTEST_SKIP() << "needs fork";
    constexpr int kEach = 15;
    ASSERT_EQ(backup().status, ORVEX_FACTORY_OK);  // the file exists: both children start on its schema
    release();
    std::vector<pid_t> kids;
    for (int k = 0; k < 2; ++k) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Each child has its own copy of the camera, and its own lock folder.
            setenv("ORVEX_LOCK_DIR", (dir + "/lock" + std::to_string(k)).c_str(), 1);
            mkdir((dir + "/lock" + std::to_string(k)).c_str(), 0700);
            int bad = 0;
            for (int i = 0; i < kEach; ++i) {
                Outcome o = backup();
                if (o.status != ORVEX_FACTORY_OK || o.doc["archive"]["recorded"] != true) {
                    ++bad;
                    std::fprintf(stderr, "%s %s\n", o.message.c_str(), o.doc.value("archive", json()).dump().c_str());
                }
            }
            _exit(bad);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int st = 0;
        waitpid(pid, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "unrecorded backups: " << WEXITSTATUS(st);
    }
    EXPECT_EQ(query(file, "SELECT COUNT(*), COUNT(DISTINCT uuid) FROM events")[0],
              (std::vector<std::string>{std::to_string(2 * (2 * kEach + 1)), std::to_string(2 * (2 * kEach + 1))}));
    EXPECT_EQ(status(file).doc["interrupted"], 0);
}

TEST_F(Archive, ANewerSchemaIsRefusedAndLeftAsItIs) {
    ASSERT_EQ(backup().status, ORVEX_FACTORY_OK);
    exec(file, "INSERT INTO schema_version (version, utc, tool) VALUES (99, '2030-01-01', 'a newer tool')");
    auto before = query(file, "SELECT * FROM events ORDER BY uuid");
    Outcome s = status(file);
    EXPECT_EQ(s.status, ORVEX_FACTORY_FILE);
    EXPECT_NE(s.message.find("schema version 99, newer than this library knows"), std::string::npos) << s.message;
    Outcome b = backup();
    EXPECT_EQ(b.status, ORVEX_FACTORY_OK);
    EXPECT_EQ(b.doc["archive"]["recorded"], false);
    EXPECT_EQ(query(file, "SELECT * FROM events ORDER BY uuid"), before);
    EXPECT_EQ(query(file, "SELECT MAX(version) FROM schema_version")[0][0], "99");
}

// The first released schema, as a station's file holds it.
const char* kVersion1 =
    "CREATE TABLE schema_version (version BIGINT PRIMARY KEY, utc TEXT NOT NULL, tool TEXT NOT NULL);"
    "INSERT INTO schema_version VALUES (1, '2026-01-05T08:00:00.000000Z', 'libOrvexFactory 1.0.0');"
    "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "INSERT INTO meta VALUES ('station', 'station-a');"
    "CREATE TABLE events (uuid TEXT PRIMARY KEY, operation TEXT NOT NULL, phase TEXT NOT NULL, kind TEXT NOT NULL, "
    "station TEXT NOT NULL, host TEXT, operator TEXT, tool_version TEXT, command TEXT, utc TEXT NOT NULL, node TEXT, "
    "usb_serial TEXT, usb_path TEXT, chip TEXT, unit_tag TEXT, unit_number BIGINT, id_blocks TEXT, image_name TEXT, "
    "image_length BIGINT, image_sha256 TEXT, firmware_before TEXT, firmware_after TEXT, method TEXT, "
    "verification TEXT, result TEXT, exit_code BIGINT, result_json TEXT);"
    "INSERT INTO events (uuid, operation, phase, kind, station, utc, unit_tag, unit_number, exit_code) VALUES "
    "('u1', 'op1', 'started', 'burn', 'station-a', '2026-01-05T09:00:00.000000Z', 'OG', 7, NULL),"
    "('u2', 'op1', 'finished', 'burn', 'station-a', '2026-01-05T09:01:00.000000Z', 'OG', 7, 0),"
    "('u3', 'op2', 'started', 'burn', 'station-a', '2026-01-06T09:00:00.000000Z', 'OG', 7, NULL);";

TEST_F(Archive, AVersion1FileMigratesWithItsRowsIntact) {
    exec(file, kVersion1);
    auto before = query(file, "SELECT * FROM events ORDER BY uuid");
    Outcome s = status(file);
    ASSERT_EQ(s.status, ORVEX_FACTORY_OK) << s.message;
    EXPECT_EQ(s.doc["schema_version"], 2);
    EXPECT_EQ(s.doc["station"], "station-a");  // the station keeps its id
    EXPECT_EQ(s.doc["interrupted"], 1);
    // Every old column and value as it was; the new column empty.
    auto after = query(file, "SELECT * FROM events ORDER BY uuid");
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(std::vector<std::string>(after[i].begin(), after[i].begin() + before[i].size()), before[i]);
        EXPECT_EQ(after[i].back(), "NULL");
    }
    EXPECT_EQ(query(file, "SELECT version FROM schema_version ORDER BY version"),
              (std::vector<std::vector<std::string>>{{"1"}, {"2"}}));
    Outcome h = history("OG 7");
    ASSERT_EQ(h.doc["operations"].size(), 2u);
    EXPECT_EQ(h.doc["operations"][0]["state"], "ok");
    EXPECT_EQ(h.doc["operations"][1]["state"], "interrupted");
    // A migration that fails (a column in its way) changes nothing.
    const std::string other = dir + "/blocked.sqlite";
    exec(other, std::string(kVersion1) + "ALTER TABLE events ADD COLUMN calibration_sha256 INTEGER;");
    Outcome blocked = status(other);
    EXPECT_EQ(blocked.status, ORVEX_FACTORY_FILE);
    EXPECT_NE(blocked.message.find("could not be migrated from schema version 1 to 2"), std::string::npos)
        << blocked.message;
    EXPECT_EQ(query(other, "SELECT MAX(version) FROM schema_version")[0][0], "1");
    EXPECT_EQ(query(other, "SELECT COUNT(*) FROM events")[0][0], "3");
}

}  // namespace
}  // namespace factory_test

namespace factory_test {
namespace {

TEST_F(Archive, ABurnsFinishedRowCarriesTheFirmwareBeforeAndAfter) {
    // The shipped code version is V1501 (at 0x1F3 on this chip); the image
    // brings V1510, so the two versions differ only if each was read at its
    // own time.
    Bytes img = image();
    std::memcpy(&img[0x1F3], "V1510", 5);
    Outcome b = burn(img);
    ASSERT_EQ(b.status, ORVEX_FACTORY_OK) << b.message;
    auto rows = query(file, "SELECT phase, firmware_before, firmware_after FROM events WHERE kind = 'burn' "
                            "ORDER BY utc, phase DESC");
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_NE(rows[1][1], "NULL");
    ASSERT_NE(rows[1][2], "NULL");
    EXPECT_EQ(json::parse(rows[1][1])["code"], "V1501");
    EXPECT_EQ(json::parse(rows[1][2])["code"], "V1510");
    // The started row is written before anything changes: no "after" yet.
    EXPECT_EQ(rows[0][2], "NULL");
    Outcome h = history(unit().c_str());
    EXPECT_EQ(json::parse(h.doc["operations"][0]["firmware_after"].get<std::string>())["code"], "V1510");
}

// Restoring from the archive takes the calibration of the camera's own
// unit on the camera's own chip: a camera of another unit or chip, or one
// that carries no identity, finds nothing of its own and is refused, forced
// or not; an archived document that is not the unit's own (its row says
// one unit, the backup another) meets the identity rule of every restore.
TEST_F(Archive, RestoringFromTheArchiveKeepsTheIdentityRule) {
    const Bytes shipped = flash();
    const std::string u = unit();
    ASSERT_EQ(backup().status, ORVEX_FACTORY_OK);
    release();
    struct Case {
        const char* name;
        std::function<void(vcam::Profile&)> change;
        const char* why;
    } cases[] = {
        {"another unit",
         [](vcam::Profile& p) {
             vcam::clear_identification(p.flash);
             vcam::write_identification(p.flash, 1, "OG", "000124");
         },
         "holds no good calibration of unit"},
        {"another chip", [](vcam::Profile& p) { p.chip_id = 0x16; }, "on chip 0x16"},
        {"no identity", [](vcam::Profile& p) { vcam::clear_identification(p.flash); },
         "carries no identification block"},
    };
    for (const Case& c : cases) {
        for (unsigned flags : {0u, static_cast<unsigned>(ORVEX_FACTORY_FORCE)}) {
            SCOPED_TRACE(std::string(c.name) + (flags ? ", forced" : ""));
            vcam::Profile p = vcam::default_profile();
            p.flash = shipped;
            for (long a = 0x30000; a < 0x30100; ++a) p.flash[a] = 0xFF;  // a calibration to bring back
            c.change(p);
            vcam::attach(0, p);
            const Bytes before = flash();
            OrvexFactorySession* s = OrvexFactory_New(0);
            OrvexFactory_SetArchive(s, file.c_str());
            OrvexFactoryResult* r = nullptr;
            Outcome o = take(OrvexFactory_RestoreFromArchive(s, flags, &r), r);
            OrvexFactory_Free(s);
            EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED) << o.message;
            EXPECT_NE(o.message.find(c.why), std::string::npos) << o.message;
            EXPECT_TRUE(flash() == before);
        }
    }

    // Another unit's backup filed under this unit: the document decides.
    vcam::Profile other = vcam::default_profile();
    other.flash = shipped;
    vcam::clear_identification(other.flash);
    vcam::write_identification(other.flash, 1, "OG", "000124");
    vcam::attach(0, other);
    const std::string theirs = dir + "/theirs.sqlite";
    {
        OrvexFactorySession* s = OrvexFactory_New(0);
        OrvexFactory_SetBackupDir(s, (dir + "/theirs").c_str());
        OrvexFactory_SetArchive(s, theirs.c_str());
        OrvexFactoryResult* r = nullptr;
        ASSERT_EQ(take(OrvexFactory_Backup(s, nullptr, &r), r).status, ORVEX_FACTORY_OK);
        ASSERT_EQ(take(OrvexFactory_ArchiveExport(theirs.c_str(), (dir + "/theirs.jsonl").c_str(), &r), r).status,
                  ORVEX_FACTORY_OK);
        OrvexFactory_Free(s);
    }
    const std::string mine_number = u.substr(u.find(' ') + 1);
    std::ifstream in(dir + "/theirs.jsonl");
    std::ofstream out(dir + "/misfiled.jsonl");
    for (std::string line; std::getline(in, line);) {
        json row = json::parse(line);
        if (row.contains("calibration")) row["calibration"]["unit_number"] = std::stoll(mine_number);
        out << row.dump() << "\n";
    }
    out.close();
    const std::string misfiled = dir + "/misfiled.sqlite";
    OrvexFactoryResult* r = nullptr;
    ASSERT_EQ(take(OrvexFactory_ArchiveImport(misfiled.c_str(), (dir + "/misfiled.jsonl").c_str(), &r), r).status,
              ORVEX_FACTORY_OK);
    vcam::Profile mine = vcam::default_profile();
    mine.flash = shipped;
    mine.flash[0x30010] ^= 0x5A;
    vcam::attach(0, mine);
    const Bytes before = flash();
    for (unsigned flags : {0u, static_cast<unsigned>(ORVEX_FACTORY_FORCE)}) {
        SCOPED_TRACE(flags ? "misfiled, forced" : "misfiled");
        OrvexFactorySession* s = OrvexFactory_New(0);
        OrvexFactory_SetBackupDir(s, (dir + "/mine").c_str());
        OrvexFactory_SetArchive(s, misfiled.c_str());
        Outcome o = take(OrvexFactory_RestoreFromArchive(s, flags, &r), r);
        OrvexFactory_Free(s);
        if (!flags) {
            EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED) << o.message;
            EXPECT_TRUE(flash() == before);
        } else {
            ASSERT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
            EXPECT_EQ(o.doc["forced"], true);
            EXPECT_EQ(o.doc["unit"]["number"], 124);
        }
    }
}

}  // namespace
}  // namespace factory_test

// A line of stations and its database, against a real throwaway server:
// stations write their own file first and forward what the line lacks, so
// a server killed, unreachable, refusing a batch or hung loses nothing and
// never changes an operation's exit code; every row reaches the line
// exactly once however a forward is interrupted; stations forward and
// migrate the line at once; a line of a newer schema is left alone; and a
// second station restores a unit's calibration from the line.

#include <chrono>
#include <set>
#include <thread>

#include "orvexctl_fixture.h"
#include "pg_cluster.h"
#include "sqlite_rows.h"

using namespace orvexctl_test;
using orvex_test::PgCluster;

namespace {

std::set<std::string> column(const std::vector<std::vector<std::string>>& rows) {
    std::set<std::string> out;
    for (const auto& r : rows) out.insert(r.at(0));
    return out;
}

std::vector<std::vector<std::string>> local(const std::string& file, const std::string& sql) {
    return orvex_test::sqlite_rows(file, sql);
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

class Line : public Orvexctl {
protected:
    static constexpr double kDeadline = 2;
    void SetUp() override {
        Orvexctl::SetUp();
        pg = PgCluster::shared();
        if (!pg) GTEST_SKIP() << PgCluster::why_not();
        line = pg->new_database();
        setenv("ORVEX_ARCHIVE_TIMEOUT", "2", 1);
    }
    void TearDown() override {
        if (pg) {
            pg->resume();
            pg->start();  // a test that killed it leaves it to the next one running
        }
        unsetenv("ORVEX_ARCHIVE_TIMEOUT");
        Orvexctl::TearDown();
    }
    std::string with_line(const std::string& file, const std::string& url = "") const {
        return "--archive " + file + " --line '" + (url.empty() ? line : url) + "' ";
    }
    std::set<std::string> line_uuids() { return column(PgCluster::query(line, "SELECT uuid FROM events")); }
    std::set<std::string> station_uuids(const std::string& file) {
        return column(local(dir + "/" + file, "SELECT uuid FROM events"));
    }
    // N events of a made-up station as an export's JSON lines, imported
    // into FILE: a station's worth of history without a camera.
    void history(const std::string& file, int n, const std::string& station, int first = 0) {
        std::string text;
        for (int i = first; i < first + n; ++i) {
            char uuid[40];
            std::snprintf(uuid, sizeof uuid, "00000000-0000-4000-8000-%012d", i);
            json e = {{"uuid", uuid},          {"operation", uuid}, {"phase", "finished"}, {"kind", "verify"},
                      {"station", station},    {"utc", "2026-01-01T00:00:00.000000Z"},     {"exit_code", 0},
                      {"result", "ok"},        {"unit_tag", "OG"},  {"unit_number", i}};
            text += json{{"event", e}}.dump() + "\n";
        }
        spill(dir + "/" + file + ".jsonl", text);
        ASSERT_EQ(run("--archive " + file + " archive import " + file + ".jsonl").code, 0);
    }
    void expect_line_holds_exactly(const std::string& file) {
        const auto want = station_uuids(file);
        EXPECT_EQ(line_uuids(), want);
        EXPECT_EQ(PgCluster::query(line, "SELECT COUNT(*) FROM events")[0][0], std::to_string(want.size()));
        EXPECT_EQ(column(PgCluster::query(line, "SELECT sha256 FROM calibrations")),
                  column(local(dir + "/" + file, "SELECT sha256 FROM calibrations")));
        EXPECT_EQ(run_json("--archive " + file + " archive status")["pending"], 0);
    }
    PgCluster* pg = nullptr;
    std::string line;
};

TEST_F(Line, AStationLosesNothingWhileTheLineIsDownAndCatchesUpOnSync) {
    shared_device = true;
    firmware_image();
    const std::string cams = "--config '0:serial=A1,usb=1-2,state=a.bin;1:serial=B2,usb=1-3,state=b.bin'";
    const std::string burn = "station burn --allow-reinstall fw.bin --all";
    Result up = run(with_line("st.sqlite") + burn, cams);
    ASSERT_EQ(up.code, 0) << up.out << up.err;
    EXPECT_EQ(up.err.find("not forwarded"), std::string::npos) << up.err;
    expect_line_holds_exactly("st.sqlite");

    // Killed while the next run goes on, then down for a third.
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        pg->kill_server();
    });
    Result mid = run(with_line("st.sqlite") + burn, cams);
    killer.join();
    Result down = run(with_line("st.sqlite") + burn, cams);
    EXPECT_EQ(mid.code, 0) << mid.err;
    ASSERT_EQ(down.code, 0) << down.err;
    // Each camera's worker says so in its log.
    const std::string worker_log = slurp(dir + "/station-burn-A1.log");
    EXPECT_NE(worker_log.find("not forwarded to the line database"), std::string::npos) << worker_log;
    json st = run_json("--archive st.sqlite archive status");
    EXPECT_EQ(st["operations"], 9);  // three station runs of two burns each
    EXPECT_GE(st["pending"].get<int>(), 4);  // the third run's two burns at least
    EXPECT_EQ(st["line"], line);
    EXPECT_TRUE(st["last_forward_error"].is_string()) << st.dump();
    Result text = run("--archive st.sqlite archive status");
    EXPECT_NE(text.out.find("  line: " + line), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("failed: "), std::string::npos) << text.out;

    Result refused = run(with_line("st.sqlite") + "archive sync");
    EXPECT_EQ(refused.code, 5) << refused.err;
    EXPECT_NE(refused.err.find("still pending"), std::string::npos) << refused.err;

    pg->start();
    Result sync = run(with_line("st.sqlite") + "archive sync");
    ASSERT_EQ(sync.code, 0) << sync.err;
    EXPECT_NE(sync.out.find(", 0 still pending"), std::string::npos) << sync.out;
    expect_line_holds_exactly("st.sqlite");
    json again = run_json(with_line("st.sqlite") + "archive sync");
    EXPECT_EQ(again["sent"], 0);
    EXPECT_EQ(run_json("--archive st.sqlite archive status")["last_forward_error"], nullptr);
}

// Each fault stops a forward at another step; the next sync completes it
// and the line holds every row of the station once. 1,300 rows are three
// batches, so a fault in the second leaves the first one forwarded.
TEST_F(Line, AFaultAtAnyStepOfAForwardLeavesEveryRowOnTheLineOnce) {
    struct Fault {
        const char* name;
        const char* plant;  // on the line, after its schema is there ("" none)
        bool unreachable;   // the sync goes to a server that is not there
        bool mark_lost;     // the line committed, the station's mark is lost
        long long forwarded_before;  // what the failed sync got through
    };
    const Fault faults[] = {
        {"the line cannot be reached", "", true, false, 0},
        {"the line refuses the 700th row",
         "CREATE FUNCTION planted() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF (SELECT COUNT(*) FROM events) >= "
         "700 THEN RAISE EXCEPTION 'planted fault'; END IF; RETURN NEW; END $$; CREATE TRIGGER planted BEFORE INSERT "
         "ON events FOR EACH ROW EXECUTE FUNCTION planted()",
         false, false, 500},
        {"the connection drops at the 700th row",
         "CREATE FUNCTION planted() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF (SELECT COUNT(*) FROM events) >= "
         "700 THEN PERFORM pg_terminate_backend(pg_backend_pid()); END IF; RETURN NEW; END $$; CREATE TRIGGER "
         "planted BEFORE INSERT ON events FOR EACH ROW EXECUTE FUNCTION planted()",
         false, false, 500},
        // The state a station is in when it died between the line's COMMIT
        // and its own mark: every row on the line, none marked here.
        {"the line committed but the station's mark was lost", "", false, true, 1300},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        line = pg->new_database();
        const std::string file = "st" + std::to_string(&f - faults) + ".sqlite";
        history(file, 1300, "s1");
        ASSERT_EQ(run("--archive '" + line + "' archive status").code, 0);  // the line's schema
        if (*f.plant) PgCluster::query(line, f.plant);
        const std::string nowhere = "postgresql:///postgres?host=" + dir + "/no-server&user=postgres";
        Result first = run(with_line(file, f.unreachable ? nowhere : "") + "archive sync");
        if (f.mark_lost) {
            ASSERT_EQ(first.code, 0) << first.err;
            local(dir + "/" + file, "DELETE FROM forwarded");
        } else {
            EXPECT_EQ(first.code, 5) << first.err;
            // A line database's failure is told as its own, not as a camera's.
            EXPECT_EQ(first.err.find("camera"), std::string::npos) << first.err;
            // Rows that got through are told as such; none, not at all.
            if (f.forwarded_before > 0)
                EXPECT_NE(first.err.find(std::to_string(f.forwarded_before) + " row(s) sent to "), std::string::npos)
                    << first.err;
            else
                EXPECT_EQ(first.err.find(" sent to "), std::string::npos) << first.err;
        }
        EXPECT_EQ(PgCluster::query(line, "SELECT COUNT(*) FROM events")[0][0], std::to_string(f.forwarded_before));
        json st = run_json("--archive " + file + " archive status");
        EXPECT_EQ(st["pending"], 1300 - (f.mark_lost ? 0 : f.forwarded_before));
        if (*f.plant) PgCluster::query(line, "DROP TRIGGER planted ON events");
        json sync = run_json(with_line(file) + "archive sync");
        EXPECT_EQ(sync["sent"], 1300 - (f.mark_lost ? 0 : f.forwarded_before));
        EXPECT_EQ(sync["pending"], 0);
        expect_line_holds_exactly(file);
    }
}

TEST_F(Line, AHungLineCostsABurnAndASyncAtMostTheDeadline) {
    firmware_image();
    auto t = std::chrono::steady_clock::now();
    ASSERT_EQ(run("--archive st.sqlite burn --allow-reinstall fw.bin").code, 0);
    const double alone = seconds_since(t);
    pg->pause();
    t = std::chrono::steady_clock::now();
    Result burn = run(with_line("st.sqlite") + "burn --allow-reinstall fw.bin");
    const double hung = seconds_since(t);
    t = std::chrono::steady_clock::now();
    Result sync = run(with_line("st.sqlite") + "archive sync");
    const double sync_s = seconds_since(t);
    pg->resume();
    EXPECT_EQ(burn.code, 0) << burn.err;
    EXPECT_NE(burn.err.find("did not answer within 2 s"), std::string::npos) << burn.err;
    EXPECT_LT(hung, alone + kDeadline + 1.5);
    EXPECT_EQ(sync.code, 5) << sync.err;
    EXPECT_LT(sync_s, kDeadline + 1.5);
    EXPECT_GE(sync_s, kDeadline - 0.1);  // it did wait for the server
    ASSERT_EQ(run(with_line("st.sqlite") + "archive sync").code, 0);
    expect_line_holds_exactly("st.sqlite");
}

TEST_F(Line, TwoStationsForwardAtOnceAndTheSameForwardTwiceAddsNothing) {
    // 100 rows both stations hold (imported from one export) and 1,000 of
    // each one's own.
    history("a.sqlite", 1100, "a", 0);
    history("b.sqlite", 1000, "b", 1100);
    history("b.sqlite", 100, "a", 0);
    auto bg = [&](const std::string& file, const std::string& tag) {
        return "(" + command(with_line(file) + "archive sync") + ") >'" + dir + "/" + tag + ".out' 2>&1; echo $? >'" +
               dir + "/" + tag + ".rc'";
    };
    const std::string both = "(" + bg("a.sqlite", "a") + ") & (" + bg("b.sqlite", "b") + ") & wait";
    ASSERT_EQ(std::system(both.c_str()), 0);
    EXPECT_EQ(slurp(dir + "/a.rc"), "0\n") << slurp(dir + "/a.out");
    EXPECT_EQ(slurp(dir + "/b.rc"), "0\n") << slurp(dir + "/b.out");
    std::set<std::string> all = station_uuids("a.sqlite");
    for (const std::string& u : station_uuids("b.sqlite")) all.insert(u);
    EXPECT_EQ(all.size(), 2100u);
    EXPECT_EQ(line_uuids(), all);
    for (const char* file : {"a.sqlite", "b.sqlite"}) {
        local(dir + "/" + file, "DELETE FROM forwarded");  // as if never acknowledged
        json again = run_json(with_line(file) + "archive sync");
        EXPECT_EQ(again["pending"], 0);
    }
    EXPECT_EQ(PgCluster::query(line, "SELECT COUNT(*) FROM events")[0][0], "2100");
}

TEST_F(Line, StationsMigrateANewLineAtOnceToOneAppendOnlySchema) {
    std::string cmd;
    for (int i = 0; i < 6; ++i)
        cmd += "((" + command("--archive '" + line + "' archive status") + ") >/dev/null 2>'" + dir + "/m" +
               std::to_string(i) + ".err'; echo $? >'" + dir + "/m" + std::to_string(i) + ".rc') & ";
    ASSERT_EQ(std::system((cmd + "wait").c_str()), 0);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(slurp(dir + "/m" + std::to_string(i) + ".rc"), "0\n") << slurp(dir + "/m" + std::to_string(i) + ".err");
    EXPECT_EQ(PgCluster::query(line, "SELECT version FROM schema_version ORDER BY version"),
              (std::vector<std::vector<std::string>>{{"1"}, {"2"}}));
    EXPECT_EQ(PgCluster::query(line, "SELECT COUNT(*) FROM meta WHERE key = 'station'")[0][0], "1");
    history("st.sqlite", 3, "s");
    ASSERT_EQ(run(with_line("st.sqlite") + "archive sync").code, 0);
    for (const char* change : {"UPDATE events SET kind = 'burn'", "DELETE FROM events", "TRUNCATE events",
                               "TRUNCATE calibrations"}) {
        SCOPED_TRACE(change);
        try {
            PgCluster::query(line, change);
            ADD_FAILURE() << "the line took it";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("the archive is append-only"), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(PgCluster::query(line, "SELECT COUNT(*) FROM events")[0][0], "3");
}

TEST_F(Line, ALineOfANewerSchemaIsLeftAsItIs) {
    PgCluster::query(line, "CREATE TABLE schema_version (version BIGINT PRIMARY KEY, utc TEXT NOT NULL, tool TEXT "
                           "NOT NULL); INSERT INTO schema_version VALUES (3, 'then', 'a newer library')");
    const std::string tables = "SELECT table_name FROM information_schema.tables WHERE table_schema = 'public'";
    Result r = run("--archive '" + line + "' archive status");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("has schema version 3, newer than this library knows (2)"), std::string::npos) << r.err;
    history("st.sqlite", 2, "s");
    Result sync = run(with_line("st.sqlite") + "archive sync");
    EXPECT_EQ(sync.code, 5);
    EXPECT_EQ(column(PgCluster::query(line, tables)), std::set<std::string>{"schema_version"});
    EXPECT_EQ(PgCluster::query(line, "SELECT COUNT(*) FROM schema_version")[0][0], "1");
    EXPECT_EQ(run_json("--archive st.sqlite archive status")["pending"], 2);
}

TEST_F(Line, ASecondStationRestoresAUnitFromTheLineWithAnEmptyBackupFolder) {
    ASSERT_EQ(run(with_line("first.sqlite") + "backup -o b.json").code, 0);
    expect_line_holds_exactly("first.sqlite");
    // The password of a URL is never shown.
    const std::string secret = line + "&password=hunter2";
    json r = run_json("--archive '" + secret + "' --backup-dir empty restore --from-archive");
    EXPECT_EQ(r["match"], "same");
    EXPECT_EQ(r["from_archive"]["archive"], line);
    EXPECT_EQ(r.dump().find("hunter2"), std::string::npos) << r.dump();
    // Nor in either other place a URL may carry it.
    const std::string rest = line.substr(std::string("postgresql:///").size());
    for (const auto& [url, shown] : std::vector<std::pair<std::string, std::string>>{
             {"postgresql://postgres:hunter2@/" + rest, "postgresql://postgres@/" + rest},
             {"postgres:///" + rest.substr(0, rest.find('?')) + "?password=hunter2&" + rest.substr(rest.find('?') + 1),
              "postgres:///" + rest}}) {
        Result st = run("--archive '" + url + "' archive status");
        EXPECT_EQ(st.code, 0) << st.err;
        EXPECT_EQ(st.out.find("hunter2"), std::string::npos) << st.out;
        EXPECT_NE(st.out.find("archive " + shown + " (schema 2"), std::string::npos) << st.out;
    }
    // Written there directly: the restore is on the line.
    EXPECT_EQ(PgCluster::query(line, "SELECT COUNT(*) FROM events WHERE kind = 'restore'")[0][0], "2");
}

}  // namespace

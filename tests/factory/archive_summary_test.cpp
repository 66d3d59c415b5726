// The line's yield from its archive: an archive of known operations (two
// stations, two days, a burn that passed, failed, was refused before the
// unit was known, was interrupted, one that ran over midnight, a day with
// no burns at all) counted exactly per station and day, per station, per
// day and for the line; the options that narrow it; and the station run's
// own event.
#include <sqlite3.h>

#include <fstream>

#include "factory_test.h"

namespace factory_test {
namespace {

class ArchiveSummary : public FactoryTest {
protected:
    void SetUp() override {
        FactoryTest::SetUp();
        file = dir + "/line.sqlite";
    }
    // One operation as its rows: a started row at `start` unless empty, a
    // finished row with `code` at `end` unless empty.
    void op(const std::string& station, const char* kind, const char* unit, const std::string& start,
            const std::string& end, int code = 0) {
        const std::string id = "op-" + std::to_string(lines.size());
        json base = {{"operation", id}, {"kind", kind}, {"station", station}};
        if (unit) {
            std::string u = unit;
            base["unit_tag"] = u.substr(0, 2);
            base["unit_number"] = std::stoll(u.substr(3));
        }
        if (!start.empty()) {
            json e = base;
            e.update({{"uuid", id + "-s"}, {"phase", "started"}, {"utc", start}});
            lines.push_back(json{{"event", e}}.dump());
        }
        if (!end.empty()) {
            json e = base;
            e.update({{"uuid", id + "-f"}, {"phase", "finished"}, {"utc", end}, {"exit_code", code},
                      {"result", code ? "failed" : "ok"}});
            lines.push_back(json{{"event", e}}.dump());
        }
    }
    void import() {
        std::ofstream out(dir + "/rows.jsonl");
        for (const std::string& l : lines) out << l << "\n";
        out.close();
        OrvexFactoryResult* r = nullptr;
        Outcome o = take(OrvexFactory_ArchiveImport(file.c_str(), (dir + "/rows.jsonl").c_str(), &r), r);
        ASSERT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
        ASSERT_EQ(o.doc["added"], lines.size());
    }
    Outcome summary(const char* options = nullptr) {
        OrvexFactoryResult* r = nullptr;
        return take(OrvexFactory_ArchiveSummary(file.c_str(), options, &r), r);
    }
    std::string file;
    std::vector<std::string> lines;
};

// The counts of one tally, in the order the cases below give them.
struct Counts {
    long units, burns, passed, failed, interrupted;
    double yield;  // < 0: null (no burns)
};

void expect(const json& t, const Counts& c) {
    EXPECT_EQ(t["units"], c.units) << t.dump();
    EXPECT_EQ(t["burns"], c.burns) << t.dump();
    EXPECT_EQ(t["passed_burns"], c.passed) << t.dump();
    EXPECT_EQ(t["failed_burns"], c.failed) << t.dump();
    EXPECT_EQ(t["interrupted"], c.interrupted) << t.dump();
    if (c.yield < 0)
        EXPECT_TRUE(t["yield"].is_null()) << t.dump();
    else
        EXPECT_DOUBLE_EQ(t["yield"].get<double>(), c.yield) << t.dump();
}

TEST_F(ArchiveSummary, CountsEveryStationAndDayExactly) {
    const std::string d1 = "2026-12-01T", d2 = "2026-12-02T";
    // Station A, day 1: a pass, a verify failure, a burn interrupted, a backup.
    op("A", "burn", "OG 1", d1 + "08:00:00.000000Z", d1 + "08:05:00.000000Z", 0);
    op("A", "burn", "OG 2", d1 + "09:00:00.000000Z", d1 + "09:05:00.000000Z", 6);
    op("A", "burn", "OG 1", d1 + "10:00:00.000000Z", "");
    op("A", "backup", "OG 3", d1 + "11:00:00.000000Z", d1 + "11:00:01.000000Z", 0);
    // Station A, day 2: no burns; a backup imported from its file (a
    // finished row only) and a verify that never finished.
    op("A", "backup", "OG 1", "", d2 + "08:00:00.000000Z", 0);
    op("A", "verify", "OG 4", d2 + "09:00:00.000000Z", "");
    // Station B: a pass, and a burn over midnight that counts on the day
    // it started; day 2 a refusal before the unit was read.
    op("B", "burn", "OG 5", d1 + "12:00:00.000000Z", d1 + "12:05:00.000000Z", 0);
    op("B", "burn", "OG 1", d1 + "23:59:59.900000Z", d2 + "00:00:01.000000Z", 0);
    op("B", "burn", nullptr, "", d2 + "07:00:00.000000Z", 7);
    import();

    Outcome s = summary();
    ASSERT_EQ(s.status, ORVEX_FACTORY_OK) << s.message;
    struct Row {
        const char* station;
        const char* day;
        Counts c;
    } rows[] = {
        {"A", "2026-12-01", {3, 3, 1, 1, 1, 1.0 / 3}},
        {"A", "2026-12-02", {2, 0, 0, 0, 1, -1}},
        {"B", "2026-12-01", {2, 2, 2, 0, 0, 1.0}},
        {"B", "2026-12-02", {0, 1, 0, 1, 0, 0.0}},
    };
    ASSERT_EQ(s.doc["rows"].size(), std::size(rows)) << s.doc.dump(1);
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(std::string(rows[i].station) + " " + rows[i].day);
        EXPECT_EQ(s.doc["rows"][i]["station"], rows[i].station);
        EXPECT_EQ(s.doc["rows"][i]["day"], rows[i].day);
        expect(s.doc["rows"][i], rows[i].c);
    }
    // Units are counted once over a span, not summed over its days.
    ASSERT_EQ(s.doc["stations"].size(), 2u);
    expect(s.doc["stations"][0], {4, 3, 1, 1, 2, 1.0 / 3});
    expect(s.doc["stations"][1], {2, 3, 2, 1, 0, 2.0 / 3});
    ASSERT_EQ(s.doc["days"].size(), 2u);
    expect(s.doc["days"][0], {4, 5, 3, 1, 1, 0.6});
    expect(s.doc["days"][1], {2, 1, 0, 1, 1, 0.0});
    expect(s.doc["line"], {5, 6, 3, 2, 2, 0.5});

    // Narrowed to a day and to a station.
    Outcome day2 = summary(R"({"since": "2026-12-02"})");
    ASSERT_EQ(day2.status, ORVEX_FACTORY_OK) << day2.message;
    expect(day2.doc["line"], {2, 1, 0, 1, 1, 0.0});
    Outcome b = summary(R"({"station": "B", "until": "2026-12-01"})");
    ASSERT_EQ(b.status, ORVEX_FACTORY_OK) << b.message;
    expect(b.doc["line"], {2, 2, 2, 0, 0, 1.0});
}

TEST_F(ArchiveSummary, AnEmptyArchiveHasNoRowsAndNoYield) {
    Outcome s = summary("");
    ASSERT_EQ(s.status, ORVEX_FACTORY_OK) << s.message;
    EXPECT_TRUE(s.doc["rows"].empty());
    expect(s.doc["line"], {0, 0, 0, 0, 0, -1});
}

TEST_F(ArchiveSummary, OptionsItCannotTakeAreUsageErrors) {
    for (const char* bad : {"[1]", "not json", R"({"since": "yesterday"})", R"({"until": 20261201})",
                            R"({"station": 4})", R"({"colour": "red"})"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(summary(bad).status, ORVEX_FACTORY_USAGE);
    }
    OrvexFactoryResult* r = nullptr;
    EXPECT_EQ(take(OrvexFactory_ArchiveSummary((dir + "/no such folder/a.sqlite").c_str(), nullptr, &r), r).status,
              ORVEX_FACTORY_FILE);
    EXPECT_EQ(take(OrvexFactory_ArchiveSummary(nullptr, nullptr, &r), r).status, ORVEX_FACTORY_USAGE);
}

TEST_F(ArchiveSummary, AStationRunIsOneOperationOfItsOwnKind) {
    setenv("ORVEX_OPERATOR", "night shift", 1);
    const json run = {{"command", "orvexctl station burn fw.bin"},
                      {"started_utc", "2026-12-01T08:00:00.000000Z"},
                      {"cameras", {{{"serial", "S0"}, {"exit_code", 0}}, {{"serial", "S1"}, {"exit_code", 6}}}},
                      {"exit_code", 6}};
    OrvexFactoryResult* r = nullptr;
    Outcome o = take(OrvexFactory_ArchiveStationRun(file.c_str(), run.dump().c_str(), &r), r);
    unsetenv("ORVEX_OPERATOR");
    ASSERT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
    EXPECT_EQ(o.doc["recorded"], true);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT phase, kind, operator, command, exit_code, result, result_json, utc, "
                                 "station FROM events ORDER BY utc",
                                 -1, &st, nullptr),
              SQLITE_OK);
    std::vector<std::vector<std::string>> rows;
    while (sqlite3_step(st) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int c = 0; c < 9; ++c) {
            auto* t = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
            row.push_back(t ? t : "NULL");
        }
        rows.push_back(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "started");
    EXPECT_EQ(rows[0][7], "2026-12-01T08:00:00.000000Z");
    EXPECT_EQ(rows[1][0], "finished");
    for (const auto& row : rows) {
        EXPECT_EQ(row[1], "station run");
        EXPECT_EQ(row[2], "night shift");
        EXPECT_EQ(row[3], "orvexctl station burn fw.bin");
        EXPECT_EQ(row[8], o.doc["station"].get<std::string>());
    }
    EXPECT_EQ(rows[1][4], "6");
    EXPECT_EQ(rows[1][5], "failed");
    const json kept = json::parse(rows[1][6]);
    EXPECT_EQ(kept["cameras"][1]["serial"], "S1");
    EXPECT_EQ(kept["cameras"][1]["exit_code"], 6);
    // Not a burn: the line's yield does not see it.
    Outcome s = summary();
    expect(s.doc["line"], {0, 0, 0, 0, 0, -1});
    EXPECT_EQ(s.doc["line"]["operations"], 1);

    for (const char* bad : {"", "{}", R"({"cameras": []})", R"({"exit_code": 0})"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(take(OrvexFactory_ArchiveStationRun(file.c_str(), bad, &r), r).status, ORVEX_FACTORY_USAGE);
    }
}

}  // namespace
}  // namespace factory_test

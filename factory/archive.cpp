// The archive's schema, its migrations, and reading it back.
#include "archive.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "archive_sha256.h"
#include "backup.h"
#include "text.h"

namespace orvex_factory {

namespace {

// Version 1: events and the station's own facts. Never edited once
// released: an archive written by it is migrated, not rebuilt.
const char* const kEventsV1[] = {
    "uuid TEXT PRIMARY KEY",  // this row
    "operation TEXT NOT NULL",  // both rows of one operation
    "phase TEXT NOT NULL",      // "started" or "finished"
    "kind TEXT NOT NULL",
    "station TEXT NOT NULL",
    "host TEXT",
    "operator TEXT",
    "tool_version TEXT",
    "command TEXT",
    "utc TEXT NOT NULL",  // ISO 8601 to the microsecond: sorts as text
    "node TEXT",
    "usb_serial TEXT",
    "usb_path TEXT",
    "chip TEXT",
    "unit_tag TEXT",
    "unit_number BIGINT",
    "id_blocks TEXT",  // JSON
    "image_name TEXT",
    "image_length BIGINT",
    "image_sha256 TEXT",
    "firmware_before TEXT",  // JSON
    "firmware_after TEXT",   // JSON
    "method TEXT",
    "verification TEXT",
    "result TEXT",
    "exit_code BIGINT",
    "result_json TEXT",
};
// Version 2 adds the calibrations and what has been forwarded.
const char* const kEventsV2[] = {"calibration_sha256 TEXT"};

std::string column_name(const char* def) { return std::string(def, std::strchr(def, ' ') - def); }

std::vector<std::string> migration(const ArchiveBackend& db, int to) {
    std::vector<std::string> out;
    auto add_guard = [&](const std::string& t) {
        for (auto& g : db.append_only(t)) out.push_back(g);
    };
    if (to == 1) {
        out.push_back("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)");
        std::string ev = "CREATE TABLE events (";
        for (const char* c : kEventsV1) ev += std::string(c) + (c == kEventsV1[std::size(kEventsV1) - 1] ? ")" : ", ");
        out.push_back(ev);
        add_guard("events");
    } else if (to == 2) {
        for (const char* c : kEventsV2) out.push_back(std::string("ALTER TABLE events ADD COLUMN ") + c);
        out.push_back("CREATE INDEX events_unit ON events (unit_tag, unit_number)");
        out.push_back("CREATE INDEX events_operation ON events (operation)");
        out.push_back(std::string("CREATE TABLE calibrations (sha256 TEXT PRIMARY KEY, unit_tag TEXT, "
                                  "unit_number BIGINT, chip TEXT, good BIGINT NOT NULL, raw ") +
                      db.blob_type() +
                      " NOT NULL, backup TEXT NOT NULL, event TEXT, station TEXT, utc TEXT NOT NULL)");
        add_guard("calibrations");
        // The local mark that an event reached the line database; a row
        // of its own so that the events stay untouched.
        out.push_back("CREATE TABLE forwarded (uuid TEXT PRIMARY KEY, utc TEXT NOT NULL)");
    }
    return out;
}

const std::vector<std::string> kCalibrationColumns = {"sha256", "unit_tag", "unit_number", "chip", "good",
                                                      "raw",    "backup",   "event",       "station", "utc"};

Value to_value(const json& v, bool blob = false) {
    if (v.is_null()) return nullptr;
    if (blob) {
        Bytes b;
        if (!v.is_string() || !from_hex(v.get<std::string>(), &b)) throw ArchiveError("raw bytes are not hex");
        return Blob{b};
    }
    if (v.is_number_integer()) return v.get<long long>();
    if (v.is_boolean()) return static_cast<long long>(v.get<bool>());
    if (v.is_string()) return v.get<std::string>();
    return v.dump();
}

json from_value(const Value& v) {
    if (auto* b = std::get_if<Blob>(&v)) return to_hex(b->bytes);
    return json_of(v);
}

std::string insert_sql(const char* table, const std::vector<std::string>& cols, const char* key) {
    std::string sql = std::string("INSERT INTO ") + table + " (", vals;
    for (size_t i = 0; i < cols.size(); ++i) {
        sql += (i ? ", " : "") + cols[i];
        vals += (i ? ", $" : "$") + std::to_string(i + 1);
    }
    return sql + ") VALUES (" + vals + ") ON CONFLICT (" + key + ") DO NOTHING";
}

std::string select_sql(const char* table, const std::vector<std::string>& cols) {
    std::string sql = "SELECT ";
    for (size_t i = 0; i < cols.size(); ++i) sql += (i ? ", " : "") + cols[i];
    return sql + " FROM " + table;
}

json row_json(const std::vector<std::string>& cols, const Row& r) {
    json o = json::object();
    for (size_t i = 0; i < cols.size() && i < r.size(); ++i) o[cols[i]] = from_value(r[i]);
    return o;
}

}  // namespace

const std::vector<std::string>& event_columns() {
    static const std::vector<std::string> cols = [] {
        std::vector<std::string> c;
        for (const char* d : kEventsV1) c.push_back(column_name(d));
        for (const char* d : kEventsV2) c.push_back(column_name(d));
        return c;
    }();
    return cols;
}

std::string new_uuid() {
    uint8_t b[16];
    std::random_device rd;  // the kernel's random source
    for (auto& x : b) x = static_cast<uint8_t>(rd());
    b[6] = (b[6] & 0x0F) | 0x40;
    b[8] = (b[8] & 0x3F) | 0x80;
    std::string h = to_hex(Bytes(b, b + 16));
    return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}

json calibration_row(const json& doc, const std::string& event_uuid) {
    Bytes raw;
    for (const BackupRange& r : backup_ranges()) {
        Bytes b = backup_range(doc, r.addr);
        raw.insert(raw.end(), b.begin(), b.end());
    }
    const json unit = doc["device"].value("unit", json());
    return {{"sha256", sha256_hex(raw.data(), raw.size())},
            {"unit_tag", unit.is_object() ? unit["tag"] : json()},
            {"unit_number", unit.is_object() ? unit["number"] : json()},
            {"chip", doc["device"].value("chip_id", json())},
            {"good", backup_is_good(doc) ? 1 : 0},
            {"raw", to_hex(raw)},
            {"backup", doc.dump()},
            {"event", event_uuid},
            {"utc", utc_now_iso()}};
}

Archive::Archive(std::unique_ptr<ArchiveBackend> db) : db_(std::move(db)) { migrate(); }

std::shared_ptr<Archive> Archive::open(const std::string& where) {
    if (where.empty()) throw ArchiveError("no archive named");
    // A line database's URL is never taken for a file name.
    if (is_database_url(where)) {
#ifdef ORVEX_HAVE_LIBPQ
        return std::make_shared<Archive>(open_postgresql(where));
#else
        throw ArchiveError("archive: this library was built without its PostgreSQL back end (libpq); name an "
                           "SQLite file");
#endif
    }
    return std::make_shared<Archive>(open_sqlite(where));
}

// The URL as it may be shown: the password of its user part and a
// password= parameter left out.
std::string url_without_password(const std::string& url) {
    std::string out = url;
    const size_t scheme = out.find("://");
    if (scheme != std::string::npos) {
        const size_t from = scheme + 3;
        const size_t end = out.find_first_of("/?", from);
        const size_t at = out.rfind('@', end == std::string::npos ? out.size() : end);
        if (at != std::string::npos && at >= from) {
            const size_t colon = out.find(':', from);
            if (colon != std::string::npos && colon < at) out.erase(colon, at - colon);
        }
    }
    for (size_t p = out.find("password="); p != std::string::npos; p = out.find("password=", p)) {
        if (p > 0 && out[p - 1] != '?' && out[p - 1] != '&') {
            p += 9;
            continue;
        }
        size_t e = out.find('&', p);
        const size_t start = out[p - 1] == '&' ? p - 1 : p;
        if (e == std::string::npos)
            e = out.size();
        else if (out[p - 1] == '?')
            ++e;  // "?password=x&a" -> "?a"
        out.erase(start, e - start);
        if (!out.empty() && out.back() == '?') out.pop_back();
        p = start;
    }
    return out;
}

bool is_database_url(const std::string& where) {
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

// Every step in one transaction with the version row it brings, under
// the writers' lock: a station that finds the archive migrated by another
// meanwhile sees its version and does nothing. A newer schema than this
// library knows, or a step that fails, leaves every row as it was.
void Archive::migrate() {
    auto version = [&] {
        auto rows = db_->exec("SELECT MAX(version) FROM schema_version");
        return rows.empty() ? 0 : static_cast<int>(int_of(rows[0][0]));
    };
    // Read first, outside a transaction: an archive of this schema (or a
    // newer one) is opened without taking the writers' lock. Creating the
    // version table is a step like the others, under the lock: two
    // stations creating it at once would otherwise collide.
    int v = 0;
    try {
        v = version();
    } catch (const ArchiveError&) {
        v = -1;  // no version table yet
    }
    if (v < kArchiveSchema) {
        WriteTransaction t(*db_);
        db_->exec("CREATE TABLE IF NOT EXISTS schema_version (version BIGINT PRIMARY KEY, utc TEXT NOT NULL, "
                  "tool TEXT NOT NULL)");
        v = version();
        if (v > kArchiveSchema)  // another station's newer library got there first
            throw ArchiveError("archive " + db_->where() + " has schema version " + std::to_string(v) +
                               ", newer than this library knows (" + std::to_string(kArchiveSchema) +
                               "); it is left as it is: use a newer orvexctl");
        for (int to = v + 1; to <= kArchiveSchema; ++to) {
            try {
                for (const std::string& sql : migration(*db_, to)) db_->exec(sql);
            } catch (const ArchiveError& e) {
                throw ArchiveError("archive " + db_->where() + " could not be migrated from schema version " +
                                   std::to_string(v) + " to " + std::to_string(to) + ": " + e.what() +
                                   "; nothing was changed");
            }
            db_->exec("INSERT INTO schema_version (version, utc, tool) VALUES ($1, $2, $3)",
                      {static_cast<long long>(to), utc_now_iso(), std::string("libOrvexFactory ") + ORVEX_VERSION});
        }
        // The station's own id, made once where the archive is.
        db_->exec("INSERT INTO meta (key, value) VALUES ('station', $1) ON CONFLICT (key) DO NOTHING", {new_uuid()});
        t.commit();
        v = kArchiveSchema;
    }
    if (v > kArchiveSchema)
        throw ArchiveError("archive " + db_->where() + " has schema version " + std::to_string(v) +
                           ", newer than this library knows (" + std::to_string(kArchiveSchema) +
                           "); it is left as it is: use a newer orvexctl");
    schema_ = v;
    auto rows = db_->exec("SELECT value FROM meta WHERE key = 'station'");
    station_ = rows.empty() ? "" : text_of(rows[0][0]);
    if (const char* named = std::getenv("ORVEX_STATION"); named && *named) station_ = named;
}

int Archive::append(const std::vector<json>& events, const std::vector<json>& calibrations) {
    // Each insert names the row it added, and nothing for one that was
    // there already: counting the tables instead read every row of them
    // twice per operation, a cost that grew with the archive.
    static const std::string ev_sql = insert_sql("events", event_columns(), "uuid") + " RETURNING uuid";
    static const std::string cal_sql = insert_sql("calibrations", kCalibrationColumns, "sha256") + " RETURNING sha256";
    WriteTransaction t(*db_);
    size_t added = 0;
    for (const json& e : events) {
        std::vector<Value> p;
        for (const std::string& c : event_columns()) p.push_back(to_value(e.value(c, json())));
        added += db_->exec(ev_sql, p).size();
    }
    for (const json& c : calibrations) {
        std::vector<Value> p;
        for (const std::string& k : kCalibrationColumns) p.push_back(to_value(c.value(k, json()), k == "raw"));
        added += db_->exec(cal_sql, p).size();
    }
    t.commit();
    return static_cast<int>(added);
}

json Archive::status() {
    auto one = [&](const std::string& sql) { return int_of(db_->exec(sql)[0][0]); };
    return {{"archive", db_->where()},
            {"schema_version", schema_},
            {"station", station_},
            {"events", one("SELECT COUNT(*) FROM events")},
            {"operations", one("SELECT COUNT(DISTINCT operation) FROM events")},
            {"interrupted", one("SELECT COUNT(*) FROM events s WHERE s.phase = 'started' AND NOT EXISTS "
                                "(SELECT 1 FROM events f WHERE f.operation = s.operation AND f.phase = 'finished')")},
            {"failed", one("SELECT COUNT(*) FROM events WHERE phase = 'finished' AND exit_code <> 0")},
            {"units", one("SELECT COUNT(*) FROM (SELECT DISTINCT unit_tag, unit_number FROM events "
                          "WHERE unit_tag IS NOT NULL) u")},
            {"calibrations", one("SELECT COUNT(*) FROM calibrations")},
            {"pending", one("SELECT COUNT(*) FROM events e WHERE NOT EXISTS "
                            "(SELECT 1 FROM forwarded f WHERE f.uuid = e.uuid)")},
            {"pending_calibrations", one("SELECT COUNT(*) FROM calibrations c WHERE NOT EXISTS "
                                         "(SELECT 1 FROM forwarded f WHERE f.uuid = c.sha256)")},
            {"line", meta("line").empty() ? json() : json(meta("line"))},
            {"last_forward_utc", meta("last_forward_utc").empty() ? json() : json(meta("last_forward_utc"))},
            {"last_forward_error", meta("last_forward_error").empty() ? json() : json(meta("last_forward_error"))}};
}

std::vector<json> Archive::pending_events(int limit) {
    std::vector<json> out;
    for (const Row& r : db_->exec(select_sql("events", event_columns()) +
                                      " e WHERE NOT EXISTS (SELECT 1 FROM forwarded f WHERE f.uuid = e.uuid) "
                                      "ORDER BY utc, uuid LIMIT $1",
                                  {static_cast<long long>(limit)}))
        out.push_back(row_json(event_columns(), r));
    return out;
}

std::vector<json> Archive::pending_calibrations(int limit) {
    std::vector<json> out;
    for (const Row& r : db_->exec(select_sql("calibrations", kCalibrationColumns) +
                                      " c WHERE NOT EXISTS (SELECT 1 FROM forwarded f WHERE f.uuid = c.sha256) "
                                      "ORDER BY utc, sha256 LIMIT $1",
                                  {static_cast<long long>(limit)}))
        out.push_back(row_json(kCalibrationColumns, r));
    return out;
}

// A calibration's mark is its SHA-256 (64 hex digits), which no UUID is.
void Archive::mark_forwarded(const std::vector<std::string>& keys) {
    if (keys.empty()) return;
    WriteTransaction t(*db_);
    const std::string now = utc_now_iso();
    for (const std::string& k : keys)
        db_->exec("INSERT INTO forwarded (uuid, utc) VALUES ($1, $2) ON CONFLICT (uuid) DO NOTHING", {k, now});
    t.commit();
}

long long Archive::pending() {
    return int_of(db_->exec("SELECT (SELECT COUNT(*) FROM events e WHERE NOT EXISTS (SELECT 1 FROM forwarded f "
                            "WHERE f.uuid = e.uuid)) + (SELECT COUNT(*) FROM calibrations c WHERE NOT EXISTS "
                            "(SELECT 1 FROM forwarded f WHERE f.uuid = c.sha256))")[0][0]);
}

void Archive::set_meta(const std::string& key, const std::string& value) {
    db_->exec("INSERT INTO meta (key, value) VALUES ($1, $2) ON CONFLICT (key) DO UPDATE SET value = excluded.value",
              {key, value});
}

std::string Archive::meta(const std::string& key) {
    auto rows = db_->exec("SELECT value FROM meta WHERE key = $1", {key});
    return rows.empty() ? "" : text_of(rows[0][0]);
}

json Archive::history(const std::string& tag, long long number) {
    const auto& cols = event_columns();
    // Both rows of every operation that ever named the unit.
    auto rows = db_->exec(select_sql("events", cols) +
                              " WHERE operation IN (SELECT operation FROM events WHERE unit_tag = $1 AND "
                              "unit_number = $2) ORDER BY utc, phase DESC",
                          {tag, number});
    json ops = json::array();
    std::map<std::string, size_t> at;
    for (const Row& r : rows) {
        json e = row_json(cols, r);
        const std::string op = e["operation"];
        if (!at.count(op)) {
            at[op] = ops.size();
            ops.push_back({{"operation", op}, {"kind", e["kind"]}, {"started", nullptr}, {"finished", nullptr},
                           {"state", "interrupted"}});
        }
        json& o = ops[at[op]];
        if (e["phase"] == "started") {
            o["started"] = e["utc"];
        } else {
            o["finished"] = e["utc"];
            o["state"] = e["exit_code"] == 0 ? "ok" : "failed";
        }
        for (const char* k : {"station", "operator", "host", "tool_version", "command", "node", "usb_serial",
                              "usb_path", "chip", "unit_tag", "unit_number", "image_name", "image_length",
                              "image_sha256", "firmware_before", "firmware_after", "method", "verification", "result",
                              "exit_code", "calibration_sha256"})
            if (!e[k].is_null()) o[k] = e[k];
        if (o.contains("started") && o["started"].is_null() && e["phase"] == "finished") o["started"] = e["utc"];
    }
    static const std::vector<std::string> cal = {"sha256", "chip", "good", "event", "station", "utc"};
    json cals = json::array();
    for (const Row& r : db_->exec(select_sql("calibrations", cal) + " WHERE unit_tag = $1 AND unit_number = $2 "
                                                                    "ORDER BY utc",
                                  {tag, number}))
        cals.push_back(row_json(cal, r));
    if (!cals.empty()) cals[0]["first"] = true;  // the unit's factory calibration, as far as the line knows
    return {{"unit", {{"tag", tag}, {"number", number}}}, {"operations", ops}, {"calibrations", cals}};
}

std::vector<json> Archive::dump() {
    std::vector<json> out;
    for (const Row& r : db_->exec(select_sql("events", event_columns()) + " ORDER BY utc, uuid"))
        out.push_back({{"event", row_json(event_columns(), r)}});
    for (const Row& r : db_->exec(select_sql("calibrations", kCalibrationColumns) + " ORDER BY utc, sha256"))
        out.push_back({{"calibration", row_json(kCalibrationColumns, r)}});
    return out;
}

}  // namespace orvex_factory

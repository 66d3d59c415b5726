// What a line's archive says about its yield, per station and per day,
// and the one event a station run adds besides its cameras' own.
//
// An operation counts once, on the UTC day and at the station of its first
// row. A burn has passed when its finished row has exit code 0; a burn
// that finished otherwise (failed, refused, cancelled) has failed; a burn
// that never finished (unplugged, power lost) is interrupted and counts
// as a burn that did not pass. Yield is passed burns over burns, null on a
// day without burns.
#include <map>
#include <set>

#include "archive.h"
#include "result.h"
#include "text.h"

namespace orvex_factory {

namespace {

struct Op {
    std::string kind, station, day, unit;  // unit "" when no row named one
    bool started = false, finished = false;
    long long exit_code = 0;
    std::string first_utc;
};

struct Tally {
    std::set<std::string> units;
    long burns = 0, passed = 0, failed = 0, interrupted = 0, operations = 0;

    void add(const Op& o) {
        ++operations;
        if (!o.unit.empty()) units.insert(o.unit);
        if (!o.finished) ++interrupted;
        if (o.kind != "burn") return;
        ++burns;
        if (o.finished && o.exit_code == 0) ++passed;
        if (o.finished && o.exit_code != 0) ++failed;
    }
    json to_json() const {
        return {{"units", units.size()},
                {"operations", operations},
                {"burns", burns},
                {"passed_burns", passed},
                {"failed_burns", failed},
                {"interrupted", interrupted},
                {"yield", burns ? json(static_cast<double>(passed) / static_cast<double>(burns)) : json(nullptr)}};
    }
};

// Options: {"since": "YYYY-MM-DD", "until": "YYYY-MM-DD", "station": ID},
// each optional; the days are UTC and both ends included.
struct Filter {
    std::string since, until, station;
    bool takes(const Op& o) const {
        return (since.empty() || o.day >= since) && (until.empty() || o.day <= until) &&
               (station.empty() || o.station == station);
    }
};

Filter parse_options(const char* options) {
    Filter f;
    if (!options || !*options) return f;
    json o = json::parse(options, nullptr, false);
    if (!o.is_object()) throw Failure(USAGE, std::string("summary options are a JSON object, not ") + options);
    auto day = [&](const char* key, std::string* out) {
        if (!o.contains(key)) return;
        const json& v = o[key];
        if (!v.is_string() || v.get<std::string>().size() != 10 || v.get<std::string>()[4] != '-' ||
            v.get<std::string>()[7] != '-')
            throw Failure(USAGE, std::string("summary option ") + key + " is a UTC day (YYYY-MM-DD), not " + v.dump());
        *out = v.get<std::string>();
    };
    day("since", &f.since);
    day("until", &f.until);
    if (o.contains("station")) {
        if (!o["station"].is_string()) throw Failure(USAGE, "summary option station is a station's id");
        f.station = o["station"];
    }
    for (auto it = o.begin(); it != o.end(); ++it)
        if (it.key() != "since" && it.key() != "until" && it.key() != "station")
            throw Failure(USAGE, "unknown summary option " + it.key() + " (since, until, station)");
    return f;
}

std::vector<Op> operations(Archive& a) {
    std::map<std::string, Op> ops;
    std::vector<std::string> order;
    for (const Row& r : a.db().exec("SELECT operation, phase, kind, station, utc, unit_tag, unit_number, exit_code "
                                    "FROM events ORDER BY utc, phase DESC")) {
        const std::string id = text_of(r[0]);
        auto [it, fresh] = ops.try_emplace(id);
        Op& o = it->second;
        if (fresh) {
            order.push_back(id);
            o.kind = text_of(r[2]);
            o.station = text_of(r[3]);
            o.first_utc = text_of(r[4]);
            o.day = o.first_utc.substr(0, 10);
        }
        if (o.unit.empty() && !is_null(r[5])) o.unit = text_of(r[5]) + " " + std::to_string(int_of(r[6]));
        if (text_of(r[1]) == "started") {
            o.started = true;
        } else {
            o.finished = true;
            o.exit_code = int_of(r[7]);
        }
    }
    std::vector<Op> out;
    for (const std::string& id : order) out.push_back(ops[id]);
    return out;
}

json summary(Archive& a, const Filter& f) {
    std::map<std::pair<std::string, std::string>, Tally> per;  // (station, day)
    std::map<std::string, Tally> stations, days;
    Tally line;
    for (const Op& o : operations(a)) {
        if (!f.takes(o)) continue;
        per[{o.station, o.day}].add(o);
        stations[o.station].add(o);
        days[o.day].add(o);
        line.add(o);
    }
    json rows = json::array(), st = json::array(), dy = json::array();
    for (const auto& [key, t] : per) {
        json j = t.to_json();
        j["station"] = key.first;
        j["day"] = key.second;
        rows.push_back(j);
    }
    for (const auto& [name, t] : stations) {
        json j = t.to_json();
        j["station"] = name;
        st.push_back(j);
    }
    for (const auto& [day, t] : days) {
        json j = t.to_json();
        j["day"] = day;
        dy.push_back(j);
    }
    return {{"archive", a.db().where()},
            {"since", f.since.empty() ? json() : json(f.since)},
            {"until", f.until.empty() ? json() : json(f.until)},
            {"rows", rows},
            {"stations", st},
            {"days", dy},
            {"line", line.to_json()}};
}

}  // namespace

}  // namespace orvex_factory

using namespace orvex_factory;

extern "C" {

int OrvexFactory_ArchiveSummary(const char* where, const char* options, OrvexFactoryResult** out) {
    return run(nullptr, out, [&] {
        const Filter f = parse_options(options);
        auto a = open_named_archive(where);
        try {
            return summary(*a, f);
        } catch (const ArchiveError& e) {
            throw Failure(FILE_ERROR, e.what());
        }
    });
}

int OrvexFactory_ArchiveStationRun(const char* where, const char* run_json, OrvexFactoryResult** out) {
    return run(nullptr, out, [&] {
        json r = json::parse(run_json ? run_json : "", nullptr, false);
        if (!r.is_object() || !r.contains("exit_code") || !r["exit_code"].is_number_integer() ||
            !r.contains("cameras") || !r["cameras"].is_array())
            throw Failure(USAGE, "a station run is a JSON object with its cameras and its exit_code");
        // The line database to forward to; not kept in the row (its URL
        // may carry a password).
        const std::string line = r.contains("line") && r["line"].is_string() ? r["line"].get<std::string>() : "";
        r.erase("line");
        auto a = open_named_archive(where);
        // Both rows at once, after the run: its cameras' own operations
        // carry the started rows that show an interrupted camera, and a
        // station run that never ended has no outcome to record.
        const std::string operation = new_uuid();
        json row = json::object();
        add_who(row);
        if (r.contains("operator") && r["operator"].is_string()) row["operator"] = r["operator"];
        row["operation"] = operation;
        row["kind"] = "station run";
        row["station"] = a->station();
        for (const char* k : {"command", "image_name", "image_sha256", "image_length"})
            if (r.contains(k) && !r[k].is_null()) row[k] = r[k];
        json started = row, finished = row;
        started["uuid"] = new_uuid();
        started["phase"] = "started";
        started["utc"] = r.value("started_utc", utc_now_iso());
        finished["uuid"] = new_uuid();
        finished["phase"] = "finished";
        finished["utc"] = utc_now_iso();
        const long long code = r["exit_code"].get<long long>();
        finished["exit_code"] = code;
        finished["result"] = code == 0 ? "ok" : "failed";
        finished["result_json"] = r.dump(-1, ' ', false, json::error_handler_t::replace);
        try {
            a->append({started, finished});
        } catch (const ArchiveError& e) {
            throw Failure(FILE_ERROR, e.what());
        }
        json done = {{"recorded", true}, {"archive", a->db().where()}, {"operation", operation},
                     {"station", a->station()}};
        // Forwarded as every recorded operation is: within the deadline,
        // and a line that cannot be reached leaves the rows pending.
        if (!line.empty() && !is_database_url(where)) done["forward"] = forward(*a, line);
        return done;
    });
}

}

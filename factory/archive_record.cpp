// Recording the library's own operations, and the archive's exported
// functions. Whatever the archive does, the operation's outcome is the
// operation's: a database that cannot be opened or written costs a note.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "archive.h"
#include "archive_sha256.h"
#include "backup.h"
#include "node_identity.h"
#include "result.h"
#include "text.h"

namespace orvex_factory {

void add_who(json& e) {
    e["tool_version"] = std::string("libOrvexFactory ") + ORVEX_VERSION;
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) == 0 && *host) e["host"] = host;
    const char* op = std::getenv("ORVEX_OPERATOR");
    if (!op || !*op) {
        const passwd* pw = getpwuid(geteuid());
        op = pw ? pw->pw_name : nullptr;
    }
    if (op) e["operator"] = op;
}

// One operation being recorded (Session::recording while it runs).
struct ArchiveRecorder {
    ArchiveRecorder(Session& session, const Recording& recording) : s(session), what(recording) {}
    Session& s;
    const Recording& what;
    std::string operation = new_uuid();
    std::string started_uuid;  // empty until the started row is written
    json facts = json::object();
    std::vector<json> calibrations;
    std::string problem;  // the first archive failure

    json row(const char* phase) const {
        json e = facts;
        e.erase("calibration");
        e["uuid"] = new_uuid();
        e["operation"] = operation;
        e["phase"] = phase;
        e["kind"] = what.kind;
        e["utc"] = utc_now_iso();
        e["command"] = s.command.empty() ? json() : json(s.command);
        add_who(e);
        return e;
    }

    Archive& archive() {
        if (!s.archive_db) s.archive_db = Archive::open(s.archive);
        return *s.archive_db;
    }

    void failed(const std::string& why) {
        if (problem.empty()) problem = why;
    }

    // Called when the unit is known and before anything is written.
    void started() {
        if (!started_uuid.empty() || !problem.empty()) return;
        try {
            json e = row("started");
            e["station"] = archive().station();
            archive().append({e});
            started_uuid = e["uuid"];
        } catch (const std::exception& ex) {
            failed(ex.what());
            note(s, std::string("archive: ") + ex.what() + "; the operation goes on without it");
        }
    }

    // The finished row (and the started one, if the operation never got as
    // far), and the calibrations it saw, in one transaction.
    json finish(int status, const json& result) {
        try {
            json e = row("finished");
            e["station"] = archive().station();
            e["result"] = status == OK ? "ok" : status == CANCELLED ? "cancelled" : status == REFUSED ? "refused"
                                                                                                    : "failed";
            e["exit_code"] = status;
            e["result_json"] = result.dump(-1, ' ', false, json::error_handler_t::replace);
            for (const char* k : {"method", "verification"})
                if (result.contains(k) && result[k].is_string() && !e.contains(k)) e[k] = result[k];
            std::vector<json> rows;
            if (started_uuid.empty()) {
                json st = row("started");
                st["station"] = e["station"];
                st["utc"] = facts.value("started_utc", e["utc"]);
                for (const char* k : {"result", "exit_code", "result_json", "method", "verification"}) st.erase(k);
                rows.push_back(st);
            }
            for (json& c : calibrations) c["station"] = e["station"];
            if (!calibrations.empty()) e["calibration_sha256"] = calibrations.back()["sha256"];
            rows.push_back(e);
            archive().append(rows, calibrations);
            return {{"recorded", true}, {"archive", archive().db().where()}, {"operation", operation}};
        } catch (const std::exception& ex) {
            failed(ex.what());
            if (s.log_fn)
                s.log_fn(s.log_ctx, ORVEX_FACTORY_LOG_NOTE,
                         (std::string("archive: ") + problem + "; this operation is not recorded").c_str());
            return {{"recorded", false}, {"archive", url_without_password(s.archive)}, {"error", problem}, {"operation", operation}};
        }
    }
};

int run_recorded(Session* s, OrvexFactoryResult** out, const Recording& what, const std::function<json()>& op) {
    if (!s || s->archive.empty()) return run(s, out, op);
    ArchiveRecorder rec(*s, what);
    rec.facts["started_utc"] = utc_now_iso();
    try {
        NodeIdentity n = node_identity(s->index);
        rec.facts["node"] = n.node.empty() ? node_name(*s) : n.node;
        if (!n.serial.empty()) rec.facts["usb_serial"] = n.serial;
        if (!n.usb_path.empty()) rec.facts["usb_path"] = n.usb_path;
        if (what.data) {
            rec.facts["image_length"] = what.len;
            rec.facts["image_sha256"] = sha256_hex(what.data, static_cast<size_t>(what.len > 0 ? what.len : 0));
        }
        if (!what.image_name.empty()) rec.facts["image_name"] = what.image_name;
    } catch (const std::exception& e) {
        rec.failed(e.what());
    }
    OrvexFactoryResult* r = nullptr;
    s->recording = &rec;
    const int status = run(s, &r, op);
    s->recording = nullptr;
    rec.facts.erase("started_utc");
    json doc = r ? json::parse(r->json_text, nullptr, false) : json::object();
    if (!doc.is_object()) doc = json::object();
    json archived = rec.finish(status, doc);
    // Then the line database, within its deadline; whatever happens there,
    // the operation's status is its own and the rows wait in the file.
    if (!s->line.empty() && archived.value("recorded", false) && !is_database_url(s->archive)) {
        json f = forward(*s->archive_db, s->line);
        if (f.contains("error") && s->log_fn)
            s->log_fn(s->log_ctx, ORVEX_FACTORY_LOG_NOTE,
                      ("archive: not forwarded to the line database: " + f["error"].get<std::string>() + "; " +
                       f["pending"].dump() + " row(s) pending (orvexctl archive sync)")
                          .c_str());
        archived["forward"] = f;
    }
    if (r) {
        try {
            doc["archive"] = archived;
            if (!archived["recorded"].get<bool>()) {
                json notes = doc.value("notes", json::array());
                notes.push_back("archive: " + rec.problem + "; this operation is not recorded");
                doc["notes"] = notes;
            }
            r->json_text = doc.dump(-1, ' ', false, json::error_handler_t::replace);
        } catch (...) {
        }
    }
    if (out)
        *out = r;
    else
        OrvexFactory_ResultFree(r);
    return status;
}

void archive_saw(Session& s, const char* key, const json& value) {
    if (!s.recording || value.is_null() || s.recording->facts.contains(key)) return;
    s.recording->facts[key] = value;
}

void archive_saw_id_blocks(Session& s, const json& blocks, const json& unit) {
    if (!s.recording) return;
    if (!s.recording->facts.contains("id_blocks")) {
        s.recording->facts["id_blocks"] = blocks.dump();
        if (unit.is_object()) {
            s.recording->facts["unit_tag"] = unit["tag"];
            s.recording->facts["unit_number"] = unit["number"];
        }
    }
    s.recording->started();
}

void archive_saw_backup(Session& s, const json& doc, bool of_camera) {
    if (!s.recording) return;
    try {
        const json unit = doc["device"].value("unit", json());
        if (of_camera && !s.recording->facts.contains("unit_tag") && unit.is_object()) {
            s.recording->facts["unit_tag"] = unit["tag"];
            s.recording->facts["unit_number"] = unit["number"];
        }
        archive_saw(s, "firmware_before", doc["device"].value("firmware", json()).dump());
        s.recording->calibrations.push_back(calibration_row(doc, s.recording->operation));
    } catch (const std::exception& e) {
        s.recording->failed(e.what());
    }
    if (of_camera) s.recording->started();
}

json archived_calibration(Session& s, const std::string& chip, const std::string& tag, long long number) {
    try {
        if (!s.archive_db) s.archive_db = Archive::open(s.archive);
        auto rows = s.archive_db->db().exec(
            "SELECT backup FROM calibrations WHERE chip = $1 AND unit_tag = $2 AND unit_number = $3 AND good = 1 "
            "ORDER BY utc DESC LIMIT 1",
            {chip, tag, number});
        if (rows.empty()) return nullptr;
        json doc = json::parse(text_of(rows[0][0]), nullptr, false);
        return doc.is_discarded() ? json() : doc;
    } catch (const ArchiveError& e) {
        throw Failure(FILE_ERROR, e.what());
    }
}

}  // namespace orvex_factory

using namespace orvex_factory;

namespace {

// Parses "OG 123" (or "OG123") into a tag and a number.
bool parse_unit(const std::string& text, std::string* tag, long long* number) {
    size_t i = 0;
    while (i < text.size() && !std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
    *tag = text.substr(0, i);
    while (!tag->empty() && tag->back() == ' ') tag->pop_back();
    if (tag->empty() || i == text.size()) return false;
    char* end = nullptr;
    *number = std::strtoll(text.c_str() + i, &end, 10);
    return *end == 0;
}

}  // namespace

std::shared_ptr<Archive> orvex_factory::open_named_archive(const char* where) {
    if (!where || !*where) throw Failure(USAGE, "no archive named (--archive FILE|URL or ORVEX_ARCHIVE)");
    try {
        return Archive::open(where);
    } catch (const ArchiveError& e) {
        throw Failure(FILE_ERROR, e.what());
    }
}

extern "C" {

BOOL OrvexFactory_SetArchive(OrvexFactorySession* s, const char* where) {
    if (!s) return 0;
    try {
        s->archive = where ? where : "";
        s->archive_db.reset();
    } catch (...) {
        return 0;
    }
    return 1;
}

int OrvexFactory_ArchiveStatus(const char* where, OrvexFactoryResult** out) {
    return run(nullptr, out, [&] {
        auto a = open_named_archive(where);
        try {
            return a->status();
        } catch (const ArchiveError& e) {
            throw Failure(FILE_ERROR, e.what());
        }
    });
}

int OrvexFactory_ArchiveHistory(const char* where, const char* unit, OrvexFactoryResult** out) {
    return run(nullptr, out, [&] {
        std::string tag;
        long long number = 0;
        if (!unit || !parse_unit(unit, &tag, &number))
            throw Failure(USAGE, std::string("unit ") + (unit ? unit : "") + ": name it by its tag and number (OG 123)");
        auto a = open_named_archive(where);
        try {
            return a->history(tag, number);
        } catch (const ArchiveError& e) {
            throw Failure(FILE_ERROR, e.what());
        }
    });
}

}

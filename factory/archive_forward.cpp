// Store and forward: a station writes its own SQLite file first, always,
// and sends what the line database lacks when it can. A batch is one
// remote transaction; its rows are marked forwarded locally only after the
// remote COMMIT returned. A lost acknowledgement therefore means sending
// the batch again, and the line skips by UUID (calibrations: SHA-256)
// what it has, so every row arrives there exactly once.
#include "archive.h"
#include "result.h"
#include "text.h"

namespace orvex_factory {

json forward(Archive& local, const std::string& line, int batch) {
    json out = {{"line", line}, {"sent", 0}};
    long long sent = 0;
    std::string shown = url_without_password(line), error;
    try {
        auto remote = Archive::open(line);
        shown = remote->db().where();
        for (;;) {
            std::vector<json> events = local.pending_events(batch), cals;
            if (events.size() < static_cast<size_t>(batch))
                cals = local.pending_calibrations(batch / 10 + 1);  // larger rows: a smaller batch
            if (events.empty() && cals.empty()) break;
            remote->append(events, cals);  // returns once the line committed
            std::vector<std::string> keys;
            for (const json& e : events) keys.push_back(e["uuid"]);
            for (const json& c : cals) keys.push_back(c["sha256"]);
            local.mark_forwarded(keys);
            sent += static_cast<long long>(keys.size());
        }
    } catch (const std::exception& e) {
        error = e.what();
    }
    out["line"] = shown;
    out["sent"] = sent;
    // The station's notes for `archive status`; they may fail (a full or
    // read-only disk) without changing what was sent.
    try {
        local.set_meta("line", shown);
        local.set_meta("last_forward_utc", utc_now_iso());
        local.set_meta("last_forward_error", error);
    } catch (const std::exception&) {
    }
    try {
        out["pending"] = local.pending();
    } catch (const std::exception& e) {
        out["pending"] = nullptr;
        if (error.empty()) error = e.what();
    }
    if (!error.empty()) out["error"] = error;
    return out;
}

}  // namespace orvex_factory

using namespace orvex_factory;

extern "C" {

BOOL OrvexFactory_SetLineArchive(OrvexFactorySession* s, const char* line) {
    if (!s) return 0;
    try {
        s->line = line ? line : "";
    } catch (...) {
        return 0;
    }
    return 1;
}

int OrvexFactory_ArchiveSync(const char* archive, const char* line, OrvexFactoryResult** out) {
    return run(nullptr, out, [&] {
        if (!line || !*line)
            throw Failure(USAGE, "no line database named (--line URL or ORVEX_LINE_ARCHIVE)");
        if (!is_database_url(line))
            throw Failure(USAGE, std::string("line database ") + line + ": name it by its URL (postgresql://...)");
        if (archive && is_database_url(archive))
            throw Failure(USAGE, "the archive is a line database itself; name the station's archive file to forward");
        auto a = open_named_archive(archive);
        json r = forward(*a, line);
        if (r.contains("error")) {
            // The count itself can fail (a station file gone unreadable):
            // the transfer's error still has to reach the caller.
            const json& pending = r["pending"];
            const std::string left = pending.is_number()
                                         ? std::to_string(pending.get<long long>()) + " row(s) still pending"
                                         : std::string("the rows still pending cannot be counted");
            Failure f(TRANSFER, r["error"].get<std::string>() + "; " + left);
            f.partial = r;
            f.err = 0;  // the line's socket error, not a camera's answer
            throw f;
        }
        return r;
    });
}

}

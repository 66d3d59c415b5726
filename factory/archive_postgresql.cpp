// The line's archive: one PostgreSQL database every station of a line
// forwards to. The station never waits on it longer than a deadline: a
// server that is down, unreachable or hung (stopped, swapping, a lock held
// by a stuck client) costs at most ORVEX_ARCHIVE_TIMEOUT seconds (default
// 5) per connection and per statement, and the station's own SQLite file
// keeps what did not get through.
//
// Every wait is poll() on the connection's socket against the real
// monotonic clock: the virtual camera the tests run under replaces sleep
// and usleep with its device clock, but neither poll nor clock_gettime.
#include <libpq-fe.h>
#include <poll.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "archive_backend.h"
#include "libpq_client.h"
#include "text.h"

namespace orvex_factory {

namespace {

// Type OIDs of the results the archive reads (pg_type.h, stable).
constexpr Oid kInt8 = 20, kInt2 = 21, kInt4 = 23, kBytea = 17;
// The key of the advisory lock every writer of the line takes: one
// station's transaction at a time, migrations included.
constexpr long long kWriterLock = 0x4f72766578417263LL;

double now_s() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double deadline_s() {
    const char* env = std::getenv("ORVEX_ARCHIVE_TIMEOUT");
    if (env && *env) {
        char* end = nullptr;
        double v = std::strtod(env, &end);
        if (end != env && *end == 0 && v > 0 && std::isfinite(v)) return v;
    }
    return 5.0;
}

std::string trimmed(const char* msg) {
    std::string m = msg ? msg : "";
    while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
    for (char& c : m)
        if (c == '\n') c = ' ';
    return m;
}

class Postgresql final : public ArchiveBackend {
public:
    explicit Postgresql(const std::string& url) : url_(url), shown_(url_without_password(url)), limit_(deadline_s()) {
        // connect_timeout first: one the URL names wins.
        const std::string secs = std::to_string(static_cast<long>(std::ceil(limit_)));
        const char* keys[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
        const char* vals[] = {secs.c_str(), "orvex-archive", url.c_str(), nullptr};
        conn_ = pq_.connectStartParams(keys, vals, 1);
        if (!conn_) throw ArchiveError("line database " + shown_ + ": out of memory");
        try {
            connect();
            const long ms = static_cast<long>(limit_ * 1000);
            // The server's own limits: a statement (a lock wait included)
            // that outlives the deadline is stopped there too, and a
            // backend whose client gave up notices within a second.
            exec("SET statement_timeout = " + std::to_string(ms));
            exec("SET client_connection_check_interval = 1000");
            exec("SET client_min_messages = warning");
        } catch (...) {
            pq_.finish(conn_);
            conn_ = nullptr;
            throw;
        }
    }
    ~Postgresql() override {
        if (conn_) pq_.finish(conn_);
    }

    std::vector<Row> exec(const std::string& sql, const std::vector<Value>& params = {}) override {
        if (!conn_) throw ArchiveError(gone_);
        std::vector<std::string> text(params.size());
        std::vector<const char*> values(params.size());
        std::vector<int> lengths(params.size()), formats(params.size());
        std::vector<Oid> types(params.size());
        for (size_t i = 0; i < params.size(); ++i) {
            const Value& v = params[i];
            if (is_null(v)) {
                values[i] = nullptr;
            } else if (auto* b = std::get_if<Blob>(&v)) {
                // Raw bytes as binary: no escaping, no hex doubling.
                values[i] = reinterpret_cast<const char*>(b->bytes.data());
                lengths[i] = static_cast<int>(b->bytes.size());
                formats[i] = 1;
                types[i] = kBytea;
                if (b->bytes.empty()) values[i] = "";
            } else {
                text[i] = text_of(v);
                values[i] = text[i].c_str();
            }
        }
        const double until = now_s() + limit_;
        if (!pq_.sendQueryParams(conn_, sql.c_str(), static_cast<int>(params.size()), types.data(), values.data(),
                                  lengths.data(), formats.data(), 0))
            fail("send");
        // Non-blocking: a large batch goes out as the server reads it.
        for (;;) {
            const int f = pq_.flush(conn_);
            if (f == 0) break;
            if (f < 0) fail("send");
            wait(POLLOUT | POLLIN, until);
            if (!pq_.consumeInput(conn_)) fail("receive");
        }
        // The last result is the statement's; owned here, so a connection
        // that drops or a deadline that passes while later ones arrive
        // frees it on the way out.
        std::unique_ptr<PGresult, void (*)(PGresult*)> owned(nullptr, pq_.clear);
        std::vector<Row> rows;
        for (;;) {
            while (pq_.isBusy(conn_)) {
                wait(POLLIN, until);
                if (!pq_.consumeInput(conn_)) fail("receive");
            }
            PGresult* r = pq_.getResult(conn_);
            if (!r) break;
            owned.reset(r);
        }
        PGresult* res = owned.get();
        if (!res) fail("no result");
        const ExecStatusType st = pq_.resultStatus(res);
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK)
            throw ArchiveError("line database " + shown_ + ": " + trimmed(pq_.resultErrorMessage(res)));
        const int n = pq_.ntuples(res), cols = pq_.nfields(res);
        rows.reserve(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            Row r;
            for (int c = 0; c < cols; ++c) {
                if (pq_.getisnull(res, i, c)) {
                    r.emplace_back(nullptr);
                    continue;
                }
                const char* v = pq_.getvalue(res, i, c);
                const Oid t = pq_.ftype(res, c);
                if (t == kInt8 || t == kInt4 || t == kInt2) {
                    r.emplace_back(static_cast<long long>(std::strtoll(v, nullptr, 10)));
                } else if (t == kBytea) {
                    // Text results: bytea in its hex form, "\x0a1b...".
                    Bytes b;
                    if (std::strncmp(v, "\\x", 2) != 0 || !from_hex(v + 2, &b))
                        throw ArchiveError("line database " + shown_ + ": bytea not in hex form");
                    r.emplace_back(Blob{std::move(b)});
                } else {
                    r.emplace_back(std::string(v, static_cast<size_t>(pq_.getlength(res, i, c))));
                }
            }
            rows.push_back(std::move(r));
        }
        return rows;
    }

    void begin_write() override {
        exec("BEGIN");
        exec("SELECT pg_advisory_xact_lock(" + std::to_string(kWriterLock) + ")");
    }
    void commit() override { exec("COMMIT"); }
    void rollback() override {
        if (!conn_ || pq_.status(conn_) != CONNECTION_OK || pq_.transactionStatus(conn_) == PQTRANS_IDLE) return;
        try {
            exec("ROLLBACK");
        } catch (...) {
        }
    }
    const char* blob_type() const override { return "BYTEA"; }
    std::vector<std::string> append_only(const std::string& t) const override {
        return {"CREATE OR REPLACE FUNCTION orvex_append_only() RETURNS trigger LANGUAGE plpgsql AS "
                "'BEGIN RAISE EXCEPTION ''the archive is append-only''; END'",
                "CREATE TRIGGER " + t + "_no_change BEFORE UPDATE OR DELETE ON " + t +
                    " FOR EACH ROW EXECUTE FUNCTION orvex_append_only()",
                "CREATE TRIGGER " + t + "_no_truncate BEFORE TRUNCATE ON " + t +
                    " FOR EACH STATEMENT EXECUTE FUNCTION orvex_append_only()"};
    }
    std::string where() const override { return shown_; }

private:
    void connect() {
        const double until = now_s() + limit_;
        PostgresPollingStatusType st = PGRES_POLLING_WRITING;
        for (;;) {
            if (pq_.status(conn_) == CONNECTION_BAD) fail_connect();
            if (st == PGRES_POLLING_OK) break;
            if (st == PGRES_POLLING_FAILED) fail_connect();
            wait(st == PGRES_POLLING_READING ? POLLIN : POLLOUT, until, true);
            st = pq_.connectPoll(conn_);
        }
        if (pq_.setnonblocking(conn_, 1) != 0) fail("non-blocking");
    }
    [[noreturn]] void fail_connect() {
        throw ArchiveError("line database " + shown_ + " cannot be reached: " + trimmed(pq_.errorMessage(conn_)));
    }

    // Waits for the socket up to the deadline; past it, asks the server
    // to cancel the statement and gives the connection up.
    void wait(short events, double until, bool connecting = false) {
        for (;;) {
            const double left = until - now_s();
            if (left <= 0) timed_out(connecting);
            pollfd p{pq_.socket(conn_), events, 0};
            if (p.fd < 0) fail("socket");
            const int rc = ::poll(&p, 1, static_cast<int>(std::ceil(left * 1000)));
            if (rc > 0) return;
            if (rc < 0 && errno != EINTR) fail("poll");
        }
    }

    [[noreturn]] void timed_out(bool connecting) {
        if (!connecting) {
            // PQcancel opens a connection of its own and waits for the
            // server's answer, which a stopped server never gives: it runs
            // on a thread of its own that nobody waits for. Where threads
            // cannot start, the server's statement_timeout and its check
            // of the closed connection end the statement instead.
            if (PGcancel* c = pq_.getCancel(conn_)) {
                try {
                    // The client's functions live as long as the process.
                    std::thread([c, pq = &pq_] {
                        char buf[256];
                        pq->cancel(c, buf, sizeof buf);
                        pq->freeCancel(c);
                    }).detach();
                } catch (...) {
                    pq_.freeCancel(c);
                }
            }
        }
        pq_.finish(conn_);
        conn_ = nullptr;
        char secs[32];
        std::snprintf(secs, sizeof secs, "%g", limit_);
        gone_ = "line database " + shown_ + " did not answer within " + secs + " s (ORVEX_ARCHIVE_TIMEOUT)";
        throw ArchiveError(gone_);
    }

    [[noreturn]] void fail(const char* what) {
        std::string why = conn_ ? trimmed(pq_.errorMessage(conn_)) : "";
        throw ArchiveError("line database " + shown_ + ": " + (why.empty() ? "connection lost" : why) + " (" + what +
                           ")");
    }

    const LibpqClient& pq_ = libpq_client();
    std::string url_, shown_;
    std::string gone_;  // why the connection was given up
    double limit_;
    PGconn* conn_ = nullptr;
};

}  // namespace

std::unique_ptr<ArchiveBackend> open_postgresql(const std::string& url) {
    return std::make_unique<Postgresql>(url);
}

}  // namespace orvex_factory

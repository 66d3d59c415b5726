// The station's archive: one SQLite file on the local disk. WAL lets the
// station's other processes read while one writes; writers queue behind
// each other for up to the busy timeout instead of failing.
#include <sqlite3.h>
#include <time.h>

#include "archive_backend.h"

namespace orvex_factory {

namespace {

constexpr int kBusyMs = 10000;

// "$3" becomes "?3": the numbered form SQLite binds by index.
std::string numbered(const std::string& sql) {
    std::string out = sql;
    for (size_t i = 0; i + 1 < out.size(); ++i)
        if (out[i] == '$' && out[i + 1] >= '0' && out[i + 1] <= '9') out[i] = '?';
    return out;
}

class Sqlite final : public ArchiveBackend {
public:
    explicit Sqlite(const std::string& path) : path_(path) {
        // Never creates a folder: a missing one is a mistyped path.
        int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) {
            std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close(db_);
            db_ = nullptr;
            throw ArchiveError("cannot open archive " + path + ": " + why);
        }
        sqlite3_busy_handler(db_, &Sqlite::busy, this);
        sqlite3_extended_result_codes(db_, 1);
        // Reads the header first: a file that is not a database is refused
        // here, before anything could write to it.
        try {
            exec("PRAGMA journal_mode=WAL");
            exec("PRAGMA synchronous=NORMAL");
        } catch (...) {
            // A constructor that throws runs no destructor.
            sqlite3_close_v2(db_);
            db_ = nullptr;
            throw;
        }
    }
    ~Sqlite() override { sqlite3_close_v2(db_); }

    std::vector<Row> exec(const std::string& sql, const std::vector<Value>& params = {}) override {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, numbered(sql).c_str(), -1, &st, nullptr) != SQLITE_OK) fail("prepare");
        struct Finalize {
            sqlite3_stmt* s;
            ~Finalize() { sqlite3_finalize(s); }
        } fin{st};
        for (size_t i = 0; i < params.size(); ++i) {
            const int at = static_cast<int>(i + 1);
            const Value& v = params[i];
            int rc = SQLITE_OK;
            if (is_null(v))
                rc = sqlite3_bind_null(st, at);
            else if (auto* n = std::get_if<long long>(&v))
                rc = sqlite3_bind_int64(st, at, *n);
            else if (auto* t = std::get_if<std::string>(&v))
                rc = sqlite3_bind_text(st, at, t->data(), static_cast<int>(t->size()), SQLITE_TRANSIENT);
            else {
                const Bytes& b = std::get<Blob>(v).bytes;
                rc = sqlite3_bind_blob(st, at, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
            }
            if (rc != SQLITE_OK) fail("bind");
        }
        std::vector<Row> rows;
        for (;;) {
            int rc = sqlite3_step(st);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) fail("step");
            Row r;
            for (int c = 0, n = sqlite3_column_count(st); c < n; ++c) {
                switch (sqlite3_column_type(st, c)) {
                case SQLITE_NULL: r.emplace_back(nullptr); break;
                case SQLITE_INTEGER: r.emplace_back(static_cast<long long>(sqlite3_column_int64(st, c))); break;
                case SQLITE_BLOB: {
                    auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st, c));
                    r.emplace_back(Blob{Bytes(p, p + sqlite3_column_bytes(st, c))});
                    break;
                }
                default: {
                    auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
                    r.emplace_back(std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st, c))));
                }
                }
            }
            rows.push_back(std::move(r));
        }
        return rows;
    }
    // IMMEDIATE takes the write lock at once, so two writers never both
    // read and then deadlock on the upgrade; the busy timeout queues them.
    void begin_write() override { exec("BEGIN IMMEDIATE", {}); }
    void commit() override { exec("COMMIT", {}); }
    void rollback() override {
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    const char* blob_type() const override { return "BLOB"; }
    std::vector<std::string> append_only(const std::string& t) const override {
        std::vector<std::string> out;
        for (const char* op : {"UPDATE", "DELETE"})
            out.push_back("CREATE TRIGGER IF NOT EXISTS " + t + "_no_" + op + " BEFORE " + op + " ON " + t +
                          " BEGIN SELECT RAISE(ABORT, 'the archive is append-only'); END");
        return out;
    }
    std::string where() const override { return path_; }

private:
    // Waits for another writer up to kBusyMs of real time. Not SQLite's
    // own timeout: it sleeps with usleep, which a host may have replaced
    // (the virtual camera's clock makes every usleep return at once).
    static int busy(void* self, int tries) {
        auto* me = static_cast<Sqlite*>(self);
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double t = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
        if (tries == 0) me->busy_since_ = t;
        if (t - me->busy_since_ > kBusyMs / 1000.0) return 0;
        timespec nap{0, (tries < 10 ? 1 : 5) * 1000000L};
        clock_nanosleep(CLOCK_MONOTONIC, 0, &nap, nullptr);
        return 1;
    }
    double busy_since_ = 0;
    [[noreturn]] void fail(const char* what) {
        throw ArchiveError("archive " + path_ + ": " + sqlite3_errmsg(db_) + " (" + what + ")");
    }
    std::string path_;
    sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<ArchiveBackend> open_sqlite(const std::string& path) { return std::make_unique<Sqlite>(path); }

std::string text_of(const Value& v) {
    if (auto* t = std::get_if<std::string>(&v)) return *t;
    if (auto* n = std::get_if<long long>(&v)) return std::to_string(*n);
    return "";
}

long long int_of(const Value& v) {
    if (auto* n = std::get_if<long long>(&v)) return *n;
    if (auto* t = std::get_if<std::string>(&v)) return std::atoll(t->c_str());
    return 0;
}

json json_of(const Value& v) {
    if (auto* n = std::get_if<long long>(&v)) return *n;
    if (auto* t = std::get_if<std::string>(&v)) return *t;
    return nullptr;
}

}  // namespace orvex_factory

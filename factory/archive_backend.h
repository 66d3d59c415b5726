// Internal: the one small interface between the archive and a database
// engine. The archive speaks plain SQL with numbered parameters ($1, $2,
// ...) that both engines take; a back end adds only what differs between
// them: opening, transactions that serialise writers, and the column type
// of raw bytes.
#ifndef ORVEX_FACTORY_ARCHIVE_BACKEND_H
#define ORVEX_FACTORY_ARCHIVE_BACKEND_H

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core.h"

namespace orvex_factory {

// A parameter or a column: NULL, an integer, text, or raw bytes.
struct Blob {
    Bytes bytes;
};
using Value = std::variant<std::nullptr_t, long long, std::string, Blob>;
using Row = std::vector<Value>;

// A database error; the archive turns it into a message, never into a
// failed operation.
struct ArchiveError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class ArchiveBackend {
public:
    virtual ~ArchiveBackend() = default;
    // Runs one statement; the rows of a query.
    virtual std::vector<Row> exec(const std::string& sql, const std::vector<Value>& params = {}) = 0;
    // A write transaction that waits for (and excludes) other writers,
    // migrations included.
    virtual void begin_write() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;  // never throws
    virtual const char* blob_type() const = 0;
    // Statements that make a table refuse UPDATE and DELETE.
    virtual std::vector<std::string> append_only(const std::string& table) const = 0;
    virtual std::string where() const = 0;  // the file, or the URL without its password
};

std::unique_ptr<ArchiveBackend> open_sqlite(const std::string& path);
// A line database by its URL (postgresql://...); every wait on it ends
// after ORVEX_ARCHIVE_TIMEOUT seconds (default 5).
std::unique_ptr<ArchiveBackend> open_postgresql(const std::string& url);
// Whether WHERE names a line database rather than a file.
bool is_database_url(const std::string& where);
// A database URL as it may be shown: without the password of its user
// part or of a password= parameter.
std::string url_without_password(const std::string& url);

// Helpers on results.
inline bool is_null(const Value& v) { return std::holds_alternative<std::nullptr_t>(v); }
std::string text_of(const Value& v);  // "" for NULL
long long int_of(const Value& v);     // 0 for NULL
json json_of(const Value& v);         // a text column as JSON: null, number or string

// Commits when it goes out of scope after commit(); otherwise rolls back.
class WriteTransaction {
public:
    explicit WriteTransaction(ArchiveBackend& db) : db_(db) { db_.begin_write(); }
    ~WriteTransaction() {
        if (!done_) db_.rollback();
    }
    void commit() {
        db_.commit();
        done_ = true;
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

private:
    ArchiveBackend& db_;
    bool done_ = false;
};

}  // namespace orvex_factory

#endif

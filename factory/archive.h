// Internal: the archive of a station (or a line): an append-only record of
// every operation on every unit, and every calibration a unit ever
// carried, kept by its SHA-256.
//
// An operation is two rows of the event table, each with its own UUID: a
// "started" row written once the camera is identified and before anything
// is written to it, and a "finished" row with the outcome. No row is ever
// changed, so rows can be forwarded and imported by UUID alone, and an
// operation with a started row and no finished one (unplugged, power lost,
// killed) shows as interrupted.
#ifndef ORVEX_FACTORY_ARCHIVE_H
#define ORVEX_FACTORY_ARCHIVE_H

#include <memory>

#include "archive_backend.h"
#include "session.h"

namespace orvex_factory {

// The schema this library writes; an archive of a newer one is refused.
constexpr int kArchiveSchema = 2;
// The columns of an event row, in schema order.
const std::vector<std::string>& event_columns();

class Archive {
public:
    // Opens (creating an SQLite file when missing) and migrates. Throws
    // ArchiveError when it cannot, leaving what is there as it was.
    static std::shared_ptr<Archive> open(const std::string& where);
    explicit Archive(std::unique_ptr<ArchiveBackend> db);

    ArchiveBackend& db() { return *db_; }
    const std::string& station() const { return station_; }
    int schema() const { return schema_; }

    // Inserts event rows (column name -> value) and the calibrations in one
    // transaction; rows whose UUID (calibrations: SHA-256) is there already
    // are skipped. Returns how many rows were new.
    int append(const std::vector<json>& events, const std::vector<json>& calibrations = {});

    json status();

    // Store and forward. The rows the line database has not confirmed
    // (events by UUID, calibrations by SHA-256), oldest first; the mark
    // that it has, written only after the line's COMMIT returned; and the
    // station's notes of its last forward (meta: line, last_forward_utc,
    // last_forward_error).
    std::vector<json> pending_events(int limit);
    std::vector<json> pending_calibrations(int limit);
    void mark_forwarded(const std::vector<std::string>& keys);
    long long pending();
    void set_meta(const std::string& key, const std::string& value);
    std::string meta(const std::string& key);
    // The operations on unit TAG NUMBER, oldest first, and its calibrations.
    json history(const std::string& tag, long long number);
    // Every row as JSON lines objects: {"event": {...}} and {"calibration": {...}}.
    std::vector<json> dump();

private:
    void migrate();
    std::unique_ptr<ArchiveBackend> db_;
    std::string station_;
    int schema_ = 0;
};

// Sends what ARCHIVE (a station's file) holds and LINE (a line database's
// URL) lacks, in batches of one remote transaction each, and marks them
// forwarded. Never throws: {"line", "sent", "pending", "error"?}; "error"
// when the line could not be reached or refused a batch (the rest stays
// pending and the next forward sends it again; the line skips by UUID
// what it already has).
json forward(Archive& archive, const std::string& line, int batch = 500);

// Generates a random (version 4) UUID.
std::string new_uuid();
// A backup document's calibration as a row of the calibration table
// (raw: the backed-up ranges' bytes, keyed by their SHA-256).
json calibration_row(const json& backup_doc, const std::string& event_uuid);

// What one recorded operation is; see run_recorded.
struct Recording {
    Recording(const char* k, const uint8_t* d = nullptr, long l = 0) : kind(k), data(d), len(l) {}
    const char* kind;            // "burn", "backup", "restore", "verify", "calibration import", ...
    const uint8_t* data = nullptr;  // the image or data it writes or compares
    long len = 0;
    std::string image_name;
};
// Runs an operation as run() does and, when the session names an
// archive, records it. The archive never changes the status: a failed
// write is a note (log callback) and "archive" in the result's JSON.
int run_recorded(Session* s, OrvexFactoryResult** out, const Recording& what, const std::function<json()>& op);

// What an operation learned that the archive keeps (no-ops without a
// recording). The first identification blocks read also write the
// started row: the unit is known and nothing was written yet.
void archive_saw_id_blocks(Session& s, const json& blocks, const json& unit);
// A backup document the operation read from the camera (of_camera: the
// unit is the camera's) or is about to write to it.
void archive_saw_backup(Session& s, const json& backup_doc, bool of_camera);
void archive_saw(Session& s, const char* key, const json& value);  // first value of each key wins
// The newest good backup document of unit TAG NUMBER on chip CHIP in the
// session's archive; null when there is none. Throws FILE_ERROR when the
// archive cannot be read.
json archived_calibration(Session& s, const std::string& chip, const std::string& tag, long long number);

// The facts of every row about who wrote it: the tool's version, the host,
// and the operator ($ORVEX_OPERATOR, else the login name).
void add_who(json& e);

// The archive an exported call names: no name is a usage failure, one that
// cannot be opened a file failure.
std::shared_ptr<Archive> open_named_archive(const char* where);

}  // namespace orvex_factory

#endif

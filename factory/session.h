// Internal: a session on one camera. It holds the camera's lock from its
// first device access until it is freed, so that everything one command
// does (a backup, a burn and the restore after it) is never interleaved
// with another process's queries, and opens the camera only while an
// operation needs it: the calibration store opens and closes the camera
// itself and must not find it open.
#ifndef ORVEX_FACTORY_SESSION_H
#define ORVEX_FACTORY_SESSION_H

#include <csignal>
#include <memory>

#include "SFData.h"
#include "core.h"

namespace orvex_factory {
class Archive;
struct ArchiveRecorder;
}  // namespace orvex_factory

struct OrvexFactorySession {
    int index = 0;
    OrvexFactoryLogFn log_fn = nullptr;
    void* log_ctx = nullptr;
    OrvexFactoryProgressFn progress_fn = nullptr;
    void* progress_ctx = nullptr;
    OrvexFactoryCountFn count_fn = nullptr;
    void* count_ctx = nullptr;
    long wait_s = 30;
    std::string backup_dir;  // empty: the user's state folder
    std::string flash_type = "auto";
    std::string command;
    volatile sig_atomic_t cancel = 0;
    bool holding = false;
    // Notes of the running operation, also returned in its result.
    std::vector<std::string> notes;
    std::vector<std::string> backups_written;
    // The archive the session's operations are recorded in ("": none),
    // opened at the first recorded operation, and the one being recorded.
    std::string archive;
    std::shared_ptr<orvex_factory::Archive> archive_db;
    // The line database each recorded operation is forwarded to ("": none).
    std::string line;
    orvex_factory::ArchiveRecorder* recording = nullptr;
};

namespace orvex_factory {

using Session = OrvexFactorySession;

// Notes the operator should see, and details for whoever asks.
void note(Session& s, const std::string& message);
void info(Session& s, const std::string& message);
void progress(Session& s, const char* phase, long done, long total);
// The caller's running query count (0 without a counter).
uint64_t queries(const Session& s);
// Throws CANCELLED when the session was asked to stop; read-only phases
// call it between transfers.
void check_cancel(Session& s);

// "/dev/video<index>".
std::string node_name(const Session& s);

// The camera open for the lifetime of this object (and locked for the
// session's). Throws NO_DEVICE when it cannot be opened or another process
// holds it past the session's wait.
class Connection {
public:
    explicit Connection(Session& s);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    void close();

private:
    bool open_ = false;
};

// OrvexTac_Init and UnInit report failures on standard error themselves;
// the library says what failed in its own message, so it silences them
// while alive.
class QuietStderr {
public:
    QuietStderr();
    ~QuietStderr();
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_ = -1;
};

// Takes the session's camera lock (first call only).
void hold_camera(Session& s);
void release_camera(Session& s);

// The flash type the session names, or the one the JEDEC id gives (needs
// an open, identified camera).
SERIAL_FLASH_TYPE session_flash_type(Session& s);

}  // namespace orvex_factory

#endif

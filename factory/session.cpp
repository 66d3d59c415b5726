// Sessions: options, notes and progress, the camera connection and its lock.
#include "session.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "OrvexTac.h"
#include "SFData/flash_family.h"
#include "spi.h"
#include "text.h"

namespace orvex_factory {

void note(Session& s, const std::string& message) {
    s.notes.push_back(message);
    if (s.log_fn) s.log_fn(s.log_ctx, ORVEX_FACTORY_LOG_NOTE, message.c_str());
}

void info(Session& s, const std::string& message) {
    if (s.log_fn) s.log_fn(s.log_ctx, ORVEX_FACTORY_LOG_INFO, message.c_str());
}

void progress(Session& s, const char* phase, long done, long total) {
    if (s.progress_fn) s.progress_fn(s.progress_ctx, phase, done, total);
}

uint64_t queries(const Session& s) {
    return s.count_fn ? static_cast<uint64_t>(s.count_fn(s.count_ctx)) : 0;
}

void check_cancel(Session& s) {
    if (s.cancel) throw Failure(CANCELLED, "stopped on request; nothing was written");
}

std::string node_name(const Session& s) { return "/dev/video" + std::to_string(s.index); }

// ------------------------------------------------------------ the lock
// The whole-command hold of libOrvexBase: its own operations go ahead while
// this process holds the camera, another process's wait. Another holder is
// waited for up to the session's wait (real time), then named.

void hold_camera(Session& s) {
    if (s.holding) return;
    char holder[256] = "";
    bool got = OrvexTac_HoldCamera(s.index, 0, holder, sizeof holder) != 0;
    if (!got && s.wait_s > 0) {
        note(s, node_name(s) + " is in use (" + (*holder ? holder : "unknown") + "); waiting up to " +
                    std::to_string(s.wait_s) + " s");
        got = OrvexTac_HoldCamera(s.index, static_cast<LONG>(s.wait_s) * 1000, holder, sizeof holder) != 0;
    }
    if (!got)
        throw Failure(NO_DEVICE, node_name(s) + " is in use by another process (pid " +
                                     (*holder ? std::string(holder) : std::string("unknown")) + "); waited " +
                                     std::to_string(s.wait_s) + " s (--wait SECONDS waits longer)");
    s.holding = true;
}

void release_camera(Session& s) {
    if (!s.holding) return;
    s.holding = false;
    OrvexTac_ReleaseCamera();
}

// ------------------------------------------------------------ connection

QuietStderr::QuietStderr() {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) ::close(null);
}

QuietStderr::~QuietStderr() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    ::close(saved_);
}


Connection::Connection(Session& s) {
    hold_camera(s);
    // A host that holds the camera open itself (OrvexTac_Init) keeps its
    // connection: the session works on it and leaves it open.
    if (camera_init) return;
    int e = 0;
    {
        QuietStderr quiet;
        errno = 0;
        open_ = OrvexTac_Init(s.index) == 1;
        e = errno;
    }
    if (!open_) {
        errno = e;
        throw Failure(NO_DEVICE, "cannot open " + node_name(s) + (e ? std::string(": ") + std::strerror(e) : ""));
    }
    errno = 0;  // a later failure's errno is then the failed query's own
}

Connection::~Connection() { close(); }

void Connection::close() {
    if (!open_) return;
    QuietStderr quiet;
    OrvexTac_UnInit();
    open_ = false;
}

SERIAL_FLASH_TYPE session_flash_type(Session& s) {
    if (s.flash_type != "auto") return parse_flash_type(s.flash_type);
    FlashId f = read_flash_id();
    if (f.type == SFT_UNKNOW)
        throw Failure(REFUSED, "flash JEDEC id " + hex_bytes(f.id, 3) +
                                   " is not in the flash table; name the type with --flash-type");
    info(s, std::string("flash type ") + orvex::flash_family(f.type).name + " (JEDEC " + hex_bytes(f.id, 3) + ")");
    return f.type;
}

}  // namespace orvex_factory

using namespace orvex_factory;

extern "C" {

OrvexFactorySession* OrvexFactory_New(int video_index) {
    if (video_index < 0) return nullptr;
    auto* s = new (std::nothrow) OrvexFactorySession;
    if (s) s->index = video_index;
    return s;
}

void OrvexFactory_Free(OrvexFactorySession* s) {
    if (!s) return;
    release_camera(*s);
    delete s;
}

void OrvexFactory_SetLog(OrvexFactorySession* s, OrvexFactoryLogFn fn, void* ctx) {
    if (!s) return;
    s->log_fn = fn;
    s->log_ctx = ctx;
}

void OrvexFactory_SetProgress(OrvexFactorySession* s, OrvexFactoryProgressFn fn, void* ctx) {
    if (!s) return;
    s->progress_fn = fn;
    s->progress_ctx = ctx;
}

void OrvexFactory_SetQueryCounter(OrvexFactorySession* s, OrvexFactoryCountFn fn, void* ctx) {
    if (!s) return;
    s->count_fn = fn;
    s->count_ctx = ctx;
}

void OrvexFactory_SetWait(OrvexFactorySession* s, LONG seconds) {
    if (s) s->wait_s = seconds < 0 ? 0 : seconds;
}

BOOL OrvexFactory_SetBackupDir(OrvexFactorySession* s, const char* dir) {
    if (!s) return 0;
    try {
        s->backup_dir = dir ? dir : "";
    } catch (...) {
        return 0;
    }
    return 1;
}

BOOL OrvexFactory_SetFlashType(OrvexFactorySession* s, const char* name) {
    if (!s || !name) return 0;
    try {
        std::string n = name;
        if (n != "auto") parse_flash_type(n);
        s->flash_type = n;
    } catch (...) {
        return 0;
    }
    return 1;
}

void OrvexFactory_SetCommand(OrvexFactorySession* s, const char* command) {
    if (!s) return;
    try {
        s->command = command ? command : "";
    } catch (...) {
    }
}

void OrvexFactory_Cancel(OrvexFactorySession* s) {
    if (s) s->cancel = 1;
}

}

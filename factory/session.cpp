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
#include "internal/node_lock.h"
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
// The library takes the same lock for each operation and goes ahead when
// the holder is its own process. Another holder is waited for up to the
// session's wait (real time: alarm, not the sleep a virtual camera
// replaces), then named.

namespace {
int g_hold_fd = -1;
int g_hold_count = 0;
void on_alarm(int) {}
}  // namespace

void hold_camera(Session& s) {
    if (s.holding) return;
    if (g_hold_fd >= 0) {  // another session of this process holds it
        ++g_hold_count;
        s.holding = true;
        return;
    }
    char path[512];
    orvex_lock::lock_path(node_name(s).c_str(), path, sizeof path);
    int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        info(s, std::string("no lock file ") + path + ": " + std::strerror(errno) + "; going ahead unlocked");
        return;
    }
    fchmod(fd, 0666);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char text[256];
        orvex_lock::holder_pid(fd, text, sizeof text);
        bool got = false;
        if (s.wait_s > 0) {
            note(s, node_name(s) + " is in use (" + (*text ? text : "unknown") + "); waiting up to " +
                        std::to_string(s.wait_s) + " s");
            struct sigaction sa {}, old {};
            sa.sa_handler = on_alarm;
            sigemptyset(&sa.sa_mask);
            sigaction(SIGALRM, &sa, &old);
            alarm(static_cast<unsigned>(s.wait_s));
            got = flock(fd, LOCK_EX) == 0;
            alarm(0);
            sigaction(SIGALRM, &old, nullptr);
            if (!got) orvex_lock::holder_pid(fd, text, sizeof text);
        }
        if (!got) {
            ::close(fd);
            throw Failure(NO_DEVICE, node_name(s) + " is in use by another process (pid " +
                                         (*text ? std::string(text) : std::string("unknown")) + "); waited " +
                                         std::to_string(s.wait_s) + " s (--wait SECONDS waits longer)");
        }
    }
    std::string rec = std::to_string(getpid()) + " " + (s.command.empty() ? "orvex" : s.command) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, rec.data(), rec.size(), 0) < 0) {
        // The record only helps whoever waits; the lock is the flock.
    }
    g_hold_fd = fd;
    g_hold_count = 1;
    s.holding = true;
}

void release_camera(Session& s) {
    if (!s.holding) return;
    s.holding = false;
    if (--g_hold_count > 0 || g_hold_fd < 0) return;
    if (ftruncate(g_hold_fd, 0) != 0) {
        // A stale record is only shown, never trusted.
    }
    ::close(g_hold_fd);  // releases the flock
    g_hold_fd = -1;
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

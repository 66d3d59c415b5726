// The library's side of the per-camera lock: every exported operation holds
// it while it runs, so that two processes never interleave their queries
// (a register read is a SET and a GET; a flash read many). Nested
// operations only count their depth. A process whose program already holds
// the camera for a longer command (the holder record names this process)
// goes ahead. Without a lock file (no writable folder) the library works
// as before: the lock never adds a failure.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <errno.h>

#include "../internal/node_lock.h"
#include "node_lock.h"

namespace {
int g_lock_fd = -1;
int g_depth = 0;
bool g_locked = false;

void record_holder() {
    char text[64];
    char comm[32] = "";
    FILE* f = fopen("/proc/self/comm", "r");
    if (f) {
        if (!fgets(comm, sizeof comm, f)) comm[0] = 0;
        fclose(f);
        comm[strcspn(comm, "\n")] = 0;
    }
    int n = snprintf(text, sizeof text, "%ld %s\n", static_cast<long>(getpid()), comm);
    if (ftruncate(g_lock_fd, 0) == 0 && pwrite(g_lock_fd, text, static_cast<size_t>(n), 0) < 0) {
        // The record is a courtesy for whoever waits; the lock is the flock.
    }
}
}  // namespace

void orvex_node_lock_open(const char* devPath) {
    orvex_node_lock_close();
    char path[512];
    orvex_lock::lock_path(devPath, path, sizeof path);
    g_lock_fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (g_lock_fd >= 0) fchmod(g_lock_fd, 0666);  // other users' processes share it
}

void orvex_node_lock_close() {
    if (g_lock_fd < 0) return;
    close(g_lock_fd);
    g_lock_fd = -1;
    g_locked = false;
}

OrvexNodeLock::OrvexNodeLock() {
    if (g_depth++ > 0 || g_lock_fd < 0) return;
    if (flock(g_lock_fd, LOCK_EX | LOCK_NB) != 0) {
        char text[64];
        if (orvex_lock::holder_pid(g_lock_fd, text, sizeof text) == static_cast<long>(getpid())) return;
        while (flock(g_lock_fd, LOCK_EX) != 0)
            if (errno != EINTR) return;  // unlockable: go ahead as without a lock file
    }
    g_locked = true;
    record_holder();
}

OrvexNodeLock::~OrvexNodeLock() {
    if (--g_depth > 0 || !g_locked) return;
    g_locked = false;
    if (g_lock_fd < 0) return;
    if (ftruncate(g_lock_fd, 0) != 0) {
        // The stale record names a process that no longer holds the lock;
        // waiters only show it.
    }
    flock(g_lock_fd, LOCK_UN);
}

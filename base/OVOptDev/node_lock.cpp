// The library's side of the per-camera lock: every exported operation holds
// it while it runs, so that two processes never interleave their queries
// (a register read is a SET and a GET; a flash read many). Nested
// operations only count their depth. A process that holds the camera for a
// whole command (OrvexTac_HoldCamera) goes ahead in every thread.
//
// The lock is a robust, process-shared mutex in a small file mapped once,
// when the camera opens (base/internal/node_lock.h names the file). Taking
// and releasing it uncontended is a few atomic operations in this
// process's memory: no system call, no file write, which keeps it well
// below the cost of the two ioctls of a register access. A holder that
// dies releases it (the next taker sees EOWNERDEAD and carries on). Who
// holds it is read only when someone has to wait: from the mutex's owner
// thread, or the record a whole-command holder leaves in the mapping.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "../OrvexTac.h"
#include "../internal/node_lock.h"
#include "node_lock.h"

namespace {

struct LockPage {
    std::atomic<uint32_t> state;  // 0 new, 1 being set up, 2 ready
    uint32_t version;
    pthread_mutex_t mutex;
    std::atomic<int32_t> holder_pid;  // a whole-command holder, else 0
    char holder[128];                 // its "PID NAME"
};
constexpr size_t kPageSize = 4096;
static_assert(sizeof(LockPage) <= kPageSize, "one page");
constexpr uint32_t kReady = 2;

// A camera's lock as mapped here. The open camera and a whole-command
// hold share one mapping when they name the same camera.
struct Mapping {
    LockPage* page = nullptr;
    std::string key;
};

Mapping g_camera;             // the camera OV_OpenCamera opened
Mapping g_hold;               // the one OrvexTac_HoldCamera holds
std::atomic<int> g_holds{0};  // nested whole-command holds of this process
thread_local int t_depth = 0;
// The lock this thread's outermost operation took: released by the same
// thread, and kept mapped until then even when the operation closes the
// camera (OrvexTac_UnInit).
thread_local LockPage* t_page = nullptr;

void init_mutex(LockPage* p) {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&p->mutex, &a);
    pthread_mutexattr_destroy(&a);
    p->holder_pid.store(0);
    p->holder[0] = 0;
    p->state.store(kReady, std::memory_order_release);
}

// The first process to map a new file sets the mutex up; the others wait
// the microseconds that takes, or take over from a creator that died.
void set_up(LockPage* p) {
    uint32_t expected = 0;
    if (p->state.compare_exchange_strong(expected, 1)) {
        init_mutex(p);
        return;
    }
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (p->state.load(std::memory_order_acquire) != kReady) {
        sched_yield();
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec > 1) {
            init_mutex(p);
            return;
        }
    }
}

// Opens (or creates) and maps the lock file. It is opened without O_CREAT
// first: in a sticky world-writable folder a kernel with
// fs.protected_regular refuses O_CREAT on another user's existing file,
// even one every user may write.
LockPage* map_lock(const std::string& key, std::string* error) {
    char path[600];
    orvex_lock::lock_path(key.c_str(), path, sizeof path);
    int fd = open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
        fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0)
            fchmod(fd, 0666);  // every user who may open the camera takes its lock
        else if (errno == EEXIST)
            fd = open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) {
        *error = std::string(path) + ": " + strerror(errno);
        return nullptr;
    }
    struct stat st {};
    // Growing to the same size is harmless when two processes race to it.
    if (fstat(fd, &st) != 0 || (st.st_size < static_cast<off_t>(kPageSize) && ftruncate(fd, kPageSize) != 0)) {
        *error = std::string(path) + ": " + strerror(errno);
        close(fd);
        return nullptr;
    }
    void* m = mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int saved = errno;
    close(fd);
    if (m == MAP_FAILED) {
        *error = std::string(path) + ": " + strerror(saved);
        return nullptr;
    }
    auto* p = static_cast<LockPage*>(m);
    set_up(p);
    return p;
}

// Maps node's lock into m, sharing other's mapping of the same camera.
bool attach(Mapping& m, const Mapping& other, const char* node) {
    std::string key, error;
    orvex_lock::lock_key(node, &key);
    if (other.page && other.key == key) {
        m.page = other.page;
        m.key = key;
        return true;
    }
    m.page = map_lock(key, &error);
    if (!m.page) {
        // Not silent: the user learns that nothing keeps others out.
        fprintf(stderr, "orvex: cannot use the camera lock %s; other processes may interleave with this one\n",
                error.c_str());
        return false;
    }
    m.key = key;
    return true;
}

void detach(Mapping& m, const Mapping& other) {
    if (m.page && m.page != other.page && m.page != t_page) munmap(m.page, kPageSize);
    m.page = nullptr;
    m.key.clear();
}

// The open camera is the held one: its operations go ahead.
bool camera_is_held() {
    return g_holds.load(std::memory_order_relaxed) > 0 && g_camera.page == g_hold.page;
}

// A lock whose holder died is taken over; its record goes with it.
int taken_over(LockPage* p, int r) {
    if (r != EOWNERDEAD) return r;
    p->holder_pid.store(0);
    p->holder[0] = 0;
    pthread_mutex_consistent(&p->mutex);
    return 0;
}

int take(LockPage* p, const timespec* deadline) {
    return taken_over(p, deadline ? pthread_mutex_timedlock(&p->mutex, deadline) : pthread_mutex_lock(&p->mutex));
}

int try_take(LockPage* p) { return taken_over(p, pthread_mutex_trylock(&p->mutex)); }

// A /proc file's text; a command line's arguments joined by spaces.
std::string read_proc(const std::string& path, bool cmdline) {
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return "";
    char buf[256];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    if (cmdline)
        for (size_t i = 0; i + 1 < n; ++i)
            if (buf[i] == 0) buf[i] = ' ';
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

long process_of(long tid) {
    long pid = tid;
    FILE* f = fopen(("/proc/" + std::to_string(tid) + "/status").c_str(), "r");
    if (f) {
        char line[128];
        while (fgets(line, sizeof line, f))
            if (sscanf(line, "Tgid: %ld", &pid) == 1) break;
        fclose(f);
    }
    return pid;
}

// "PID NAME" of the process whose thread tid holds the lock.
std::string describe_thread(long tid) {
    long pid = process_of(tid);
    std::string name = read_proc("/proc/" + std::to_string(pid) + "/cmdline", true);
    return std::to_string(pid) + " " + (name.empty() ? "unknown" : name);
}

std::string describe_holder(LockPage* p) {
    // glibc keeps the owner thread's id in the mutex.
    long tid = p->mutex.__data.__owner;
    int32_t recorded = p->holder_pid.load();
    char text[sizeof p->holder];
    memcpy(text, p->holder, sizeof text);
    text[sizeof text - 1] = 0;
    if (tid <= 0) return "unknown";
    // The record is the holder's only while that process holds the lock.
    if (recorded && *text && recorded == process_of(tid)) return text;
    return describe_thread(tid);
}

void after_fork_in_child() {
    // The parent's threads hold what they hold; this process holds nothing.
    t_depth = 0;
    t_page = nullptr;
    g_holds.store(0);
}

__attribute__((constructor)) void install_fork_handler() {
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
}

}  // namespace

void orvex_node_lock_open(const char* devPath) {
    orvex_node_lock_close();
    attach(g_camera, g_hold, devPath);
}

void orvex_node_lock_close() { detach(g_camera, g_hold); }

OrvexNodeLock::OrvexNodeLock() {
    if (t_depth++ > 0) return;
    LockPage* p = g_camera.page;
    if (!p || camera_is_held()) return;
    if (try_take(p) == 0 || take(p, nullptr) == 0) t_page = p;
}

OrvexNodeLock::~OrvexNodeLock() {
    if (--t_depth > 0 || !t_page) return;
    LockPage* p = t_page;
    t_page = nullptr;
    pthread_mutex_unlock(&p->mutex);
    if (p != g_camera.page && p != g_hold.page) munmap(p, kPageSize);  // closed meanwhile
}

extern "C" {

BOOL OrvexTac_HoldCamera(int index, LONG timeout_ms, char* holder, LONG holder_len) {
    if (holder && holder_len > 0) holder[0] = 0;
    if (g_holds.load() > 0) {
        ++g_holds;
        return 1;
    }
    char node[64];
    snprintf(node, sizeof node, "/dev/video%d", index);
    if (!attach(g_hold, g_camera, node)) return 1;  // told on standard error; nothing to hold
    LockPage* p = g_hold.page;
    int r = try_take(p);
    if (r == EBUSY && timeout_ms < 0) {
        r = take(p, nullptr);
    } else if (r == EBUSY && timeout_ms > 0) {
        // Real time, whatever clock the program's sleeps run on.
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += timeout_ms / 1000;
        deadline.tv_nsec += (timeout_ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            ++deadline.tv_sec;
            deadline.tv_nsec -= 1000000000L;
        }
        r = take(p, &deadline);
    }
    if (r != 0) {
        if (holder && holder_len > 0)
            snprintf(holder, static_cast<size_t>(holder_len), "%s", describe_holder(p).c_str());
        detach(g_hold, g_camera);
        return 0;
    }
    // The record others read while they wait for the whole command.
    snprintf(p->holder, sizeof p->holder, "%s", describe_thread(getpid()).c_str());
    p->holder_pid.store(getpid());
    g_holds.store(1);
    return 1;
}

void OrvexTac_ReleaseCamera(void) {
    if (g_holds.load() <= 0 || --g_holds > 0) return;
    LockPage* p = g_hold.page;
    if (!p) return;
    p->holder_pid.store(0);
    p->holder[0] = 0;
    pthread_mutex_unlock(&p->mutex);
    detach(g_hold, g_camera);
}

}  // extern "C"

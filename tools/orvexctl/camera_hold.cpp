// The tool holds the camera's lock from its first access to the end of the
// command, so that a backup, a burn and the restore after it, or a
// calibration import's reads and writes, are never interleaved with another
// process's queries. The library takes the same lock for each operation
// and goes ahead when the holder is its own process. Another holder is
// waited for up to --wait seconds (real time: alarm, not the sleep the
// virtual camera replaces), then named.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "internal/node_lock.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {
int g_hold_fd = -1;
void on_alarm(int) {}
}  // namespace

void hold_camera(int index) {
    if (g_hold_fd >= 0) return;
    char path[512];
    orvex_lock::lock_path(("/dev/video" + std::to_string(index)).c_str(), path, sizeof path);
    int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        info(std::string("no lock file ") + path + ": " + std::strerror(errno) + "; going ahead unlocked");
        return;
    }
    fchmod(fd, 0666);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char text[256];
        orvex_lock::holder_pid(fd, text, sizeof text);
        bool got = false;
        if (g_opt.wait_s > 0) {
            note(std::string("/dev/video") + std::to_string(index) + " is in use (" + (*text ? text : "unknown") +
                 "); waiting up to " + std::to_string(g_opt.wait_s) + " s");
            struct sigaction sa {}, old {};
            sa.sa_handler = on_alarm;
            sigemptyset(&sa.sa_mask);
            sigaction(SIGALRM, &sa, &old);
            alarm(static_cast<unsigned>(g_opt.wait_s));
            got = flock(fd, LOCK_EX) == 0;
            alarm(0);
            sigaction(SIGALRM, &old, nullptr);
            if (!got) orvex_lock::holder_pid(fd, text, sizeof text);
        }
        if (!got) {
            ::close(fd);
            throw Failure(EXIT_NO_DEVICE, "/dev/video" + std::to_string(index) + " is in use by another process (pid " +
                                              (*text ? std::string(text) : std::string("unknown")) + "); waited " +
                                              std::to_string(g_opt.wait_s) + " s (--wait SECONDS waits longer)");
        }
    }
    std::string rec = std::to_string(getpid()) + " orvexctl" + g_opt.command + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, rec.data(), rec.size(), 0) < 0) {
        // The record only helps whoever waits; the lock is the flock.
    }
    g_hold_fd = fd;
}

void release_camera() {
    if (g_hold_fd < 0) return;
    if (ftruncate(g_hold_fd, 0) != 0) {
        // A stale record is only shown, never trusted.
    }
    ::close(g_hold_fd);  // releases the flock
    g_hold_fd = -1;
}

}  // namespace orvexctl

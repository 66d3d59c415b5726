// System-call interposer. A /dev/video<N> node with a virtual camera
// attached opens a real descriptor (of /dev/null, so numbers are real and
// close works) that the device model then serves; everything else goes to
// libc. sleep and usleep take their time on the device's clock instead of
// sleeping. The device is either in this process (cameras attached here)
// or a device process that every program shares (device_client.h).
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/uvcvideo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "device_client.h"
#include "identity_tree.h"
#include "internal.h"

namespace {

template <class F> F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using open_fn = int (*)(const char*, int, ...);
using open2_fn = int (*)(const char*, int);
using close_fn = int (*)(int);
using ioctl_fn = int (*)(int, unsigned long, ...);

// "/dev/video<N>" with N a decimal number (a sign included, as the library
// formats any int into the path). Returns false for any other path.
bool video_index(const char* path, int* index) {
    static const char prefix[] = "/dev/video";
    if (!path || std::strncmp(path, prefix, sizeof prefix - 1) != 0) return false;
    const char* digits = path + sizeof prefix - 1;
    if (!*digits) return false;
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(digits, &end, 10);
    if (errno || *end || n < INT_MIN || n > INT_MAX) return false;
    *index = static_cast<int>(n);
    return true;
}

// Runs a call into the device model of this process under its lock; the
// device process serialises its own programs' requests.
template <class F> int in_process(F f) {
    std::lock_guard<std::recursive_mutex> g(vcam::model_lock());
    return f();
}

// Returns -2 when the path is not a virtual camera (the caller passes it on).
int open_virtual(const char* path, int flags) {
    int index;
    if (!video_index(path, &index)) return -2;
    bool remote = vcam::device_is_remote();
    int err = remote ? vcam::remote_open(index, flags)
                     : in_process([&] { return vcam::device_open(index, flags); });
    if (err == ENXIO) return -2;
    if (err) {
        errno = err;
        return -1;
    }
    static open_fn real_open = next<open_fn>("open");
    int fd = real_open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd < 0) {
        int saved = errno;
        remote ? vcam::remote_close(index) : in_process([&] { return vcam::device_close(index); });
        errno = saved;
        return fd;
    }
    vcam::bind_fd(fd, index);
    return fd;
}

int open_common(const char* name, const char* path, int flags, mode_t mode) {
    int r = open_virtual(path, flags);
    if (r != -2) return r;
    auto real = next<open_fn>(name);
    std::string shadow;
    if (vcam::redirect_path(path, &shadow)) return real(shadow.c_str(), flags, mode);
    return real(path, flags, mode);
}

using openat_fn = int (*)(int, const char*, int, ...);

// openat with an absolute path ignores the directory descriptor, so a
// camera node reached that way is served like any other open.
int openat_common(const char* name, int dirfd, const char* path, int flags, mode_t mode) {
    std::string shadow;
    if (path && path[0] == '/') {
        int r = open_virtual(path, flags);
        if (r != -2) return r;
        if (vcam::redirect_path(path, &shadow)) path = shadow.c_str();
    }
    auto real = next<openat_fn>(name);
    return real(dirfd, path, flags, mode);
}

bool wants_mode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

// The mode argument exists only when the flags ask for one; reading it
// otherwise would take garbage off the stack. Every open variant takes its
// optional mode through here.
mode_t mode_arg(int flags, va_list ap) { return wants_mode(flags) ? va_arg(ap, mode_t) : 0; }

// Declares mode as the optional argument after flags of a variadic open.
#define ORVEX_OPEN_MODE(flags, mode) \
    va_list ap;                      \
    va_start(ap, flags);             \
    const mode_t mode = mode_arg(flags, ap); \
    va_end(ap)

// The fortified __open_2 variants: no mode (the compiler checked there is
// none to pass).
int open2_common(const char* name, const char* path, int flags) {
    int r = open_virtual(path, flags);
    if (r != -2) return r;
    std::string shadow;
    if (vcam::redirect_path(path, &shadow)) path = shadow.c_str();
    return next<open2_fn>(name)(path, flags);
}

int serve_query(int index, uvc_xu_control_query* q) {
    int err = vcam::device_is_remote()
                  ? vcam::remote_query(index, q->unit, q->selector, q->query, q->size, q->data)
                  : in_process([&] {
                                        return vcam::device_query(index, getpid(), q->unit, q->selector,
                                                                  q->query, q->size, q->data);
                                    });
    if (err) {
        errno = err;
        return -1;
    }
    return 0;
}

void take_sleep(uint64_t us) {
    if (vcam::device_is_remote())
        vcam::remote_sleep(us);
    else
        in_process([&] {
            vcam::device_sleep(us);
            return 0;
        });
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    ORVEX_OPEN_MODE(flags, mode);
    return open_common("open", path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
    ORVEX_OPEN_MODE(flags, mode);
    return open_common("open64", path, flags, mode);
}

__attribute__((visibility("default"))) int openat(int dirfd, const char* path, int flags, ...) {
    ORVEX_OPEN_MODE(flags, mode);
    return openat_common("openat", dirfd, path, flags, mode);
}

__attribute__((visibility("default"))) int openat64(int dirfd, const char* path, int flags, ...) {
    ORVEX_OPEN_MODE(flags, mode);
    return openat_common("openat64", dirfd, path, flags, mode);
}

__attribute__((visibility("default"))) int __open_2(const char* path, int flags) {
    return open2_common("__open_2", path, flags);
}

__attribute__((visibility("default"))) int __open64_2(const char* path, int flags) {
    return open2_common("__open64_2", path, flags);
}

__attribute__((visibility("default"))) int __openat_2(int dirfd, const char* path, int flags) {
    return openat_common("openat", dirfd, path, flags, 0);
}

__attribute__((visibility("default"))) int __openat64_2(int dirfd, const char* path, int flags) {
    return openat_common("openat64", dirfd, path, flags, 0);
}

__attribute__((visibility("default"))) int close(int fd) {
    static close_fn real_close = next<close_fn>("close");
    if (vcam::is_virtual_fd(fd)) {
        int index = vcam::index_for_fd(fd);
        int err = vcam::device_is_remote() ? vcam::remote_close(index)
                                             : in_process([&] { return vcam::device_close(index); });
        if (err) {
            // The descriptor stays open, as the caller was told.
            errno = err;
            return -1;
        }
        vcam::unbind_fd(fd);
    }
    return real_close(fd);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (vcam::is_virtual_fd(fd)) {
        if (request == UVCIOC_CTRL_QUERY) {
            if (!arg) {
                errno = EFAULT;
                return -1;
            }
            return serve_query(vcam::index_for_fd(fd), static_cast<uvc_xu_control_query*>(arg));
        }
        errno = ENOTTY;
        return -1;
    }
    static ioctl_fn real_ioctl = next<ioctl_fn>("ioctl");
    return real_ioctl(fd, request, arg);
}

__attribute__((visibility("default"))) unsigned int sleep(unsigned int seconds) {
    take_sleep(static_cast<uint64_t>(seconds) * 1000000u);
    return 0;
}

__attribute__((visibility("default"))) int usleep(useconds_t usec) {
    take_sleep(usec);
    return 0;
}

}  // extern "C"

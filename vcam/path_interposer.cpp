// The path calls a tool makes to read a camera's identity (sysfs attributes,
// /dev/v4l links), pointed at the device's identity tree when the path lies
// under a directory the tree lays over (identity_tree.h). The open calls do
// the same in interposer.cpp; calls made relative to a directory descriptor
// need nothing, as the descriptor is already inside the tree.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "identity_tree.h"

namespace {

template <class F> F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The path as the call should see it; shadow holds the storage.
const char* mapped(const char* path, std::string* shadow) {
    return vcam::redirect_path(path, shadow) ? shadow->c_str() : path;
}

}  // namespace

// One forwarding definition per call; the argument named path is mapped.
#define ORVEX_PATH_CALL(ret, name, params, args)                          \
    extern "C" __attribute__((visibility("default"))) ret name params {  \
        using fn = ret(*) params;                                        \
        static fn real = next<fn>(#name);                                \
        std::string shadow;                                              \
        path = mapped(path, &shadow);                                    \
        return real args;                                                \
    }

ORVEX_PATH_CALL(FILE*, fopen, (const char* path, const char* mode), (path, mode))
ORVEX_PATH_CALL(FILE*, fopen64, (const char* path, const char* mode), (path, mode))
ORVEX_PATH_CALL(int, stat, (const char* path, struct stat* st), (path, st))
ORVEX_PATH_CALL(int, lstat, (const char* path, struct stat* st), (path, st))
ORVEX_PATH_CALL(int, stat64, (const char* path, struct stat64* st), (path, st))
ORVEX_PATH_CALL(int, lstat64, (const char* path, struct stat64* st), (path, st))
ORVEX_PATH_CALL(int, access, (const char* path, int mode), (path, mode))
ORVEX_PATH_CALL(ssize_t, readlink, (const char* path, char* buf, size_t size), (path, buf, size))
ORVEX_PATH_CALL(DIR*, opendir, (const char* path), (path))

// The *at calls: an absolute path ignores the directory descriptor, so it
// is mapped as above; a relative one resolves where the descriptor is.
ORVEX_PATH_CALL(int, fstatat, (int dirfd, const char* path, struct stat* st, int flags),
              (dirfd, path, st, flags))
ORVEX_PATH_CALL(int, fstatat64, (int dirfd, const char* path, struct stat64* st, int flags),
              (dirfd, path, st, flags))
ORVEX_PATH_CALL(int, statx,
              (int dirfd, const char* path, int flags, unsigned int mask, struct statx* st),
              (dirfd, path, flags, mask, st))
ORVEX_PATH_CALL(ssize_t, readlinkat, (int dirfd, const char* path, char* buf, size_t size),
              (dirfd, path, buf, size))
ORVEX_PATH_CALL(int, faccessat, (int dirfd, const char* path, int mode, int flags),
              (dirfd, path, mode, flags))

// realpath answers in the program's view: the tree's own location is
// taken off again.
extern "C" __attribute__((visibility("default"))) char* realpath(const char* path, char* resolved) {
    using fn = char* (*)(const char*, char*);
    static fn real = next<fn>("realpath");
    std::string shadow;
    if (!vcam::redirect_path(path, &shadow)) return real(path, resolved);
    char* r = real(shadow.c_str(), nullptr);
    if (!r) return nullptr;
    std::string seen = vcam::unredirect_path(r);
    std::free(r);
    if (resolved) {
        std::snprintf(resolved, PATH_MAX, "%s", seen.c_str());
        return resolved;
    }
    return strdup(seen.c_str());
}

// Programs built with _FORTIFY_SOURCE (Debian's packages are) call checked
// entry points instead wherever the buffer's size is known: without these,
// a packaged tool reads the system's sysfs rather than the camera's.
ORVEX_PATH_CALL(ssize_t, __readlink_chk, (const char* path, char* buf, size_t size, size_t buflen),
                (path, buf, size, buflen))
ORVEX_PATH_CALL(ssize_t, __readlinkat_chk,
                (int dirfd, const char* path, char* buf, size_t size, size_t buflen),
                (dirfd, path, buf, size, buflen))

extern "C" __attribute__((visibility("default"))) char* __realpath_chk(const char* path, char* resolved,
                                                                        size_t resolved_len) {
    using fn = char* (*)(const char*, char*, size_t);
    static fn real = next<fn>("__realpath_chk");
    // The real one aborts on a buffer too small for any answer.
    if (resolved_len < PATH_MAX) return real(path, resolved, resolved_len);
    return realpath(path, resolved);
}

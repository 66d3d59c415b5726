// One process at a time on a camera: an advisory lock on a file named after
// the camera's node (not its descriptor), so that every process that opens
// the same /dev/videoN, through the real driver or a shared virtual camera,
// meets the same lock. The file holds "PID NAME" of the current holder.
// Shared by the library and the tool. Not installed.
#ifndef ORVEX_INTERNAL_NODE_LOCK_H
#define ORVEX_INTERNAL_NODE_LOCK_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace orvex_lock {

// $ORVEX_LOCK_DIR, else /run/lock when writable, else /tmp; the file is
// orvex-<node with '/' as '_'>.lock.
inline void lock_path(const char* node, char* out, size_t size) {
    const char* dir = getenv("ORVEX_LOCK_DIR");
    if (!dir || !*dir) dir = access("/run/lock", W_OK) == 0 ? "/run/lock" : "/tmp";
    char name[256];
    size_t n = 0;
    for (const char* p = node; *p && n + 1 < sizeof name; ++p) {
        if (p == node && *p == '/') continue;
        name[n++] = *p == '/' ? '_' : *p;
    }
    name[n] = 0;
    snprintf(out, size, "%s/orvex-%s.lock", dir, name);
}

// The holder's process id as the file records it, or 0.
inline long holder_pid(int fd, char* text, size_t size) {
    ssize_t n = pread(fd, text, size - 1, 0);
    text[n > 0 ? n : 0] = 0;
    if (n > 0 && text[n - 1] == '\n') text[n - 1] = 0;
    return n > 0 ? strtol(text, nullptr, 10) : 0;
}

}  // namespace orvex_lock

#endif

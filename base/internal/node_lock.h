// Where the per-camera lock lives (base/OVOptDev/node_lock.cpp). One file
// per camera, named after the device itself rather than the path it was
// reached by: a character device by its device number, so /dev/video0 and
// any /dev/v4l link to it meet the same lock; a node that is no device
// (the virtual camera's) by its path once links are followed. The folder
// is $ORVEX_LOCK_DIR, else /run/lock when writable, else /tmp; the virtual
// camera gives each of its sessions a folder of its own, so a rehearsal
// never meets a real camera's lock nor another session's. Not installed.
#ifndef ORVEX_INTERNAL_NODE_LOCK_H
#define ORVEX_INTERNAL_NODE_LOCK_H

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

namespace orvex_lock {

// "/a/./b//c/../d" as "/a/b/d".
inline std::string normal_path(const std::string& path) {
    std::string out;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        std::string part = path.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            size_t cut = out.rfind('/');
            out.erase(cut == std::string::npos ? 0 : cut);
            continue;
        }
        out += "/" + part;
    }
    return out.empty() ? "/" : out;
}

inline void lock_key(const char* node, std::string* key) {
    std::string path = normal_path(node);
    // Links followed here, not by realpath: the virtual camera serves
    // readlink on the /dev/v4l links it lays over the system's.
    for (int hops = 0; hops < 16; ++hops) {
        char target[PATH_MAX];
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) break;
        target[n] = 0;
        path = normal_path(target[0] == '/' ? std::string(target) : path.substr(0, path.rfind('/') + 1) + target);
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
        *key = "char-" + std::to_string(major(st.st_rdev)) + "." + std::to_string(minor(st.st_rdev));
        return;
    }
    key->clear();
    for (char c : path.substr(1)) *key += c == '/' ? '_' : c;
}

inline void lock_path(const char* key, char* out, size_t size) {
    const char* dir = getenv("ORVEX_LOCK_DIR");
    if (!dir || !*dir) dir = access("/run/lock", W_OK) == 0 ? "/run/lock" : "/tmp";
    snprintf(out, size, "%s/orvex-%s.lock", dir, key);
}

}  // namespace orvex_lock

#endif

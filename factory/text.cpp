// Hex, CRC-32, UTC time stamps and files written safely.
#include "text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace orvex_factory {

std::string hex(uint64_t v, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(v));
    return buf;
}

std::string hex_bytes(const uint8_t* p, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", p[i]);
        s += buf;
    }
    return s;
}

std::string to_hex(const Bytes& b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(b.size() * 2);
    for (uint8_t v : b) {
        s += digits[v >> 4];
        s += digits[v & 15];
    }
    return s;
}

bool from_hex(const std::string& s, Bytes* out) {
    if (s.size() % 2) return false;
    Bytes b;
    b.reserve(s.size() / 2);
    auto nib = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 0; i < s.size(); i += 2) {
        int hi = nib(s[i]), lo = nib(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        b.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    *out = std::move(b);
    return true;
}

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc) {
    static const struct Table {
        uint32_t v[256];
        Table() {
            for (uint32_t i = 0; i < 256; ++i) {
                uint32_t c = i;
                for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                v[i] = c;
            }
        }
    } table;
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) crc = table.v[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

Bytes read_file(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw Failure(FILE_ERROR, "cannot read " + path + ": " + std::strerror(errno));
    Bytes data;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    int err = errno;
    bool bad = std::ferror(f);
    std::fclose(f);
    if (bad) throw Failure(FILE_ERROR, "cannot read " + path + ": " + std::strerror(err));
    return data;
}

namespace {

bool write_all(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// A new file beside the target, synced, then renamed over it: readers see
// the old contents or the new, never half.
void write_atomically(const std::string& path, const std::string& data) {
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw Failure(FILE_ERROR, "cannot write " + path + ": " + std::strerror(errno));
    bool ok = write_all(fd, data.data(), data.size());
    int err = errno;
    ok = ok && fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        err = errno ? errno : err;
        std::remove(tmp.c_str());
        throw Failure(FILE_ERROR, "cannot write " + path + ": " + std::strerror(err));
    }
}

// The file a path names once symbolic links are followed (the last link's
// target when it does not exist yet).
std::string link_target(const std::string& path) {
    std::string p = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        char buf[4096];
        ssize_t len = ::readlink(p.c_str(), buf, sizeof buf - 1);
        if (len <= 0) return p;
        std::string t(buf, static_cast<size_t>(len));
        if (t[0] != '/') {
            size_t slash = p.rfind('/');
            t = (slash == std::string::npos ? std::string() : p.substr(0, slash + 1)) + t;
        }
        p = t;
    }
    throw Failure(FILE_ERROR, "cannot write " + path + ": too many levels of symbolic links");
}

std::string utc_now(const char* format) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm tm{};
    gmtime_r(&tv.tv_sec, &tm);
    char buf[48];
    std::strftime(buf, sizeof buf, format, &tm);
    char us[16];
    std::snprintf(us, sizeof us, ".%06ldZ", static_cast<long>(tv.tv_usec));
    return std::string(buf) + us;
}

}  // namespace

void write_file(const std::string& path, const std::string& data) {
    std::string target = link_target(path);
    struct stat st;
    if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) throw Failure(FILE_ERROR, "cannot write " + path + ": " + std::strerror(errno));
        bool ok = write_all(fd, data.data(), data.size());
        int err = errno;
        ok = ::close(fd) == 0 && ok;
        if (!ok) throw Failure(FILE_ERROR, "cannot write " + path + ": " + std::strerror(err));
        return;
    }
    write_atomically(target, data);
}

bool write_file_exclusive(const std::string& path, const std::string& text) {
    // Written in full to a private name, then linked to the final name:
    // link never replaces an existing file.
    std::string tmp = path + ".part." + std::to_string(getpid());
    write_atomically(tmp, text);
    if (::link(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        std::remove(tmp.c_str());
        if (e == EEXIST) return false;
        throw Failure(FILE_ERROR, "cannot write " + path + ": " + std::strerror(e));
    }
    std::remove(tmp.c_str());
    return true;
}

std::string utc_now_iso() { return utc_now("%Y-%m-%dT%H:%M:%S"); }
std::string utc_now_compact() { return utc_now("%Y%m%dT%H%M%S"); }

}  // namespace orvex_factory

// Number and byte parsing, hex formatting, CRC-32 and local files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "orvexctl.h"

namespace orvexctl {

namespace {
long parse_base(const std::string& s, int base, const char* what) {
    std::string t = s;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t = t.substr(2);
        base = 16;
    }
    if (t.empty() || t[0] == '-' || t[0] == '+')
        throw Failure(EXIT_USAGE, std::string("bad ") + what + " '" + s + "'");
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(t.c_str(), &end, base);
    if (errno || *end || v > 0x7FFFFFFFFFFFFFFFull)
        throw Failure(EXIT_USAGE, std::string("bad ") + what + " '" + s + "'");
    return static_cast<long>(v);
}
}  // namespace

long parse_number(const std::string& s, const char* what) { return parse_base(s, 10, what); }
long parse_hex(const std::string& s, const char* what) { return parse_base(s, 16, what); }

Bytes parse_hex_bytes(const std::vector<std::string>& args) {
    Bytes out;
    for (const std::string& a : args) {
        std::string digits;
        for (size_t i = 0; i < a.size(); ++i) {
            char c = a[i];
            if (c == ',' || c == ':' || c == ' ') continue;
            if (c == '0' && i + 1 < a.size() && (a[i + 1] == 'x' || a[i + 1] == 'X') &&
                digits.size() % 2 == 0) {
                ++i;
                continue;
            }
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                throw Failure(EXIT_USAGE, "bad hex byte string '" + a + "'");
            digits += c;
        }
        if (digits.size() == 1) digits = "0" + digits;
        if (digits.size() % 2)
            throw Failure(EXIT_USAGE, "odd number of hex digits in '" + a + "'");
        for (size_t i = 0; i < digits.size(); i += 2)
            out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

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

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        ready = true;
    }
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

Bytes read_file(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw Failure(EXIT_FILE, "cannot read " + path + ": " + std::strerror(errno));
    Bytes data;
    uint8_t buf[65536];
    size_t n;
    errno = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    // A directory opens and fails its first read (EISDIR): say so.
    int err = errno;
    bool bad = std::ferror(f);
    std::fclose(f);
    if (bad) throw Failure(EXIT_FILE, "cannot read " + path + (err ? std::string(": ") + std::strerror(err) : ""));
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
void write_atomically(const std::string& path, const void* data, size_t n) {
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw Failure(EXIT_FILE, "cannot write " + path + ": " + std::strerror(errno));
    bool ok = write_all(fd, data, n);
    int err = errno;
    ok = ok && fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        err = errno ? errno : err;
        std::remove(tmp.c_str());
        throw Failure(EXIT_FILE, "cannot write " + path + ": " + std::strerror(err));
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
    throw Failure(EXIT_FILE, "cannot write " + path + ": too many levels of symbolic links");
}

bool g_result_to_stderr = false;
}  // namespace

bool results_to_stderr() { return g_result_to_stderr; }

void write_file(const std::string& path, const void* data, size_t n) {
    if (path == "-") {
        // The data is the standard output; the result goes to standard error.
        std::fflush(out());
        if (!write_all(fileno(out()), data, n))
            throw Failure(EXIT_FILE, std::string("cannot write standard output: ") + std::strerror(errno));
        g_result_to_stderr = true;
        return;
    }
    std::string target = link_target(path);
    struct stat st;
    if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // A device, a FIFO or a socket is written in place, never replaced.
        int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) throw Failure(EXIT_FILE, "cannot write " + path + ": " + std::strerror(errno));
        bool ok = write_all(fd, data, n);
        int err = errno;
        ok = ::close(fd) == 0 && ok;
        if (!ok) throw Failure(EXIT_FILE, "cannot write " + path + ": " + std::strerror(err));
        return;
    }
    write_atomically(target, data, n);
}

}  // namespace orvexctl

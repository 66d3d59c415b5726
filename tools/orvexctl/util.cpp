// Number and byte parsing, hex formatting, CRC-32 and local files.
#include <fcntl.h>
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
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    bool bad = std::ferror(f);
    std::fclose(f);
    if (bad) throw Failure(EXIT_FILE, "cannot read " + path);
    return data;
}

void write_file(const std::string& path, const void* data, size_t n) {
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw Failure(EXIT_FILE, "cannot write " + path + ": " + std::strerror(errno));
    const char* p = static_cast<const char*>(data);
    size_t left = n;
    bool ok = true;
    while (left > 0) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            ok = false;
            break;
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
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

}  // namespace orvexctl

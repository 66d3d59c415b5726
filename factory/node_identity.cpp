// Node identities from sysfs and udev, and camera selection.
#include "node_identity.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>

namespace orvex_factory {

namespace {
long parse_index(const std::string& d) {
    std::string t = d;
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t = t.substr(2);
        base = 16;
    }
    char* end = nullptr;
    errno = 0;
    long v = t.empty() || t[0] == '-' || t[0] == '+' ? -1 : std::strtol(t.c_str(), &end, base);
    if (v < 0 || errno || (end && *end)) throw Failure(USAGE, "bad device index '" + d + "'");
    return v;
}
}  // namespace

namespace {

std::string read_line(const std::string& path) {
    std::ifstream f(path);
    std::string s;
    if (!f || !std::getline(f, s)) return {};
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
    return s;
}

std::string base_name(const std::string& p) {
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string link_text(const std::string& path) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

// "videoN" -> N, else -1.
int video_number(const std::string& name) {
    if (name.compare(0, 5, "video") != 0 || name.size() == 5) return -1;
    char* end = nullptr;
    long v = std::strtol(name.c_str() + 5, &end, 10);
    if (*end || v < 0 || v >= 1 << 20) return -1;
    return static_cast<int>(v);
}

// The udev links in DIR that lead to /dev/videoN.
std::string link_to(const std::string& dir, int index) {
    std::string found;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::string p = dir + "/" + e->d_name;
            if (video_number(base_name(link_text(p))) == index) {
                found = p;
                break;
            }
        }
        closedir(d);
    }
    return found;
}

// PATH with every symbolic link along its last component followed, and
// "." and ".." folded lexically.
std::string follow_links(const std::string& path) {
    std::string p = path;
    for (int depth = 0; depth < 40; ++depth) {
        std::string t = link_text(p);
        if (t.empty()) break;
        p = t[0] == '/' ? t : p.substr(0, p.rfind('/') + 1) + t;
    }
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= p.size()) {
        size_t j = p.find('/', i);
        if (j == std::string::npos) j = p.size();
        std::string c = p.substr(i, j - i);
        if (c == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!c.empty() && c != ".") {
            parts.push_back(c);
        }
        i = j + 1;
    }
    std::string out;
    for (const auto& c : parts) out += "/" + c;
    return out.empty() ? "/" : out;
}

}  // namespace

NodeIdentity node_identity(int index) {
    NodeIdentity n;
    n.index = index;
    n.node = "/dev/video" + std::to_string(index);
    const std::string cls = "/sys/class/video4linux/video" + std::to_string(index);
    n.name = read_line(cls + "/name");
    n.node_index = read_line(cls + "/index");
    // device/ is the USB interface; its parent is the USB device, whose
    // directory name is the bus path (1-1.2).
    const std::string usb = cls + "/device/..";
    n.serial = read_line(usb + "/serial");
    n.vendor = read_line(usb + "/idVendor");
    n.product = read_line(usb + "/idProduct");
    char real[PATH_MAX];
    if (!n.vendor.empty() && ::realpath((cls + "/device/..").c_str(), real)) n.usb_path = base_name(real);
    n.driver = base_name(link_text(cls + "/device/driver"));
    n.by_id = link_to("/dev/v4l/by-id", index);
    n.by_path = link_to("/dev/v4l/by-path", index);
    return n;
}

std::vector<int> video_indices(bool probe_low) {
    std::set<int> out;
    if (probe_low)
        for (int i = 0; i < 64; ++i) out.insert(i);
    for (const char* dir : {"/dev", "/sys/class/video4linux"}) {
        if (DIR* d = opendir(dir)) {
            while (dirent* e = readdir(d)) {
                int v = video_number(e->d_name);
                if (v >= 0) out.insert(v);
            }
            closedir(d);
        }
    }
    return std::vector<int>(out.begin(), out.end());
}

namespace {
// A word as a POSIX shell reads it back.
std::string shell_word(const std::string& w) {
    bool plain = !w.empty();
    for (char c : w)
        plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("._-:+/=@,", c));
    if (plain) return w;
    std::string q = "'";
    for (char c : w) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}
}  // namespace

std::string camera_option(int index) {
    NodeIdentity me = node_identity(index);
    if (!me.serial.empty()) {
        // Two cameras that share a serial (cheap parts often do) cannot be
        // told apart by it.
        bool unique = true;
        for (int i : video_indices(false)) {
            if (i == index) continue;
            NodeIdentity n = node_identity(i);
            if (n.serial == me.serial && n.usb_path != me.usb_path) unique = false;
        }
        if (unique) return "--serial " + shell_word(me.serial);
    }
    if (!me.usb_path.empty()) return "--usb-path " + shell_word(me.usb_path);
    return "-d " + std::to_string(index);
}

int resolve_device(const Selector& s) {
    int given = !s.device.empty() + !s.serial.empty() + !s.usb_path.empty();
    if (given > 1) throw Failure(USAGE, "choose the camera with one of -d, --serial and --usb-path");
    if (!s.serial.empty() || !s.usb_path.empty()) {
        const bool by_serial = !s.serial.empty();
        const std::string& want = by_serial ? s.serial : s.usb_path;
        std::vector<int> hits;
        std::string seen;
        for (int i : video_indices(false)) {
            NodeIdentity n = node_identity(i);
            const std::string& have = by_serial ? n.serial : n.usb_path;
            if (have.empty()) continue;
            // A UVC camera may offer a metadata node beside its video node;
            // both share the USB device, and the video node has index 0.
            if (have == want) hits.insert(n.node_index == "1" ? hits.end() : hits.begin(), i);
            seen += (seen.empty() ? "" : ", ") + n.node + " " + have;
        }
        const char* what = by_serial ? "serial number" : "USB path";
        if (hits.empty())
            throw Failure(NO_DEVICE, std::string("no video node with ") + what + " " + want +
                                              (seen.empty() ? " (no USB video nodes found)" : " (present: " + seen + ")"));
        return hits.front();
    }
    if (s.device.empty()) return 0;
    const std::string& d = s.device;
    if (d.find('/') == std::string::npos) {
        long v = parse_index(d);
        if (v > 1 << 20) throw Failure(USAGE, "bad device index '" + d + "'");
        return static_cast<int>(v);
    }
    // A path: /dev/videoN itself, or a link that leads to one. The links
    // are followed by hand: the node they name may be served without a
    // directory entry (inside a container, or by the virtual camera), where
    // realpath gives up.
    std::string path = follow_links(d);
    if (video_number(base_name(path)) < 0) {
        struct stat st;
        if (::stat(d.c_str(), &st) != 0) throw Failure(NO_DEVICE, "no such device " + d);
    }
    int v = video_number(base_name(path));
    if (v < 0 || path.compare(0, 5, "/dev/") != 0)
        throw Failure(USAGE, d + " is not a video node (/dev/videoN or a /dev/v4l link to one)");
    return v;
}

json node_identity_json(const NodeIdentity& n) {
    auto or_null = [](const std::string& s) { return s.empty() ? json(nullptr) : json(s); };
    return {{"index", n.index},
            {"node", n.node},
            {"serial", or_null(n.serial)},
            {"usb_path", or_null(n.usb_path)},
            {"usb_id", n.vendor.empty() ? json(nullptr) : json(n.vendor + ":" + n.product)},
            {"driver", or_null(n.driver)},
            {"by_id", or_null(n.by_id)},
            {"by_path", or_null(n.by_path)}};
}

}  // namespace orvex_factory

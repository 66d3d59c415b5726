#include "identity_tree.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>

#include "vcam.h"

namespace vcam {
namespace fs = std::filesystem;

namespace {

const char* const kController = "sys/devices/platform/vcam_hcd.0";
const char* const kLaidOver[] = {"/sys/class/video4linux", "/sys/devices/platform/vcam_hcd.0",
                                 "/dev/v4l"};

std::string& root_path() {
    static std::string* root = new std::string;  // outlives exit handlers
    return *root;
}

using RootMaker = std::string (*)();
RootMaker& root_maker() {
    static RootMaker make = nullptr;
    return make;
}

std::string hex4(uint16_t v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04x", v);
    return b;
}

// udev's ID_SERIAL: vendor, model and serial strings, blanks as '_' (no
// serial part for a device without one).
std::string udev_serial(const UsbIdentity& id) {
    std::string s = id.manufacturer + "_" + id.product + (id.serial.empty() ? "" : "_" + id.serial);
    for (char& c : s)
        if (c == ' ' || c == '/' || !std::isprint(static_cast<unsigned char>(c))) c = '_';
    return s;
}

void write_file(const fs::path& p, const std::string& text, std::error_code& ec) {
    if (ec) return;
    std::ofstream f(p);
    f << text << '\n';
    if (!f) ec = std::make_error_code(std::errc::io_error);
}

void link(const std::string& target, const fs::path& p, std::error_code& ec) {
    if (ec) return;
    fs::create_directory_symlink(target, p, ec);
}

// "B-P.Q" -> bus B, ports "P.Q".
void split_bus_path(const std::string& bus_path, std::string* bus, std::string* ports) {
    size_t dash = bus_path.find('-');
    *bus = dash == std::string::npos ? "1" : bus_path.substr(0, dash);
    *ports = dash == std::string::npos ? bus_path : bus_path.substr(dash + 1);
}

}  // namespace

std::string identity_root(const std::string& socket) { return socket + ".d"; }

bool write_identity_tree(const std::string& root, std::string* error) {
    std::error_code ec;
    fs::remove_all(root, ec);
    ec.clear();
    fs::path r(root);
    // First: the programs' camera locks need it even when the rest fails.
    fs::create_directories(lock_folder(root), ec);
    if (!ec) fs::create_directories(r / "sys/class/video4linux", ec);
    if (!ec) fs::create_directories(r / "dev/v4l/by-id", ec);
    if (!ec) fs::create_directories(r / "dev/v4l/by-path", ec);
    for (int index : camera_indexes()) {
        if (ec) break;
        const UsbIdentity& id = camera(index)->profile().usb;
        std::string bus, ports, node = "video" + std::to_string(index);
        split_bus_path(id.bus_path, &bus, &ports);
        std::string dev_rel = std::string(kController) + "/usb" + bus + "/" + id.bus_path;
        std::string intf_rel = dev_rel + "/" + id.bus_path + ":1.0";
        std::string v4l_rel = intf_rel + "/video4linux/" + node;
        fs::path dev = r / dev_rel, v4l = r / v4l_rel;
        fs::create_directories(v4l, ec);
        write_file(dev / "idVendor", hex4(id.vendor_id), ec);
        write_file(dev / "idProduct", hex4(id.product_id), ec);
        if (!id.serial.empty()) write_file(dev / "serial", id.serial, ec);
        write_file(dev / "manufacturer", id.manufacturer, ec);
        write_file(dev / "product", id.product, ec);
        write_file(dev / "busnum", bus, ec);
        write_file(dev / "devnum", std::to_string(2 + index), ec);
        write_file(dev / "devpath", ports, ec);
        write_file(dev / "speed", "480", ec);
        write_file(r / intf_rel / "bInterfaceClass", "0e", ec);
        write_file(r / intf_rel / "bInterfaceNumber", "00", ec);
        write_file(v4l / "name", id.product, ec);
        write_file(v4l / "index", "0", ec);
        write_file(v4l / "dev", "81:" + std::to_string(index), ec);
        link("../../../" + id.bus_path + ":1.0", v4l / "device", ec);
        link("../../../../../../bus/usb/drivers/uvcvideo", r / intf_rel / "driver", ec);
        link("../../" + v4l_rel.substr(4), r / "sys/class/video4linux" / node, ec);
        // Cameras of one model with one serial: udev keeps one by-id link.
        fs::path by_id = r / "dev/v4l/by-id" / ("usb-" + udev_serial(id) + "-video-index0");
        if (!fs::is_symlink(by_id)) link("../../" + node, by_id, ec);
        link("../../" + node,
             r / "dev/v4l/by-path" / ("platform-vcam_hcd.0-usb-0:" + ports + ":1.0-video-index0"), ec);
        if (!metadata_node_of(index + 1)) continue;
        // The metadata node: the same interface, the next minor, index 1.
        std::string meta = "video" + std::to_string(index + 1);
        std::string meta_rel = intf_rel + "/video4linux/" + meta;
        fs::path m = r / meta_rel;
        if (!ec) fs::create_directories(m, ec);
        write_file(m / "name", id.product, ec);
        write_file(m / "index", "1", ec);
        write_file(m / "dev", "81:" + std::to_string(index + 1), ec);
        link("../../../" + id.bus_path + ":1.0", m / "device", ec);
        link("../../" + meta_rel.substr(4), r / "sys/class/video4linux" / meta, ec);
        link("../../" + meta, r / "dev/v4l/by-id" / ("usb-" + udev_serial(id) + "-video-index1"), ec);
        link("../../" + meta,
             r / "dev/v4l/by-path" / ("platform-vcam_hcd.0-usb-0:" + ports + ":1.0-video-index1"), ec);
    }
    if (ec) {
        *error = "cannot write " + root + ": " + ec.message();
        return false;
    }
    return true;
}

void remove_identity_tree(const std::string& root) {
    std::error_code ec;
    fs::remove_all(root, ec);
}

void set_identity_root(const std::string& root) {
    // realpath answers through the canonical form of the root.
    char canonical[PATH_MAX];
    root_path() = !root.empty() && ::realpath(root.c_str(), canonical) ? canonical : root;
}

void lay_identity_tree_on_demand(std::string (*make)()) { root_maker() = make; }

bool redirect_path(const char* path, std::string* out) {
    if (!path || path[0] != '/') return false;
    for (const char* prefix : kLaidOver) {
        size_t n = std::strlen(prefix);
        if (std::strncmp(path, prefix, n) == 0 && (path[n] == 0 || path[n] == '/')) {
            if (root_path().empty() && root_maker()) {
                static std::once_flag once;
                std::call_once(once, [] { set_identity_root(root_maker()()); });
            }
            const std::string& root = root_path();
            if (root.empty()) return false;
            *out = root + path;
            return true;
        }
    }
    return false;
}

std::string unredirect_path(const std::string& path) {
    const std::string& root = root_path();
    if (!root.empty() && path.compare(0, root.size(), root) == 0 && path.size() > root.size() &&
        path[root.size()] == '/')
        return path.substr(root.size());
    return path;
}

}  // namespace vcam

#include "configfs.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gadget {
namespace {

struct Builder {
    std::string root;
    std::string* error;
    bool ok = true;

    void fail(const std::string& what, const std::string& path) {
        if (!ok) return;
        ok = false;
        *error = what + " " + path + ": " + std::strerror(errno);
    }
    void mkdir(const std::string& rel) {
        if (!ok) return;
        std::string path = root + "/" + rel;
        // configfs creates some groups itself (the function's default
        // groups); mkdir -p semantics over them.
        std::string partial;
        size_t pos = 0;
        while (ok && pos != std::string::npos) {
            pos = path.find('/', pos + 1);
            partial = path.substr(0, pos);
            if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) fail("mkdir", partial);
        }
    }
    // Attribute files take their value in one write; a short write or an
    // error means the kernel refused the value.
    void write(const std::string& rel, const void* data, size_t n) {
        if (!ok) return;
        std::string path = root + "/" + rel;
        int f = ::open(path.c_str(), O_WRONLY);
        if (f < 0) return fail("open", path);
        ssize_t w = ::write(f, data, n);
        if (w != static_cast<ssize_t>(n)) {
            if (w >= 0) errno = EIO;
            fail("write", path);
        }
        ::close(f);
    }
    void write(const std::string& rel, const std::string& text) { write(rel, text.data(), text.size()); }
    void link(const std::string& target_rel, const std::string& link_rel) {
        if (!ok) return;
        std::string target = root + "/" + target_rel, path = root + "/" + link_rel;
        if (::symlink(target.c_str(), path.c_str()) != 0 && errno != EEXIST) fail("symlink", path);
    }
};

std::string hex(unsigned v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%04x", v);
    return b;
}

}  // namespace

bool build_gadget(const GadgetConfig& cfg, std::string* error) {
    Builder b{cfg.configfs + "/" + cfg.name, error};
    b.mkdir("");
    b.write("idVendor", hex(cfg.vendor));
    b.write("idProduct", hex(cfg.product));
    b.write("bcdDevice", "0x0100");
    b.write("bcdUSB", "0x0200");
    b.mkdir("strings/0x409");
    b.write("strings/0x409/manufacturer", "Orvex");
    b.write("strings/0x409/product", "Orvex virtual camera");
    b.write("strings/0x409/serialnumber", "0001");
    b.mkdir("configs/c.1/strings/0x409");
    b.write("configs/c.1/strings/0x409/configuration", "uvc");
    b.write("configs/c.1/MaxPower", "100");

    const std::string f = "functions/uvc.0";
    b.mkdir(f);
    // Control interface. No standard controls on the terminal and the
    // processing unit: the camera's only controls are the firmware's.
    b.mkdir(f + "/control/header/h");
    b.link(f + "/control/header/h", f + "/control/class/fs/h");
    b.link(f + "/control/header/h", f + "/control/class/ss/h");
    b.write(f + "/control/terminal/camera/default/bmControls", "0");
    b.write(f + "/control/processing/default/bmControls", "0");
    // The first extension unit gets id 4 (after CT 1, PU 2, OT 3). It takes
    // its input from the processing unit and feeds the output terminal.
    const std::string xu = f + "/control/extensions/xu";
    b.mkdir(xu);
    static const uint8_t guid[16] = {0x4f, 0x72, 0x76, 0x65, 0x78, 0x2d, 0x58, 0x55,
                                     0x2d, 0x66, 0x69, 0x72, 0x6d, 0x77, 0x61, 0x72};
    b.write(xu + "/guidExtensionCode", guid, sizeof guid);
    b.write(xu + "/bNumControls", std::to_string(cfg.xu_num_controls));
    b.write(xu + "/bmControls", hex(cfg.xu_controls));
    b.write(xu + "/baSourceID", "2");
    b.write(f + "/control/terminal/output/default/bSourceID", "4");

    // Streaming interface: one uncompressed format with one frame, which
    // the function needs to bind (nothing here streams).
    const std::string u = f + "/streaming/uncompressed/u";
    b.mkdir(u + "/360p");
    b.write(u + "/360p/dwFrameInterval", "666666\n");
    b.mkdir(f + "/streaming/header/h");
    b.link(u, f + "/streaming/header/h/u");
    for (const char* speed : {"fs", "hs", "ss"})
        b.link(f + "/streaming/header/h", f + "/streaming/class/" + speed + "/h");

    b.link(f, "configs/c.1/uvc.0");
    b.write("UDC", cfg.udc);
    return b.ok;
}

std::string find_gadget_node(const std::string& udc) {
    DIR* d = ::opendir("/sys/class/video4linux");
    if (!d) return "";
    std::string found;
    while (dirent* e = ::readdir(d)) {
        if (std::strncmp(e->d_name, "video", 5) != 0) continue;
        std::string link = std::string("/sys/class/video4linux/") + e->d_name;
        char real[PATH_MAX];
        if (!::realpath(link.c_str(), real)) continue;
        if (std::strstr(real, ("/" + udc + "/").c_str())) {
            found = std::string("/dev/") + e->d_name;
            break;
        }
    }
    ::closedir(d);
    return found;
}

}  // namespace gadget

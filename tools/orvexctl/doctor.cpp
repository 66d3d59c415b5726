// doctor: why a camera cannot be used. Checks the node, its owner, group
// and mode against the current user, whether uvcvideo is loaded, whether
// the node opens and whether the extension unit answers, and prints the
// udev rule that grants access.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "factory_client.h"
#include "node_access.h"
#include "orvexctl.h"
#include "udev_rule.h"

namespace orvexctl {

const char* udev_rule() { return kUdevRule; }

namespace {
std::string user_name(uid_t u) {
    passwd* p = getpwuid(u);
    return p ? p->pw_name : std::to_string(u);
}
std::string group_name(gid_t g) {
    group* p = getgrgid(g);
    return p ? p->gr_name : std::to_string(g);
}
bool in_group(gid_t g) {
    if (getegid() == g) return true;
    gid_t groups[256];
    int n = getgroups(256, groups);
    for (int i = 0; i < n; ++i)
        if (groups[i] == g) return true;
    return false;
}
}  // namespace

int cmd_doctor() {
    const std::string node = "/dev/video" + std::to_string(g_opt.device);
    json checks = json::array();
    std::string t;
    int code = EXIT_OK;
    auto add = [&](const std::string& name, const std::string& status, const std::string& detail) {
        checks.push_back({{"check", name}, {"status", status}, {"detail", detail}});
        t += "[" + status + "] " + name + ": " + detail + "\n";
    };

    struct stat st;
    if (stat(node.c_str(), &st) == 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
        std::string d = std::string(S_ISCHR(st.st_mode) ? "character device" : "not a character device") +
                        ", owner " + user_name(st.st_uid) + ", group " + group_name(st.st_gid) + ", mode " + mode;
        add("node", S_ISCHR(st.st_mode) ? "ok" : "warn", node + ": " + d);
        NodeAccess a;
        a.owner = st.st_uid;
        a.group = st.st_gid;
        a.mode = st.st_mode & 07777;
        a.owner_name = user_name(st.st_uid);
        a.group_name = group_name(st.st_gid);
        a.me = geteuid();
        a.my_name = user_name(a.me);
        a.in_group = in_group(st.st_gid);
        bool rw = may_open(a);
        add("access", rw ? "ok" : "fail",
            "user " + a.my_name + (rw ? " may open it read-write"
                                      : " may not open it read-write: " + access_advice(a)));
    } else {
        int e = errno;
        add("node", "warn", node + ": " + std::strerror(e) + " (no directory entry; opening it is tried anyway)");
    }

    bool uvc = access("/sys/module/uvcvideo", F_OK) == 0;
    add("driver", uvc ? "ok" : "warn",
        uvc ? "uvcvideo is loaded" : "uvcvideo is not loaded (modprobe uvcvideo)");

    bool opened = false;
    {
        QuietStderr quiet;
        errno = 0;
        opened = OrvexTac_Init(g_opt.device) == 1;
        int e = errno;
        if (!opened) {
            add("open", "fail", node + " does not open read-write" + (e ? std::string(": ") + std::strerror(e) : ""));
            code = EXIT_NO_DEVICE;
        }
    }
    if (opened) {
        add("open", "ok", node + " opens read-write");
        // The library works on this connection and leaves it open.
        FactorySession f;
        OrvexFactoryResult* r = nullptr;
        json d;
        std::string message;
        int st = f.take_any(OrvexFactory_Info(f.get(), &r), r, &d, &message);
        if (st == EXIT_OK || (st == EXIT_TRANSFER && d.contains("identification_blocks"))) {
            add("extension unit", "ok",
                "unit " + std::to_string(d.value("extension_unit", 0)) + " answers, chip " + d.value("chip_id", "") +
                    ", " + d.value("architecture", "") + " architecture, ROM class " + d.value("rom_class", ""));
            bool known = d.value("calibration_store_recognises", false);
            add("identification block", known ? "ok" : "warn",
                known ? "the calibration store recognises the camera"
                      : "no valid identification block: the calibration store leaves this camera alone");
        } else {
            add("extension unit", "fail", message);
            code = st;
        }
        QuietStderr quiet;
        OrvexTac_UnInit();
    }
    emit({{"device", node}, {"checks", checks}, {"usable", code == EXIT_OK}, {"udev_rule", kUdevRule}},
         t + "\nudev rule (install as /etc/udev/rules.d/60-orvex.rules):\n" + kUdevRule);
    return code;
}

}  // namespace orvexctl

void orvexctl::add_doctor_command(CLI::App& app, Action& action) {
    app.add_subcommand("doctor", "why a camera cannot be used, and the udev rule to install")
        ->callback([&action] { action = cmd_doctor; });
}

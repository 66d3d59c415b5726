// Where calibration backups live and how they are named: one folder
// (--backup-dir, else the user's state directory), a name that carries the
// chip, the unit's identification and a time stamp to the microsecond, and
// an exclusive create, so that no backup ever replaces another.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "orvexctl.h"

namespace orvexctl {

std::string g_backup_dir;

std::string backup_dir() {
    if (!g_backup_dir.empty()) return g_backup_dir;
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/') return std::string(state) + "/orvex";
    const char* home = std::getenv("HOME");
    if (!home || !*home) throw Failure(EXIT_FILE, "no HOME and no XDG_STATE_HOME: name a folder with --backup-dir");
    return std::string(home) + "/.local/state/orvex";
}

namespace {
void make_dirs(const std::string& path) {
    std::string cur;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || (path[i] == '/' && i > 0)) {
            cur = path.substr(0, i);
            if (::mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST)
                throw Failure(EXIT_FILE, "cannot create " + cur + ": " + std::strerror(errno));
        }
    }
}

std::string stamp() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm tm{};
    gmtime_r(&tv.tv_sec, &tm);
    char buf[48];
    std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%S", &tm);
    char us[16];
    std::snprintf(us, sizeof us, ".%06ldZ", static_cast<long>(tv.tv_usec));
    return std::string(buf) + us;
}

std::string safe(const std::string& s) {
    std::string o;
    for (char c : s) o += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return o;
}
}  // namespace

UnitIdentity unit_identity(const std::vector<IdBlock>& blocks) {
    // The second block lives in the sector every burn keeps; the first comes
    // with the firmware image, so it names the unit only when the second
    // is missing.
    UnitIdentity u;
    for (const auto& b : blocks)
        if (b.valid) u.valid.push_back(b);
    for (long want : {kIdBlock2, kIdBlock1})
        for (const auto& b : blocks)
            if (b.addr == want && b.valid && !u.known) {
                u.known = true;
                u.tag = b.tag;
                u.number = b.number;
            }
    return u;
}

bool other_unit(const UnitIdentity& a, const UnitIdentity& b) {
    // Block 1 and block 2 carry different tags, so only blocks at the same
    // address can be compared.
    for (const auto& x : a.valid)
        for (const auto& y : b.valid)
            if (x.addr == y.addr && (x.tag != y.tag || x.number != y.number)) return true;
    return false;
}

std::string identity_text(const UnitIdentity& u) {
    return u.known ? u.tag + " " + std::to_string(u.number) : std::string("no identification block");
}

bool write_file_exclusive(const std::string& path, const std::string& text) {
    // Written in full to a private name, then linked to the final name:
    // link never replaces an existing file, and no half-written backup is
    // ever visible under its name.
    std::string tmp = path + ".part." + std::to_string(getpid());
    write_file(tmp, text);
    if (::link(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        std::remove(tmp.c_str());
        if (e == EEXIST) return false;
        throw Failure(EXIT_FILE, "cannot write " + path + ": " + std::strerror(e));
    }
    std::remove(tmp.c_str());
    return true;
}

std::string save_backup(const json& doc, const UnitIdentity& u) {
    std::string dir = backup_dir();
    make_dirs(dir);
    std::string chip = doc["device"].value("chip_id", "chip");
    std::string base = dir + "/orvex-" + safe(chip) + "-" + (u.known ? safe(u.tag) + std::to_string(u.number) : "noid") +
                       "-" + stamp() + "-" + std::to_string(getpid());
    std::string text = doc.dump(2) + "\n";
    for (int n = 0; n < 1000; ++n) {
        std::string path = base + (n ? "-" + std::to_string(n) : "") + ".json";
        if (write_file_exclusive(path, text)) {
            g_opt.backups_written.push_back(path);
            return path;
        }
    }
    throw Failure(EXIT_FILE, "cannot find a free backup name in " + dir);
}

std::string newest_good_backup(const std::string& chip_id, const UnitIdentity& u) {
    std::string dir = backup_dir();
    DIR* d = ::opendir(dir.c_str());
    if (!d) return {};
    std::string best, best_created;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 6 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
        std::string path = dir + "/" + name;
        try {
            json doc = load_backup(path);
            if (doc["device"].value("chip_id", "") != chip_id || !backup_is_good(doc)) continue;
            UnitIdentity b = backup_identity(doc);
            if (other_unit(b, u)) continue;
            std::string created = doc.value("created", "");
            if (best.empty() || created > best_created) {
                best = path;
                best_created = created;
            }
        } catch (const Failure&) {
            continue;
        }
    }
    ::closedir(d);
    return best;
}

}  // namespace orvexctl

// The backup document and the backup folder.
#include "backup.h"

#include "archive.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "flash_io.h"
#include "internal/store_layout.h"
#include "text.h"

namespace orvex_factory {

namespace {

using namespace orvex_store;

uint32_t document_crc(json doc) {
    doc.erase("crc32");
    std::string s = doc.dump();
    return crc32(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

json device_json(const Chip& chip, const FwVersion& fw) {
    return {{"chip_id", hex(chip.chip_id, 2)},
            {"rom_version", chip.rom_known ? json(rom_version_text(chip.rom_version)) : json(nullptr)},
            {"firmware", fw_json(fw)}};
}

void make_dirs(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i != path.size() && path[i] != '/') continue;
        std::string cur = path.substr(0, i);
        if (::mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST)
            throw Failure(FILE_ERROR, "cannot create " + cur + ": " + std::strerror(errno));
    }
}

std::string safe(const std::string& s) {
    std::string o;
    for (char c : s) o += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return o;
}

std::string text_of(const json& doc) { return doc.dump(2) + "\n"; }

}  // namespace

const std::vector<BackupRange>& backup_ranges() {
    static const std::vector<BackupRange> ranges = {
        {kCalibStart, kCalibEnd - kCalibStart},  // the four calibration records
        {kIdFirstAddr, kIdBlockLen},             // first identification block (its sector is firmware)
        {kIdSecondSector, kSectorSize},          // the sector of the second block
    };
    return ranges;
}

long backup_bytes() {
    long n = 0;
    for (const BackupRange& r : backup_ranges()) n += r.len;
    return n;
}

json make_backup(Session& s, const Chip& chip, const FwVersion& fw) {
    json ranges = json::array();
    long done = 0;
    const long total = backup_bytes();
    progress(s, "backup", 0, total);
    for (const BackupRange& r : backup_ranges()) {
        Bytes b = flash_read(s, r.addr, r.len);
        done += r.len;
        progress(s, "backup", done, total);
        ranges.push_back({{"addr", hex(r.addr, 5)}, {"length", r.len}, {"data", to_hex(b)}});
    }
    json doc = {{"format", "orvex-backup"}, {"version", 1}, {"created", utc_now_iso()},
                {"device", device_json(chip, fw)}, {"ranges", ranges}};
    doc["device"]["unit"] = identity_json(backup_identity(doc));
    doc["crc32"] = hex(document_crc(doc), 8);
    archive_saw_backup(s, doc, true);
    return doc;
}

void check_backup(const json& doc, const std::string& name) {
    if (!doc.is_object() || doc.value("format", "") != "orvex-backup") {
        std::string hint = doc.is_object() && doc.value("format", "") == "orvex-calibration"
                               ? " (it is a calibration export: orvexctl calib import " + name + ")"
                               : "";
        throw Failure(REFUSED, name + " is not an orvexctl backup" + hint);
    }
    if (!doc.contains("crc32") || !doc["crc32"].is_string() ||
        doc["crc32"].get<std::string>() != hex(document_crc(doc), 8))
        throw Failure(REFUSED, "backup " + name + " is damaged: CRC32 does not match");
    if (doc.value("version", 0) != 1)
        throw Failure(REFUSED, "backup " + name + ": version " + doc["version"].dump() + " is not supported");
    if (!doc.contains("device") || !doc["device"].is_object())
        throw Failure(REFUSED, "backup " + name + " is damaged: no device");
    if (!doc.contains("ranges") || !doc["ranges"].is_array())
        throw Failure(REFUSED, "backup " + name + " is damaged: no ranges");
    // Each range must be one a backup writes, once, with its full length,
    // and none may be missing: a CRC over a document says nothing about
    // whether its writer was ours, and a restore writes back every range.
    std::vector<int> seen(backup_ranges().size(), 0);
    for (const auto& r : doc["ranges"]) {
        Bytes data;
        std::string addr = r.is_object() ? r.value("addr", "") : "";
        if (!r.is_object() || !r.contains("data") || !r["data"].is_string() ||
            !from_hex(r["data"].get<std::string>(), &data))
            throw Failure(REFUSED, "backup " + name + " is damaged: range " + addr + " holds no hex data");
        bool known = false;
        for (size_t i = 0; i < backup_ranges().size(); ++i) {
            const BackupRange& k = backup_ranges()[i];
            if (addr != hex(k.addr, 5)) continue;
            known = true;
            if (seen[i]++)
                throw Failure(REFUSED, "backup " + name + " is damaged: it holds range " + addr + " twice");
            if (static_cast<long>(data.size()) != k.len)
                throw Failure(REFUSED, "backup " + name + " is damaged: range " + addr + " holds " +
                                           std::to_string(data.size()) + " bytes, a backup keeps " +
                                           std::to_string(k.len));
            const json& length = r.contains("length") ? r["length"] : json();
            if (!length.is_number_integer() || length.get<long>() != k.len)
                throw Failure(REFUSED, "backup " + name + " is damaged: range " + addr + " gives its length as " +
                                           length.dump() + ", a backup keeps " + std::to_string(k.len) + " bytes");
        }
        if (!known)
            throw Failure(REFUSED, "backup " + name + " holds a range at " + addr + " that restore does not write");
    }
    for (size_t i = 0; i < seen.size(); ++i)
        if (!seen[i])
            throw Failure(REFUSED, "backup " + name + " is damaged: it holds no range at " +
                                       hex(backup_ranges()[i].addr, 5));
}

json load_backup(const std::string& file) {
    Bytes raw = read_file(file);
    json doc = json::parse(raw.begin(), raw.end(), nullptr, false);
    if (doc.is_discarded()) throw Failure(REFUSED, file + " is damaged: not a JSON document");
    check_backup(doc, file);
    return doc;
}

Bytes backup_range(const json& doc, long addr) {
    Bytes b;
    for (const auto& r : doc["ranges"])
        if (r.value("addr", "") == hex(addr, 5) && from_hex(r.value("data", ""), &b)) return b;
    return {};
}

UnitIdentity backup_identity(const json& doc) {
    std::vector<IdBlock> blocks;
    Bytes b1 = backup_range(doc, kIdFirstAddr);
    blocks.push_back(b1.size() == static_cast<size_t>(kIdBlockLen) ? parse_id_block(kIdFirstAddr, b1.data())
                                                                    : IdBlock{kIdFirstAddr, false, "", 0});
    Bytes s2 = backup_range(doc, kIdSecondSector);
    blocks.push_back(s2.size() == static_cast<size_t>(kSectorSize)
                         ? parse_id_block(kIdSecondAddr, s2.data() + (kIdSecondAddr - kIdSecondSector))
                         : IdBlock{kIdSecondAddr, false, "", 0});
    return unit_identity(blocks);
}

bool backup_is_good(const json& doc) {
    if (!backup_identity(doc).known) return false;
    for (uint8_t v : backup_range(doc, kCalibStart))
        if (v != 0xFF) return true;
    return false;
}

void make_dir_path(const std::string& path) { make_dirs(path); }

std::string backup_dir(const Session& s) {
    if (!s.backup_dir.empty()) return s.backup_dir;
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/') return std::string(state) + "/orvex";
    const char* home = std::getenv("HOME");
    if (!home || !*home) throw Failure(FILE_ERROR, "no HOME and no XDG_STATE_HOME: name a folder with --backup-dir");
    return std::string(home) + "/.local/state/orvex";
}

std::string save_backup(Session& s, const json& doc) {
    std::string dir = backup_dir(s);
    make_dirs(dir);
    UnitIdentity u = backup_identity(doc);
    std::string chip = doc["device"].value("chip_id", "chip");
    std::string base = dir + "/orvex-" + safe(chip) + "-" + (u.known ? safe(u.tag) + std::to_string(u.number) : "noid") +
                       "-" + utc_now_compact() + "-" + std::to_string(getpid());
    std::string text = text_of(doc);
    for (int n = 0; n < 1000; ++n) {
        std::string path = base + (n ? "-" + std::to_string(n) : "") + ".json";
        if (write_file_exclusive(path, text)) {
            s.backups_written.push_back(path);
            return path;
        }
    }
    throw Failure(FILE_ERROR, "cannot find a free backup name in " + dir);
}

void save_backup_as(Session& s, const json& doc, const std::string& file) {
    struct stat st;
    if (::stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        write_file(file, text_of(doc));  // a device or FIFO, written into
        return;
    }
    if (!write_file_exclusive(file, text_of(doc)))
        throw Failure(REFUSED, file + " exists; a backup never replaces a file, name another");
    s.backups_written.push_back(file);
}

std::string newest_good_backup(Session& s, const std::string& chip_id, const UnitIdentity& unit) {
    if (!unit.known) return {};
    std::string dir = backup_dir(s);
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
            if (match_units(unit, backup_identity(doc)) != UnitMatch::same) continue;
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

}  // namespace orvex_factory

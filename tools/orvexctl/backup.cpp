// backup and restore: the calibration area and the identification blocks
// as one self-describing JSON document with a CRC-32 over all of it.
#include <sys/time.h>

#include <ctime>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {
struct Range {
    long addr, len;
};
// What a backup holds, and the only places a restore may write.
const Range kRanges[] = {
    {kCalibStart, kCalibEnd - kCalibStart},        // the four calibration records
    {kIdBlock1, 24},                                // first identification block
    {kId2SectorStart, kId2SectorEnd - kId2SectorStart},  // sector of the second block
};

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

Bytes from_hex(const std::string& s) {
    if (s.size() % 2) throw Failure(EXIT_REFUSED, "backup is damaged: odd hex data");
    Bytes b;
    b.reserve(s.size() / 2);
    for (size_t i = 0; i < s.size(); i += 2) {
        auto nib = [&](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            throw Failure(EXIT_REFUSED, "backup is damaged: bad hex data");
        };
        b.push_back(static_cast<uint8_t>(nib(s[i]) << 4 | nib(s[i + 1])));
    }
    return b;
}

uint32_t document_crc(json doc) {
    doc.erase("crc32");
    std::string s = doc.dump();
    return crc32(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

json device_json(const Identity& id, const FwVersion& fw) {
    return {{"chip_id", hex(id.chip_id, 2)},
            {"rom_version", id.rom_known ? json(rom_version_text(id.rom_version)) : json(nullptr)},
            {"firmware", fw_json(fw)}};
}

std::string now_text() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm tm{};
    gmtime_r(&tv.tv_sec, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    char us[16];
    std::snprintf(us, sizeof us, ".%06ldZ", static_cast<long>(tv.tv_usec));
    return std::string(buf) + us;
}

json identity_json_of(const UnitIdentity& u) {
    if (!u.known) return nullptr;
    return {{"tag", u.tag}, {"number", u.number}};
}

// The bytes of one backed-up range, or empty.
Bytes range_data(const json& doc, long addr) {
    for (const auto& r : doc["ranges"])
        if (r.value("addr", "") == hex(addr, 5)) return from_hex(r.value("data", ""));
    return {};
}
}  // namespace

long backup_bytes() {
    long n = 0;
    for (const Range& r : kRanges) n += r.len;
    return n;
}

json make_backup(const Identity& id, const FwVersion& fw, Progress* p) {
    json ranges = json::array();
    const long piece = 0x1000;
    long done = 0;
    for (const Range& r : kRanges) {
        Bytes b;
        for (long off = 0; off < r.len; off += piece) {
            Bytes part = flash_read(r.addr + off, std::min(piece, r.len - off));
            b.insert(b.end(), part.begin(), part.end());
            done += static_cast<long>(part.size());
            if (p) p->update(static_cast<double>(done) / static_cast<double>(backup_bytes()));
        }
        ranges.push_back({{"addr", hex(r.addr, 5)}, {"length", r.len}, {"data", to_hex(b)}});
    }
    json doc = {{"format", "orvex-backup"}, {"version", 1}, {"created", now_text()},
                {"device", device_json(id, fw)}, {"ranges", ranges}};
    doc["device"]["unit"] = identity_json_of(backup_identity(doc));
    doc["crc32"] = hex(document_crc(doc), 8);
    return doc;
}

UnitIdentity backup_identity(const json& doc) {
    std::vector<IdBlock> blocks;
    Bytes b1 = range_data(doc, kIdBlock1);
    if (b1.size() == 24) blocks.push_back(check_id_block(kIdBlock1, b1.data()));
    Bytes s2 = range_data(doc, kId2SectorStart);
    if (s2.size() == static_cast<size_t>(kId2SectorEnd - kId2SectorStart))
        blocks.push_back(check_id_block(kIdBlock2, s2.data() + (kIdBlock2 - kId2SectorStart)));
    return unit_identity(blocks);
}

bool backup_is_good(const json& doc) {
    if (!backup_identity(doc).known) return false;
    Bytes cal = range_data(doc, kCalibStart);
    for (uint8_t v : cal)
        if (v != 0xFF) return true;
    return false;
}

void check_backup(const json& doc) {
    if (!doc.is_object() || doc.value("format", "") != "orvex-backup")
        throw Failure(EXIT_REFUSED, "not an orvexctl backup");
    if (!doc.contains("crc32") || !doc["crc32"].is_string() ||
        doc["crc32"].get<std::string>() != hex(document_crc(doc), 8))
        throw Failure(EXIT_REFUSED, "backup is damaged: CRC32 does not match");
    if (doc.value("version", 0) != 1)
        throw Failure(EXIT_REFUSED, "backup version " + doc["version"].dump() + " is not supported");
    if (!doc.contains("ranges") || !doc["ranges"].is_array())
        throw Failure(EXIT_REFUSED, "backup is damaged: no ranges");
    if (!doc.contains("device") || !doc["device"].is_object())
        throw Failure(EXIT_REFUSED, "backup is damaged: no device");
}

json load_backup(const std::string& file) {
    Bytes raw = read_file(file);
    json doc = json::parse(raw.begin(), raw.end(), nullptr, false);
    if (doc.is_discarded()) throw Failure(EXIT_REFUSED, file + " is damaged: not a JSON document");
    check_backup(doc);
    return doc;
}

int cmd_backup(const std::string& file) {
    Session s(g_opt.device);
    Identity id = identify(true);
    FwVersion fw = firmware_version();
    json doc = make_backup(id, fw);
    std::string text = doc.dump(2) + "\n";
    write_file(file, text);
    // A copy in the backup folder, under a name nothing else will take.
    std::string kept = save_backup(doc, backup_identity(doc));
    json summary = {{"file", file}, {"kept_copy", kept}, {"device", doc["device"]}, {"crc32", doc["crc32"]},
                    {"ranges", json::array()}};
    std::string t = "saved to " + file + " (copy: " + kept + "):\n";
    for (const auto& r : doc["ranges"]) {
        summary["ranges"].push_back({{"addr", r["addr"]}, {"length", r["length"]}});
        t += "  " + r["addr"].get<std::string>() + " " + std::to_string(r["length"].get<long>()) + " bytes\n";
    }
    if (!backup_is_good(doc)) note("warning: this backup holds no identification block or a blank calibration area");
    emit(summary, t);
    return EXIT_OK;
}

int cmd_restore(const std::string& file, bool force, const std::string& flash_type, bool dry_run) {
    json doc = load_backup(file);
    // Every range must be one the backup command writes.
    std::vector<std::pair<long, Bytes>> ranges;
    for (const auto& r : doc["ranges"]) {
        long addr = parse_number(r.value("addr", ""), "backup address");
        Bytes data = from_hex(r.value("data", ""));
        bool known = false;
        for (const Range& k : kRanges) known |= k.addr == addr && k.len == static_cast<long>(data.size());
        if (!known)
            throw Failure(EXIT_REFUSED, "backup holds a range at " + hex(addr, 5) + " that restore does not write");
        ranges.emplace_back(addr, std::move(data));
    }
    Session s(g_opt.device);
    Identity id = identify(true);
    FwVersion fw = firmware_version();
    json here = device_json(id, fw);
    // The chip decides the flash layout: never restored across chips.
    std::string want_chip = doc["device"].value("chip_id", "");
    if (want_chip != here["chip_id"])
        throw Failure(EXIT_REFUSED, "backup " + file + " was made on chip " + want_chip + ", this camera has chip " +
                                        here["chip_id"].get<std::string>() + "; --force does not override this");
    // The unit is recognised by its identification blocks, so a backup made
    // before a firmware update restores after it.
    UnitIdentity theirs = backup_identity(doc);
    UnitIdentity mine = unit_identity(read_id_blocks());
    const bool other = other_unit(theirs, mine);
    if (other && !force)
        throw Failure(EXIT_REFUSED, "backup " + file + " belongs to unit " + identity_text(theirs) +
                                        ", this camera is unit " + identity_text(mine) +
                                        "; --force restores it anyway");
    if (other) note("restoring the backup of unit " + identity_text(theirs) + " onto unit " + identity_text(mine));
    if (!mine.known) note("the camera carries no identification block; restoring the backup's (unit " +
                          identity_text(theirs) + ")");
    for (const char* key : {"rom_version", "firmware"})
        if (doc["device"].value(key, json()) != here[key])
            info(std::string("backup's ") + key + " " + doc["device"].value(key, json()).dump() + ", camera's " +
                 here[key].dump());
    if (dry_run) {
        json jr = json::array();
        std::string t = "dry run, nothing is touched: restore " + file + " (unit " + identity_text(theirs) + ")\n";
        for (const auto& r : ranges) {
            Bytes cur = flash_read(r.first, static_cast<long>(r.second.size()));
            jr.push_back({{"addr", hex(r.first, 5)}, {"length", r.second.size()}, {"differs", cur != r.second}});
            t += "  " + hex(r.first, 5) + " " + std::to_string(r.second.size()) + " bytes: " +
                 (cur != r.second ? "would be rewritten\n" : "already identical\n");
        }
        emit({{"dry_run", true}, {"file", file}, {"ranges", jr}}, t);
        return EXIT_OK;
    }
    SERIAL_FLASH_TYPE sft = resolve_flash_type(flash_type);
    int written = 0, unchanged = 0;
    json jr = json::array();
    std::string t;
    {
        Progress p("restore", 0);
        size_t i = 0;
        for (const auto& r : ranges) {
            RewriteResult res = flash_rewrite(r.first, r.second, sft, true);
            // Byte for byte, including sectors that needed no rewrite.
            if (flash_read(r.first, static_cast<long>(r.second.size())) != r.second)
                throw Failure(EXIT_VERIFY, "range " + hex(r.first, 5) + " differs after the restore");
            written += res.units_written;
            unchanged += res.units_unchanged;
            jr.push_back({{"addr", hex(r.first, 5)}, {"length", r.second.size()},
                          {"sectors_rewritten", res.units_written}});
            t += "  " + hex(r.first, 5) + " " + std::to_string(r.second.size()) + " bytes: " +
                 (res.units_written ? std::to_string(res.units_written) + " sector(s) rewritten, verified\n"
                                    : std::string("already identical, verified\n"));
            p.update(static_cast<double>(++i) / static_cast<double>(ranges.size()));
        }
    }
    emit({{"file", file}, {"forced", force && other}, {"ranges", jr},
          {"sectors_rewritten", written}, {"sectors_unchanged", unchanged}},
         "restored " + file + ":\n" + t);
    return EXIT_OK;
}

}  // namespace orvexctl

namespace {
struct BackupArgs {
    std::string file, flash_type = "auto";
    bool force = false, dry_run = false;
};
}  // namespace

void orvexctl::add_backup_commands(CLI::App& app, Action& action) {
    static BackupArgs a;
    auto* backup = app.add_subcommand("backup", "backup -o FILE: calibration area and identification blocks");
    backup->add_option("-o,--output", a.file)->required();
    backup->callback([&action] { action = [] { return cmd_backup(a.file); }; });
    auto* restore = app.add_subcommand("restore", "restore FILE onto the same camera");
    restore->add_option("file", a.file)->required();
    restore->add_flag("--force", a.force, "restore a backup of another unit (never across chips)");
    restore->add_option("--flash-type", a.flash_type, "flash type NAME, or auto (JEDEC id)");
    restore->add_flag("--dry-run", a.dry_run, "check the backup against the camera and change nothing");
    restore->callback([&action] {
        action = [] { return cmd_restore(a.file, a.force, a.flash_type, a.dry_run); };
    });
}

// The backup document as the burn still uses it; it moves into the
// library with the burn.
#include <sys/time.h>

#include <ctime>

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

}  // namespace orvexctl



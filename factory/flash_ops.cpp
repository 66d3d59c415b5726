// The exported flash operations: reads, guarded writes and erases that
// read back what they did, and comparisons.
#include <algorithm>

#include "archive.h"
#include "device.h"
#include "flash_io.h"
#include "identity.h"
#include "regions.h"
#include "result.h"
#include "spi.h"
#include "text.h"
#include "internal/burn_layout.h"
#include "internal/sf_bytes.h"
#include "internal/store_layout.h"

using namespace orvex_factory;

namespace {

// The erase units a change of [addr, addr+len) rewrites.
std::pair<long, long> units_of(long addr, long len, long unit) {
    return {addr / unit * unit, (addr + len + unit - 1) / unit * unit};
}

void check_span(long addr, long len, const char* what) {
    if (len <= 0 || addr < 0 || addr + len > orvex_burn::kFlashSize)
        throw Failure(USAGE, std::string(what) + " must lie within 0x00000 to 0x3FFFF (" + hex(addr, 5) + "+" +
                                 std::to_string(len) + ")");
}

json flash_write(Session& s, long addr, const BYTE* data, long len, unsigned flags) {
    if (!data) throw Failure(USAGE, "no data to write");
    check_span(addr, len, "the data");
    const bool include = flags & ORVEX_FACTORY_INCLUDE_CALIBRATION;
    // Every rewritten unit is erased whole: the guard covers whole 4 KiB
    // sectors before the device is opened, and the flash's own erase unit
    // after.
    auto sectors = units_of(addr, len, orvex_store::kSectorSize);
    guard_regions(sectors.first, sectors.second, include);
    Connection c(s);
    identify_chip(s, false);
    SERIAL_FLASH_TYPE sft = session_flash_type(s);
    long unit = erase_unit(sft);
    auto units = units_of(addr, len, unit);
    guard_regions(units.first, units.second, include);
    Bytes want(data, data + len);
    json doc = {{"addr", hex(addr, 5)},
                {"length", len},
                {"flash_type", flash_type_name(sft)},
                {"sector_size", unit},
                {"regions", regions_json(units.first, units.second)}};
    if (flags & ORVEX_FACTORY_DRY_RUN) {
        Bytes cur = flash_read(s, units.first, units.second - units.first, nullptr, true);
        int differ = 0;
        for (long u = units.first; u < units.second; u += unit) {
            bool same = true;
            for (long a = std::max(u, addr); a < std::min(u + unit, addr + len) && same; ++a)
                same = cur[static_cast<size_t>(a - units.first)] == want[static_cast<size_t>(a - addr)];
            differ += !same;
        }
        doc["dry_run"] = true;
        doc["sectors_to_rewrite"] = differ;
        return doc;
    }
    const bool verify = !(flags & ORVEX_FACTORY_NO_VERIFY);
    RewriteResult r = flash_rewrite(s, addr, want, sft, verify, "write");
    doc["sectors_rewritten"] = r.units_written;
    doc["sectors_unchanged"] = r.units_unchanged;
    doc["verified"] = verify;
    return doc;
}

json flash_erase(Session& s, long addr, long len, unsigned flags) {
    check_span(addr, len, "the range");
    if (addr % orvex_store::kSectorSize || len % orvex_store::kSectorSize)
        throw Failure(USAGE, "erase whole 4 KiB sectors: address and length must be multiples of 0x1000");
    guard_regions(addr, addr + len, flags & ORVEX_FACTORY_INCLUDE_CALIBRATION);
    const bool dry = flags & ORVEX_FACTORY_DRY_RUN;
    Connection c(s);
    identify_chip(s, false);
    SERIAL_FLASH_TYPE sft = session_flash_type(s);
    long unit = erase_unit(sft);
    if (addr % unit || len % unit)
        throw Failure(USAGE, std::string("this flash (") + flash_type_name(sft) + ") erases " +
                                 std::to_string(unit / 1024) + " KiB at a time; align the range to it");
    json doc = {{"addr", hex(addr, 5)}, {"length", len}, {"flash_type", flash_type_name(sft)},
                {"sector_size", unit}, {"regions", regions_json(addr, addr + len)}};
    int erased = 0, blank = 0;
    const char* phase = dry ? "check" : "erase";
    progress(s, phase, 0, len);
    const Bytes ff(static_cast<size_t>(unit), 0xFF);
    for (long u = addr; u < addr + len; u += unit) {
        Bytes cur = flash_read(s, u, unit, nullptr, dry);
        if (cur == ff) {
            ++blank;
        } else if (!dry) {
            BYTE none = 0xFF;
            if (OrvexTac_SerialFlashSectorWrite(u, &none, 0, sft) != 1) {
                std::string why = protection_note();
                throw Failure(TRANSFER, "erasing the sector at " + hex(u, 5) + " failed" + (why.empty() ? "" : ": " + why), u);
            }
            // The library's result is not the proof: the sector must read blank.
            Difference d = verify_flash(s, u, ff.data(), unit, Check::full);
            if (!d.none()) {
                BYTE st = 0;
                bool read = read_status_register(&st);
                throw Failure(read && (st & orvex_sf::kStatusWriteLocks) ? TRANSFER : VERIFY,
                              "the sector at " + hex(u, 5) + " is not blank after the erase (first at " +
                                  hex(d.address, 5) + ": " + hex(d.found, 2) +
                                  (read ? "; status register " + hex(st, 2) : std::string()) + ")",
                              d.address);
            }
            ++erased;
        } else {
            ++erased;
        }
        progress(s, phase, u + unit - addr, len);
    }
    doc["dry_run"] = dry;
    doc[dry ? "sectors_to_erase" : "sectors_erased"] = erased;
    doc["sectors_already_blank"] = blank;
    return doc;
}

json flash_verify(Session& s, long addr, const BYTE* data, long len) {
    if (!data) throw Failure(USAGE, "no data to compare");
    check_span(addr, len, "the data");
    Connection c(s);
    identify_chip(s, false);
    // A recorded verify names the unit it was about (two block reads).
    if (s.recording) read_id_blocks(s);
    Difference d = verify_flash(s, addr, data, len, Check::count_all, "verify", true);
    // Per region: count again only the differing bytes' regions.
    json per_region = json::object();
    long first = d.address;
    if (!d.none()) {
        Bytes cur = flash_read(s, addr, len, nullptr, true);
        for (long i = 0; i < len; ++i)
            if (cur[static_cast<size_t>(i)] != data[i])
                for (const auto& r : regions_json(addr + i, addr + i + 1))
                    per_region[r.get<std::string>()] = per_region.value(r.get<std::string>(), 0) + 1;
    }
    json doc = {{"addr", hex(addr, 5)}, {"length", len}, {"identical", d.none()},
                {"bytes_differing", d.count}, {"first_difference", first < 0 ? json(nullptr) : json(hex(first, 5))},
                {"differing_by_region", per_region}};
    if (!d.none()) {
        Failure f(VERIFY, "the flash differs in " + std::to_string(d.count) + " byte(s), first at " + hex(first, 5),
                  first);
        f.partial = doc;
        throw f;
    }
    return doc;
}

}  // namespace

extern "C" {

int OrvexFactory_FlashRead(OrvexFactorySession* s, LONG addr, BYTE* buffer, LONG len, OrvexFactoryResult** out) {
    return run(s, out, [&] {
        if (!s || !buffer) throw Failure(USAGE, "no session or no buffer");
        check_span(addr, len, "the range");
        Connection c(*s);
        identify_chip(*s, false);  // finds the extension unit (3 or 4) the flash data path answers on
        Bytes data = flash_read(*s, addr, len, "read", true);
        std::copy(data.begin(), data.end(), buffer);
        return json{{"addr", hex(addr, 5)}, {"length", len}, {"crc32", hex(crc32(data.data(), data.size()), 8)}};
    });
}

int OrvexFactory_FlashWrite(OrvexFactorySession* s, LONG addr, const BYTE* data, LONG len, unsigned flags,
                            OrvexFactoryResult** out) {
    return run(s, out, [&] {
        if (!s) throw Failure(USAGE, "no session");
        return flash_write(*s, addr, data, len, flags);
    });
}

int OrvexFactory_FlashErase(OrvexFactorySession* s, LONG addr, LONG len, unsigned flags, OrvexFactoryResult** out) {
    return run(s, out, [&] {
        if (!s) throw Failure(USAGE, "no session");
        return flash_erase(*s, addr, len, flags);
    });
}

int OrvexFactory_FlashVerify(OrvexFactorySession* s, LONG addr, const BYTE* data, LONG len, OrvexFactoryResult** out) {
    return run_recorded(s, out, {"verify", data, data && len > 0 ? len : 0}, [&] {
        if (!s) throw Failure(USAGE, "no session");
        return flash_verify(*s, addr, data, len);
    });
}

}

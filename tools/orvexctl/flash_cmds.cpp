// flash read, dump, write, erase and verify.
#include <algorithm>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "internal/sf_bytes.h"
#include "orvexctl.h"

namespace orvexctl {

int cmd_flash_read(long addr, long len, const std::string& file) {
    if (len <= 0 || addr < 0 || addr + len > kFlashSize)
        throw Failure(EXIT_USAGE, "flash range must lie within 0x00000 to 0x3FFFF");
    Session s(g_opt.device);
    identify(false);  // finds the extension unit (3 or 4) the flash data path answers on
    Bytes data;
    {
        Progress p("read", static_cast<uint64_t>(len));
        data = flash_read(addr, len, &p);
        p.finish();
    }
    write_file(file, data.data(), data.size());
    uint32_t crc = crc32(data.data(), data.size());
    emit({{"addr", hex(addr, 5)}, {"length", len}, {"file", file}, {"crc32", hex(crc, 8)}},
         "read " + std::to_string(len) + " bytes at " + hex(addr, 5) + " into " + file + " (CRC32 " +
             hex(crc, 8) + ")\n");
    return EXIT_OK;
}

namespace {
// The erase units a change of [addr, addr+len) rewrites.
std::pair<long, long> units_of(long addr, long len, long unit) {
    return {addr / unit * unit, (addr + len + unit - 1) / unit * unit};
}
}  // namespace

int cmd_flash_write(long addr, const std::string& file, const FlashWriteOptions& o) {
    Bytes data = read_file(file);
    if (data.empty()) throw Failure(EXIT_USAGE, file + " is empty");
    long len = static_cast<long>(data.size());
    if (addr < 0 || addr + len > kFlashSize)
        throw Failure(EXIT_USAGE, "the file does not fit the flash at " + hex(addr, 5) + " (" +
                                      std::to_string(len) + " bytes, flash ends at 0x40000)");
    if (o.flash_type != "auto") parse_flash_type(o.flash_type);
    // Every rewritten sector is erased whole, so the check covers whole
    // 4 KiB sectors before the device is opened, and the flash's own erase
    // unit after.
    auto sectors = units_of(addr, len, 0x1000);
    check_regions(sectors.first, sectors.second, o.include_calibration);
    Session s(g_opt.device);
    identify(false);
    SERIAL_FLASH_TYPE sft = resolve_flash_type(o.flash_type);
    long unit = erase_unit(sft);
    auto units = units_of(addr, len, unit);
    check_regions(units.first, units.second, o.include_calibration);
    json base = {{"addr", hex(addr, 5)},
                 {"length", len},
                 {"flash_type", flash_type_name(sft)},
                 {"sector_size", unit},
                 {"regions", regions_json(units.first, units.second)}};
    if (o.dry_run) {
        Bytes cur = flash_read(units.first, units.second - units.first);
        int differ = 0;
        for (long u = units.first; u < units.second; u += unit) {
            bool same = true;
            for (long a = std::max(u, addr); a < std::min(u + unit, addr + len) && same; ++a)
                same = cur[static_cast<size_t>(a - units.first)] == data[static_cast<size_t>(a - addr)];
            differ += !same;
        }
        base["dry_run"] = true;
        base["sectors_to_rewrite"] = differ;
        emit(base, "dry run, nothing is touched: writing " + std::to_string(len) + " bytes at " + hex(addr, 5) +
                       " would rewrite " + std::to_string(differ) + " sector(s) of " +
                       std::to_string(unit / 1024) + " KiB in " + base["regions"].dump() + "\n");
        return EXIT_OK;
    }
    RewriteResult r;
    {
        Progress p("write", static_cast<uint64_t>(len));
        r = flash_rewrite(addr, data, sft, o.verify, &p);
        p.finish();
    }
    base["sectors_rewritten"] = r.units_written;
    base["sectors_unchanged"] = r.units_unchanged;
    base["verified"] = o.verify;
    emit(base, "wrote " + std::to_string(len) + " bytes at " + hex(addr, 5) + ": " + std::to_string(r.units_written) +
                   " sector(s) of " + std::to_string(unit / 1024) + " KiB rewritten, " +
                   std::to_string(r.units_unchanged) + " already held the data" +
                   (o.verify ? ", verified\n" : ", not verified\n"));
    return EXIT_OK;
}

int cmd_flash_erase(long addr, long len, const FlashWriteOptions& o) {
    if (len <= 0 || addr < 0 || addr + len > kFlashSize)
        throw Failure(EXIT_USAGE, "flash range must lie within 0x00000 to 0x3FFFF");
    if (addr % 0x1000 || len % 0x1000)
        throw Failure(EXIT_USAGE, "erase whole 4 KiB sectors: address and length must be multiples of 0x1000");
    if (o.flash_type != "auto") parse_flash_type(o.flash_type);
    check_regions(addr, addr + len, o.include_calibration);
    Session s(g_opt.device);
    identify(false);
    SERIAL_FLASH_TYPE sft = resolve_flash_type(o.flash_type);
    long unit = erase_unit(sft);
    if (addr % unit || len % unit)
        throw Failure(EXIT_USAGE, std::string("this flash (") + flash_type_name(sft) + ") erases " +
                                      std::to_string(unit / 1024) + " KiB at a time; align the range to it");
    json base = {{"addr", hex(addr, 5)}, {"length", len}, {"flash_type", flash_type_name(sft)},
                 {"sector_size", unit}, {"regions", regions_json(addr, addr + len)}};
    int erased = 0, blank = 0;
    {
        Progress p(o.dry_run ? "check" : "erase", static_cast<uint64_t>(len));
        for (long u = addr; u < addr + len; u += unit) {
            Bytes cur = flash_read(u, unit);
            bool is_blank = std::all_of(cur.begin(), cur.end(), [](uint8_t b) { return b == 0xFF; });
            if (is_blank) {
                ++blank;
            } else if (!o.dry_run) {
                BYTE none = 0xFF;
                if (OrvexTac_SerialFlashSectorWrite(u, &none, 0, sft) != 1)
                    throw Failure(EXIT_TRANSFER, "erasing the sector at " + hex(u, 5) + " failed");
                // The library's result is not the proof: the sector must read blank.
                Bytes back = flash_read(u, unit);
                if (!std::all_of(back.begin(), back.end(), [](uint8_t b) { return b == 0xFF; })) {
                    BYTE st = read_status_register();
                    throw Failure(st & orvex_sf::kStatusWriteLocks ? EXIT_TRANSFER : EXIT_VERIFY,
                                  "the sector at " + hex(u, 5) + " is not blank after the erase (status register " +
                                      hex(st, 2) + ")");
                }
                ++erased;
            } else {
                ++erased;
            }
            p.update(static_cast<double>(u + unit - addr) / static_cast<double>(len));
        }
        p.finish();
    }
    base["dry_run"] = o.dry_run;
    base[o.dry_run ? "sectors_to_erase" : "sectors_erased"] = erased;
    base["sectors_already_blank"] = blank;
    emit(base, std::string(o.dry_run ? "dry run, nothing is touched: would erase " : "erased ") +
                   std::to_string(erased) + " sector(s) of " + std::to_string(unit / 1024) + " KiB at " +
                   hex(addr, 5) + "-" + hex(addr + len - 1, 5) + ", " + std::to_string(blank) + " already blank\n");
    return EXIT_OK;
}

int cmd_flash_verify(long addr, const std::string& file) {
    Bytes data = read_file(file);
    if (data.empty()) throw Failure(EXIT_USAGE, file + " is empty");
    long len = static_cast<long>(data.size());
    if (addr < 0 || addr + len > kFlashSize)
        throw Failure(EXIT_USAGE, "the file does not fit the flash at " + hex(addr, 5));
    Session s(g_opt.device);
    identify(false);
    Bytes cur;
    {
        Progress p("verify", static_cast<uint64_t>(len));
        cur = flash_read(addr, len, &p);
        p.finish();
    }
    long first = -1, count = 0;
    json per_region = json::object();
    for (long i = 0; i < len; ++i)
        if (cur[static_cast<size_t>(i)] != data[static_cast<size_t>(i)]) {
            if (first < 0) first = addr + i;
            ++count;
            for (const auto& r : regions_json(addr + i, addr + i + 1)) per_region[r.get<std::string>()] =
                per_region.value(r.get<std::string>(), 0) + 1;
        }
    json doc = {{"addr", hex(addr, 5)}, {"length", len}, {"file", file}, {"identical", count == 0},
                {"bytes_differing", count}, {"first_difference", first < 0 ? json(nullptr) : json(hex(first, 5))},
                {"differing_by_region", per_region}};
    if (count == 0) {
        emit(doc, file + " matches the flash at " + hex(addr, 5) + " (" + std::to_string(len) + " bytes)\n");
        return EXIT_OK;
    }
    std::string t = file + " differs from the flash in " + std::to_string(count) + " byte(s), first at " +
                    hex(first, 5) + ":";
    for (auto it = per_region.begin(); it != per_region.end(); ++it)
        t += " " + it.key() + " " + std::to_string(it.value().get<long>()) + ";";
    emit(doc, t + "\n");
    return EXIT_VERIFY;
}

}  // namespace orvexctl

namespace {
struct FlashArgs {
    std::string addr, len, file;
    bool no_verify = false;
    orvexctl::FlashWriteOptions write;
};
}  // namespace

void orvexctl::add_flash_commands(CLI::App& app, Action& action) {
    static FlashArgs a;
    auto* flash = app.add_subcommand("flash", "serial flash")->require_subcommand(1);
    auto* flash_read = flash->add_subcommand("read", "flash read ADDR LEN -o FILE");
    flash_read->add_option("addr", a.addr)->required();
    flash_read->add_option("len", a.len)->required();
    flash_read->add_option("-o,--output", a.file, "output file")->required();
    flash_read->callback([&action] {
        action = [] { return cmd_flash_read(parse_number(a.addr, "address"), parse_number(a.len, "length"), a.file); };
    });
    auto* flash_dump = flash->add_subcommand("dump", "flash dump -o FILE (the whole 256 KiB)");
    flash_dump->add_option("-o,--output", a.file, "output file")->required();
    flash_dump->callback([&action] { action = [] { return cmd_flash_read(0, kFlashSize, a.file); }; });
    auto writing_options = [](CLI::App* c) {
        c->add_option("--flash-type", a.write.flash_type, "flash type NAME, or auto (JEDEC id)");
        c->add_flag("--include-calibration", a.write.include_calibration,
                    "allow sectors holding calibration records or an identification block");
        c->add_flag("--dry-run", a.write.dry_run, "say what would change and change nothing");
    };
    auto* flash_write = flash->add_subcommand("write", "flash write ADDR FILE (sector rewrite, then verify)");
    flash_write->add_option("addr", a.addr)->required();
    flash_write->add_option("file", a.file)->required();
    writing_options(flash_write);
    flash_write->add_flag("--no-verify", a.no_verify, "skip the read-back verification");
    flash_write->callback([&action] {
        a.write.verify = !a.no_verify;
        action = [] { return cmd_flash_write(parse_number(a.addr, "address"), a.file, a.write); };
    });
    auto* flash_erase = flash->add_subcommand("erase", "flash erase ADDR LEN (whole 4 KiB sectors)");
    flash_erase->add_option("addr", a.addr)->required();
    flash_erase->add_option("len", a.len)->required();
    writing_options(flash_erase);
    flash_erase->callback([&action] {
        action = [] {
            return cmd_flash_erase(parse_number(a.addr, "address"), parse_number(a.len, "length"), a.write);
        };
    });
    auto* flash_verify = flash->add_subcommand("verify", "flash verify FILE [--addr ADDR]: compare, change nothing");
    flash_verify->add_option("file", a.file)->required();
    flash_verify->add_option("--addr", a.addr, "flash address of the file's first byte (default 0)");
    flash_verify->callback([&action] {
        action = [] { return cmd_flash_verify(a.addr.empty() ? 0 : parse_number(a.addr, "address"), a.file); };
    });
}

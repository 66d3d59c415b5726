// flash read, dump, write, erase and verify.
#include <algorithm>
#include <cctype>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "factory_client.h"
#include "orvexctl.h"

namespace orvexctl {

int cmd_flash_read(long addr, long len, const std::string& file) {
    if (len <= 0 || addr < 0 || addr + len > kFlashSize)
        throw Failure(EXIT_USAGE, "flash range must lie within 0x00000 to 0x3FFFF");
    FactorySession f;
    Bytes data(static_cast<size_t>(len));
    OrvexFactoryResult* r = nullptr;
    json doc = f.take(OrvexFactory_FlashRead(f.get(), addr, data.data(), len, &r), r);
    write_file(file, data.data(), data.size());
    doc["file"] = file;
    emit(doc, "read " + std::to_string(len) + " bytes at " + hex(addr, 5) + " into " + file + " (CRC32 " +
                  doc.value("crc32", "") + ")\n");
    return EXIT_OK;
}

namespace {
unsigned write_flags(const FlashWriteOptions& o) {
    return (o.include_calibration ? ORVEX_FACTORY_INCLUDE_CALIBRATION : 0u) | (o.dry_run ? ORVEX_FACTORY_DRY_RUN : 0u) |
           (o.verify ? 0u : ORVEX_FACTORY_NO_VERIFY);
}
void name_flash_type(FactorySession& f, const FlashWriteOptions& o) {
    // An unknown name is a usage error with the valid names, before any device access.
    check_flash_type(o.flash_type);
    OrvexFactory_SetFlashType(f.get(), o.flash_type.c_str());
}
std::string kib(const json& doc) { return std::to_string(doc.value("sector_size", 0L) / 1024); }
}  // namespace

int cmd_flash_write(long addr, const std::string& file, const FlashWriteOptions& o) {
    Bytes data = read_file(file);
    if (data.empty()) throw Failure(EXIT_REFUSED, file + " is empty");
    long len = static_cast<long>(data.size());
    if (addr < 0 || addr + len > kFlashSize)
        throw Failure(EXIT_USAGE, "the file does not fit the flash at " + hex(addr, 5) + " (" +
                                      std::to_string(len) + " bytes, flash ends at 0x40000)");
    FactorySession f;
    name_flash_type(f, o);
    OrvexFactoryResult* r = nullptr;
    json doc = f.take(OrvexFactory_FlashWrite(f.get(), addr, data.data(), len, write_flags(o), &r), r);
    if (o.dry_run) {
        emit(doc, "dry run, nothing is touched: writing " + std::to_string(len) + " bytes at " + hex(addr, 5) +
                      " would rewrite " + std::to_string(doc.value("sectors_to_rewrite", 0)) + " sector(s) of " +
                      kib(doc) + " KiB in " + doc["regions"].dump() + "\n");
        return EXIT_OK;
    }
    emit(doc, "wrote " + std::to_string(len) + " bytes at " + hex(addr, 5) + ": " +
                  std::to_string(doc.value("sectors_rewritten", 0)) + " sector(s) of " + kib(doc) + " KiB rewritten, " +
                  std::to_string(doc.value("sectors_unchanged", 0)) + " already held the data" +
                  (o.verify ? ", verified\n" : ", not verified\n"));
    return EXIT_OK;
}

int cmd_flash_erase(long addr, long len, const FlashWriteOptions& o) {
    if (len <= 0 || addr < 0 || addr + len > kFlashSize)
        throw Failure(EXIT_USAGE, "flash range must lie within 0x00000 to 0x3FFFF");
    if (addr % 0x1000 || len % 0x1000)
        throw Failure(EXIT_USAGE, "erase whole 4 KiB sectors: address and length must be multiples of 0x1000");
    FactorySession f;
    name_flash_type(f, o);
    OrvexFactoryResult* r = nullptr;
    json doc = f.take(OrvexFactory_FlashErase(f.get(), addr, len, write_flags(o), &r), r);
    emit(doc, std::string(o.dry_run ? "dry run, nothing is touched: would erase " : "erased ") +
                  std::to_string(doc.value(o.dry_run ? "sectors_to_erase" : "sectors_erased", 0)) + " sector(s) of " +
                  kib(doc) + " KiB at " + hex(addr, 5) + "-" + hex(addr + len - 1, 5) + ", " +
                  std::to_string(doc.value("sectors_already_blank", 0)) + " already blank\n");
    return EXIT_OK;
}

int cmd_flash_verify(long addr, const std::string& file) {
    Bytes data = read_file(file);
    if (data.empty()) throw Failure(EXIT_REFUSED, file + " is empty");
    long len = static_cast<long>(data.size());
    if (addr < 0 || addr + len > kFlashSize)
        throw Failure(EXIT_USAGE, "the file does not fit the flash at " + hex(addr, 5));
    FactorySession f;
    OrvexFactoryResult* r = nullptr;
    json doc;
    std::string message;
    int status = f.take_any(OrvexFactory_FlashVerify(f.get(), addr, data.data(), len, &r), r, &doc, &message);
    if (status != ORVEX_FACTORY_OK && status != ORVEX_FACTORY_VERIFY) throw Failure(status, message);
    for (const char* k : {"ok", "status", "error", "address"}) doc.erase(k);
    doc["file"] = file;
    if (status == ORVEX_FACTORY_OK) {
        emit(doc, file + " matches the flash at " + hex(addr, 5) + " (" + std::to_string(len) + " bytes)\n");
        return EXIT_OK;
    }
    std::string t = file + " differs from the flash in " + std::to_string(doc.value("bytes_differing", 0L)) +
                    " byte(s), first at " + doc.value("first_difference", "") + ":";
    for (auto it = doc["differing_by_region"].begin(); it != doc["differing_by_region"].end(); ++it)
        t += " " + it.key() + " " + std::to_string(it.value().get<long>()) + ";";
    emit(doc, t + "\n");
    return EXIT_VERIFY;
}

}  // namespace orvexctl

namespace {
struct FlashArgs {
    std::string addr, len, file;
    std::vector<std::string> verify_args;
    bool no_verify = false;
    orvexctl::FlashWriteOptions write;
};

// The region names the library knows, for messages.
std::string region_names(const std::string& starting = "") {
    std::string all;
    for (int i = 0; const char* n = OrvexFactory_RegionName(i); ++i)
        if (std::string(n).compare(0, starting.size(), starting) == 0)
            all += std::string(all.empty() ? "" : ", ") + n;
    return all;
}

bool is_number(const std::string& s) { return !s.empty() && std::isdigit(static_cast<unsigned char>(s[0])); }

// A flash address as given: decimal, or hex with 0x. A bare number of
// more than one digit reads differently in hex, and flash addresses are
// mostly written in hex: the note says which was meant.
long flash_address(const std::string& s) {
    long v = orvexctl::parse_number(s, "address");
    bool hex_prefix = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    if (!hex_prefix && v >= 10)
        orvexctl::note("note: flash address " + s + " is decimal, " + orvexctl::hex(v, 5) + "; write 0x" + s +
                       " for hex");
    return v;
}

// The span WHERE names: a region by name (*len then is its size), or an
// address (*len untouched).
bool region(const std::string& where, long* addr, long* len) {
    if (is_number(where)) {
        *addr = flash_address(where);
        return false;
    }
    LONG from = 0, to = 0;
    if (!OrvexFactory_Region(where.c_str(), &from, &to)) {
        std::string near = region_names(where);
        // "identification" is two regions: the message names both.
        size_t comma = near.rfind(", ");
        if (comma != std::string::npos) near.replace(comma, 2, " or ");
        throw orvexctl::Failure(orvexctl::EXIT_USAGE, "'" + where + "' is neither a flash address nor a region; " +
                                                          (near.empty() ? std::string() : "did you mean " + near + "? ") +
                                                          "the regions are " + region_names());
    }
    *addr = from;
    *len = to - from;
    return true;
}

// A file for a whole region fits it; a shorter one leaves the rest as it is.
void fits_region(const std::string& where, long addr, long len, const std::string& file) {
    long size = static_cast<long>(orvexctl::read_file(file).size());
    if (size > len)
        throw orvexctl::Failure(orvexctl::EXIT_USAGE, file + " (" + std::to_string(size) +
                                                          " bytes) is larger than the " + where + " region " +
                                                          orvexctl::hex(addr, 5) + "-" + orvexctl::hex(addr + len - 1, 5) +
                                                          " (" + std::to_string(len) + " bytes)");
    if (size > 0 && size < len)
        orvexctl::note("note: " + file + " covers " + orvexctl::hex(addr, 5) + "-" + orvexctl::hex(addr + size - 1, 5) +
                       " of the " + where + " region " + orvexctl::hex(addr, 5) + "-" +
                       orvexctl::hex(addr + len - 1, 5));
}
}  // namespace

void orvexctl::add_flash_commands(CLI::App& app, Action& action) {
    static FlashArgs a;
    auto* flash = app.add_subcommand("flash", "serial flash")->require_subcommand(1);
    flash->footer("REGION: " + region_names() +
                  ". ADDR: decimal, or hex with 0x; a bare number is decimal (flash read 30000 16 reads at 0x07530).");
    auto* flash_read = flash->add_subcommand("read", "flash read ADDR LEN -o FILE, or flash read REGION -o FILE");
    flash_read->add_option("addr", a.addr, "ADDR (decimal, or hex with 0x) or a region name")->required();
    flash_read->add_option("len", a.len, "length in bytes after ADDR; none after a region name");
    flash_read->add_option("-o,--output", a.file, "output file")->required();
    flash_read->callback([&action] {
        action = [] {
            long addr = 0, len = 0;
            if (region(a.addr, &addr, &len)) {
                if (!a.len.empty()) throw Failure(EXIT_USAGE, "a region is read whole: give " + a.addr + " without a length");
            } else {
                if (a.len.empty()) throw Failure(EXIT_USAGE, "give the length: flash read ADDR LEN -o FILE, or a region name");
                len = parse_number(a.len, "length");
            }
            return cmd_flash_read(addr, len, a.file);
        };
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
    auto* flash_write =
        flash->add_subcommand("write", "flash write ADDR|REGION FILE (sector rewrite, then verify)");
    flash_write->add_option("addr", a.addr, "ADDR (decimal, or hex with 0x), or a region the file is written from its start")
        ->required();
    flash_write->add_option("file", a.file)->required();
    writing_options(flash_write);
    flash_write->add_flag("--no-verify", a.no_verify, "skip the read-back verification");
    flash_write->callback([&action] {
        a.write.verify = !a.no_verify;
        action = [] {
            long addr = 0, len = 0;
            if (region(a.addr, &addr, &len)) fits_region(a.addr, addr, len, a.file);
            return cmd_flash_write(addr, a.file, a.write);
        };
    });
    auto* flash_erase = flash->add_subcommand("erase", "flash erase ADDR LEN, or REGION (whole 4 KiB sectors)");
    flash_erase->add_option("addr", a.addr, "ADDR (decimal, or hex with 0x) or a region name")->required();
    flash_erase->add_option("len", a.len, "length in bytes after ADDR; none after a region name");
    writing_options(flash_erase);
    flash_erase->callback([&action] {
        action = [] {
            long addr = 0, len = 0;
            if (region(a.addr, &addr, &len)) {
                if (!a.len.empty()) throw Failure(EXIT_USAGE, "a region is erased whole: give " + a.addr + " without a length");
            } else {
                if (a.len.empty()) throw Failure(EXIT_USAGE, "give the length: flash erase ADDR LEN, or a region name");
                len = parse_number(a.len, "length");
            }
            return cmd_flash_erase(addr, len, a.write);
        };
    });
    auto* flash_verify =
        flash->add_subcommand("verify", "flash verify [REGION|ADDR] FILE [--addr ADDR]: compare, change nothing");
    flash_verify->add_option("file", a.verify_args, "[REGION|ADDR] FILE: the file, compared from REGION's or ADDR's start (default 0)")
        ->required()
        ->expected(1, 2);
    flash_verify->add_option("--addr", a.addr, "flash address or region of the file's first byte (default 0)");
    flash_verify->callback([&action] {
        action = [] {
            std::string where = a.addr;
            std::string file = a.verify_args.back();
            if (a.verify_args.size() == 2) {
                if (!where.empty()) throw Failure(EXIT_USAGE, "give the address once: before FILE or with --addr");
                where = a.verify_args.front();
            }
            long addr = 0, len = 0;
            if (!where.empty() && region(where, &addr, &len)) fits_region(where, addr, len, file);
            return cmd_flash_verify(addr, file);
        };
    });
}

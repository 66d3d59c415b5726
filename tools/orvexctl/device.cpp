// The camera as the tool sees it: connection, identification, the serial
// flash's JEDEC id and type, identification blocks, and flash read and
// rewrite built on the library's block operations.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ROMData/rom_names.h"
#include "SFData/type_names.h"
#include "internal/sf_bytes.h"
#include "orvexctl.h"

namespace orvexctl {

// ------------------------------------------------------------ connection

Session::Session(int index) {
    hold_camera(index);
    QuietStderr quiet;
    errno = 0;
    if (OrvexTac_Init(index) != 1) {
        int e = errno;
        throw Failure(EXIT_NO_DEVICE,
                      "cannot open /dev/video" + std::to_string(index) + (e ? std::string(": ") + std::strerror(e) : ""),
                      true);
    }
    open_ = true;
    errno = 0;  // a later failure's errno is then the failed query's own
}

Session::~Session() { close(); }

void Session::close() {
    if (!open_) return;
    QuietStderr quiet;
    OrvexTac_UnInit();
    open_ = false;
}

// ------------------------------------------------------------ names

const char* arch_name(DSP_ARCH_TYPE a) {
    switch (a) {
    case DAT_FIRST: return "first";
    case DAT_SECOND: return "second";
    default: return "unknown";
    }
}

const char* rom_class_name(DSP_ROM_TYPE r) {
    static const char* names[] = {"unknown", "32K", "64K", "128K", "256K"};
    return (r >= 0 && r <= DRT_256K) ? names[r] : "unknown";
}

const char* rom_row_name(unsigned row) { return orvex::rom_row_name(row); }

// Bytes 0-4 are text ("215R0"); byte 5 is the revision number and bytes
// 6-7 two further raw bytes.
std::string rom_version_text(const BYTE v[8]) {
    std::string s;
    for (int i = 0; i < 5; ++i) s += (v[i] >= 0x20 && v[i] < 0x7F) ? static_cast<char>(v[i]) : '?';
    char buf[16];
    std::snprintf(buf, sizeof buf, " %02X %02X %02X", v[5], v[6], v[7]);
    return s + buf;
}

using orvex::kFlashTypeCount;

const char* flash_type_name(int type) { return orvex::flash_type_name(type); }

SERIAL_FLASH_TYPE parse_flash_type(const std::string& name) {
    std::string n;
    for (char c : name) n += c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (n.rfind("SFT_", 0) == 0) n = n.substr(4);
    for (int i = 1; i < kFlashTypeCount; ++i)
        if (n == orvex::flash_type_name(i)) return static_cast<SERIAL_FLASH_TYPE>(i);
    std::string all;
    for (int i = 1; i < kFlashTypeCount; ++i) all += std::string(i > 1 ? ", " : "") + orvex::flash_type_name(i);
    throw Failure(EXIT_USAGE, "unknown flash type '" + name + "' (one of auto, " + all + ")");
}

// What the library's sector erase clears, from the flash-family table.
long erase_unit(SERIAL_FLASH_TYPE t) { return orvex::sector_erase_size(t); }

// ------------------------------------------------------------ identification

Identity identify(bool rom) {
    Identity id;
    BYTE unit = OV_GetUVCExtendUnitID();
    if (unit == 0)
        throw Failure(EXIT_NOT_OURS, "/dev/video" + std::to_string(g_opt.device) +
                                         ": no Orvex extension unit answers (tried units 3 and 4)",
                      true);
    id.unit = unit;
    BYTE chip = 0;
    DSP_ARCH_TYPE arch = DAT_UNKNOW;
    DSP_ROM_TYPE cls = OV_GetChipRomType(&chip, &arch);
    if (cls == DRT_Unknow) throw Failure(EXIT_NOT_OURS, "chip identification failed", true);
    id.chip_id = chip;
    id.arch = arch;
    id.rom_class = cls;
    if (rom) {
        BYTE v[8] = {};
        if (OV_GetAsicRomVersion(v) == 1) {
            id.rom_known = true;
            std::memcpy(id.rom_version, v, 8);
            id.rom_row = uiRomID;
        }
        // ROM matching may change nothing about the map, but identify again
        // so that the register map in force is the chip's own.
        OV_GetChipRomType(&chip, &arch);
    }
    return id;
}

json identity_json(const Identity& id) {
    json j = {{"extension_unit", id.unit}, {"chip_id", hex(id.chip_id, 2)},
              {"architecture", arch_name(id.arch)}, {"rom_class", rom_class_name(id.rom_class)}};
    if (id.rom_known) {
        j["rom_version"] = rom_version_text(id.rom_version);
        j["rom_row"] = rom_row_name(id.rom_row);
    } else {
        j["rom_version"] = nullptr;
        j["rom_row"] = nullptr;
    }
    return j;
}

namespace {
// A field as text: printable ASCII kept, trailing NUL, blank and erased
// (0xFF) bytes dropped, anything else escaped.
std::string field_text(const unsigned char* p, size_t n) {
    while (n > 0 && (p[n - 1] == 0 || p[n - 1] == 0xFF || p[n - 1] == ' ')) --n;
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] >= 0x20 && p[i] < 0x7F) {
            s += static_cast<char>(p[i]);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", p[i]);
            s += buf;
        }
    }
    return s;
}
}  // namespace

FwVersion firmware_version() {
    FwVersion v;
    unsigned char rec[56] = {};
    if (OrvexTac_GetFWVersion(rec, sizeof rec) != 1) return v;
    v.ok = true;
    v.code = field_text(rec, 5);
    v.customer_version = field_text(rec + 5, 10);
    v.customer = field_text(rec + 15, 10);
    v.date = field_text(rec + 25, 10);
    return v;
}

json fw_json(const FwVersion& v) {
    if (!v.ok) return nullptr;
    return {{"code", v.code}, {"customer_version", v.customer_version}, {"customer", v.customer},
            {"date", v.date}};
}

// ------------------------------------------------------------ SPI master
// spi_command lives in spi_master.cpp, shared with the sector-wise burn.

FlashId read_flash_id() {
    FlashId f;
    const BYTE rdid = orvex_sf::kCmdReadJedecId;
    if (!spi_command(&rdid, 1, f.id, 3))
        throw Failure(EXIT_TRANSFER, "reading the flash's JEDEC id through the SPI master failed");
    sfManufactureID = f.id[0];
    sfDeviceID1 = f.id[1];
    sfDeviceID2 = f.id[2];
    // Row 0 is empty; a second device byte of 0xFF in the table means the
    // part answers with one device byte only, so any value matches.
    for (long row = 1; row < ubSFLib_GetIDSize() && row < SFLIB_ID_ROWS; ++row) {
        const BYTE* r = cbSFLib_ID[row];
        if (r[0] == f.id[0] && r[1] == f.id[1] && (r[2] == 0xFF || r[2] == f.id[2])) {
            f.row = static_cast<int>(row);
            f.type = static_cast<SERIAL_FLASH_TYPE>(r[3]);
            break;
        }
    }
    return f;
}

SERIAL_FLASH_TYPE resolve_flash_type(const std::string& name) {
    if (name != "auto") return parse_flash_type(name);
    FlashId f = read_flash_id();
    if (f.type == SFT_UNKNOW)
        throw Failure(EXIT_REFUSED, "flash JEDEC id " + hex_bytes(f.id, 3) +
                                        " is not in the flash table; name the type with --flash-type");
    info(std::string("flash type ") + flash_type_name(f.type) + " (JEDEC " + hex_bytes(f.id, 3) + ")");
    return f.type;
}

BYTE read_status_register() {
    const BYTE rdsr = orvex_sf::kCmdReadStatus;
    BYTE status = 0;
    if (!spi_command(&rdsr, 1, &status, 1))
        throw Failure(EXIT_TRANSFER, "reading the flash status register failed");
    return status;
}

constexpr BYTE kProtectionBits = orvex_sf::kStatusWriteLocks;

std::string protection_note() {
    BYTE status = 0;
    try {
        status = read_status_register();
    } catch (const Failure&) {
        return "";
    }
    if (!(status & kProtectionBits)) return "";
    return "it is write-protected (status register " + hex(status, 2) + ")";
}

// ------------------------------------------------------------ identification blocks

IdBlock check_id_block(long addr, const uint8_t* b) {
    IdBlock blk;
    blk.addr = addr;
    const orvex_store::IdLocation* loc = orvex_store::id_location(addr);
    if (!loc) return blk;
    orvex_store::IdFields f = orvex_store::read_id_fields(*loc, b);
    blk.number = f.number;
    blk.valid = f.matches;
    for (const char* c = f.tag; *c; ++c) {  // stops at a NUL, as the store's comparison does
        unsigned char u = static_cast<unsigned char>(*c);
        if (u >= 0x20 && u < 0x7F) {
            blk.tag += *c;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            blk.tag += buf;
        }
    }
    return blk;
}

std::vector<IdBlock> read_id_blocks() {
    std::vector<IdBlock> out;
    for (const auto& loc : orvex_store::kIdLocations) {
        long addr = loc.addr;
        Bytes b = flash_read(addr, orvex_store::kIdBlockLen);
        out.push_back(check_id_block(addr, b.data()));
    }
    return out;
}

bool store_recognises(const std::vector<IdBlock>& blocks) {
    for (const auto& b : blocks)
        if (b.valid) return true;
    return false;
}

// ------------------------------------------------------------ flash

Bytes flash_read(long addr, long len, Progress* p) {
    if (addr < 0 || len < 0 || addr + len > kFlashSize)
        throw Failure(EXIT_USAGE, "flash range " + hex(addr, 5) + "+" + std::to_string(len) +
                                      " lies outside the 256 KiB flash");
    Bytes data(static_cast<size_t>(len), 0xFF);
    const long chunk = 4096;
    for (long off = 0; off < len; off += chunk) {
        long n = std::min(chunk, len - off);
        if (OrvexTac_SerialFlashRead(addr + off, data.data() + off, n) != 1)
            throw Failure(EXIT_TRANSFER, "flash read at " + hex(addr + off, 5) + " failed");
        if (p) p->update(static_cast<double>(off + n) / static_cast<double>(len));
    }
    return data;
}

RewriteResult flash_rewrite(long addr, const Bytes& data, SERIAL_FLASH_TYPE sft, bool verify,
                            Progress* p) {
    RewriteResult r;
    long len = static_cast<long>(data.size());
    if (addr < 0 || addr + len > kFlashSize)
        throw Failure(EXIT_USAGE, "flash range " + hex(addr, 5) + "+" + std::to_string(len) +
                                      " lies outside the 256 KiB flash");
    if (len == 0) return r;
    const long unit = erase_unit(sft);
    long first = addr / unit * unit;
    long end = (addr + len + unit - 1) / unit * unit;
    long total = end - first;
    long done = 0;
    std::vector<std::pair<long, Bytes>> written;
    for (long u = first; u < end; u += unit) {
        Bytes cur = flash_read(u, unit);
        Bytes want = cur;
        for (long a = std::max(u, addr); a < std::min(u + unit, addr + len); ++a)
            want[static_cast<size_t>(a - u)] = data[static_cast<size_t>(a - addr)];
        if (want == cur) {
            ++r.units_unchanged;
        } else {
            // The erase leaves 0xFF; trailing erased bytes need no program.
            long n = unit;
            while (n > 0 && want[static_cast<size_t>(n - 1)] == 0xFF) --n;
            if (OrvexTac_SerialFlashSectorWrite(u, want.data(), n, sft) != 1) {
                // A protection the release could not lift fails the rewrite
                // before its erase: say so rather than "failed".
                std::string why = protection_note();
                if (!why.empty())
                    throw Failure(EXIT_TRANSFER, "the flash refused the write at " + hex(u, 5) + ": " + why);
                throw Failure(EXIT_TRANSFER, "sector rewrite at " + hex(u, 5) + " failed");
            }
            ++r.units_written;
            written.emplace_back(u, std::move(want));
        }
        done += unit;
        if (p) p->update(static_cast<double>(done) / static_cast<double>(total) * (verify ? 0.5 : 1));
    }
    if (!verify) return r;
    done = 0;
    for (const auto& w : written) {
        Bytes back = flash_read(w.first, unit);
        if (back != w.second) {
            size_t i = 0;
            while (back[i] == w.second[i]) ++i;
            long at = w.first + static_cast<long>(i);
            // Tell a flash that refused the write from one that took it
            // wrongly: protection bits still set mean nothing was changed.
            std::string why = protection_note();
            if (!why.empty())
                throw Failure(EXIT_TRANSFER, "the flash refused the write at " + hex(at, 5) + ": " + why);
            throw Failure(EXIT_VERIFY, "verification failed at " + hex(at, 5) + ": wrote " +
                                           hex(w.second[i], 2) + ", read back " + hex(back[i], 2));
        }
        done += unit;
        if (p) p->update(0.5 + 0.5 * static_cast<double>(done) / static_cast<double>(written.size() * unit));
    }
    return r;
}

}  // namespace orvexctl

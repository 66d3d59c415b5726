// flash read, dump and write.
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

int cmd_flash_write(long addr, const std::string& file, const std::string& flash_type, bool verify) {
    Bytes data = read_file(file);
    if (data.empty()) throw Failure(EXIT_USAGE, file + " is empty");
    long len = static_cast<long>(data.size());
    if (addr < 0 || addr + len > kFlashSize)
        throw Failure(EXIT_USAGE, "the file does not fit the flash at " + hex(addr, 5) + " (" +
                                      std::to_string(len) + " bytes, flash ends at 0x40000)");
    Session s(g_opt.device);
    identify(false);
    SERIAL_FLASH_TYPE sft = resolve_flash_type(flash_type);
    RewriteResult r;
    {
        Progress p("write", static_cast<uint64_t>(len));
        r = flash_rewrite(addr, data, sft, verify, &p);
        p.finish();
    }
    long unit = erase_unit(sft);
    emit({{"addr", hex(addr, 5)},
          {"length", len},
          {"flash_type", flash_type_name(sft)},
          {"sector_size", unit},
          {"sectors_rewritten", r.units_written},
          {"sectors_unchanged", r.units_unchanged},
          {"verified", verify}},
         "wrote " + std::to_string(len) + " bytes at " + hex(addr, 5) + ": " + std::to_string(r.units_written) +
             " sector(s) of " + std::to_string(unit / 1024) + " KiB rewritten, " +
             std::to_string(r.units_unchanged) + " already held the data" +
             (verify ? ", verified\n" : ", not verified\n"));
    return EXIT_OK;
}

}  // namespace orvexctl

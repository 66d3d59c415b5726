// Raw access: extension-unit queries, ASIC registers, image-sensor
// registers. Input and output in hex.
#include <CLI/CLI.hpp>

#include "commands.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {
void check_byte(long v, const char* what) {
    if (v < 0 || v > 0xFF) throw Failure(EXIT_USAGE, std::string(what) + " must be 00 to FF");
}
void check_reg_range(long addr, long count) {
    if (addr < 0 || addr > 0xFFFF) throw Failure(EXIT_USAGE, "register address must be 0000 to FFFF");
    if (count < 1 || addr + count > 0x10000)
        throw Failure(EXIT_USAGE, "register range must stay within 0000 to FFFF");
}
std::string dump_lines(long addr, const Bytes& b, int addr_digits) {
    std::string s;
    for (size_t i = 0; i < b.size(); i += 16) {
        size_t n = std::min<size_t>(16, b.size() - i);
        s += hex(static_cast<uint64_t>(addr) + i, addr_digits) + ": " + hex_bytes(b.data() + i, n) + "\n";
    }
    return s;
}
json bytes_json(const Bytes& b) {
    json a = json::array();
    for (uint8_t v : b) a.push_back(hex(v, 2));
    return a;
}
}  // namespace

int cmd_xu_get(int unit, int selector, int size) {
    check_byte(unit, "unit");
    check_byte(selector, "selector");
    if (size < 1 || size > 0xFFFF) throw Failure(EXIT_USAGE, "size must be 1 to FFFF");
    Session s(g_opt.device);
    Bytes data(static_cast<size_t>(size), 0);
    if (OrvexTac_XuRead(data.data(), static_cast<unsigned>(size), static_cast<BYTE>(unit),
                        static_cast<BYTE>(selector)) != 1)
        throw Failure(EXIT_TRANSFER, "GET_CUR on unit " + std::to_string(unit) + " selector " +
                                         std::to_string(selector) + " failed");
    emit({{"unit", unit}, {"selector", selector}, {"data", bytes_json(data)}},
         hex_bytes(data.data(), data.size()) + "\n");
    return EXIT_OK;
}

int cmd_xu_set(int unit, int selector, const Bytes& data, bool dry_run) {
    check_byte(unit, "unit");
    check_byte(selector, "selector");
    if (data.empty() || data.size() > 0xFFFF) throw Failure(EXIT_USAGE, "give 1 to FFFF bytes");
    if (dry_run) {
        // Not even a GET: on some selectors a query moves the device's state.
        emit({{"dry_run", true}, {"unit", unit}, {"selector", selector}, {"data", bytes_json(data)}},
             "dry run, nothing is sent: would SET_CUR unit " + hex(unit, 2) + " selector " + hex(selector, 2) +
                 ": " + hex_bytes(data.data(), data.size()) + "\n");
        return EXIT_OK;
    }
    Session s(g_opt.device);
    Bytes buf = data;
    if (OrvexTac_XuWrite(buf.data(), static_cast<unsigned>(buf.size()), static_cast<BYTE>(unit),
                         static_cast<BYTE>(selector)) != 1)
        throw Failure(EXIT_TRANSFER, "SET_CUR on unit " + std::to_string(unit) + " selector " +
                                         std::to_string(selector) + " failed");
    emit({{"unit", unit}, {"selector", selector}, {"written", buf.size()}}, "");
    return EXIT_OK;
}

int cmd_reg_read(long addr, long count) {
    check_reg_range(addr, count);
    Session s(g_opt.device);
    identify(false);  // finds the extension unit (3 or 4) the registers answer on
    Bytes data(static_cast<size_t>(count), 0);
    if (OrvexTac_AsicRegisterRead(static_cast<unsigned short>(addr), data.data(), count) != 1)
        throw Failure(EXIT_TRANSFER, "register read at " + hex(addr, 4) + " failed");
    emit({{"addr", hex(addr, 4)}, {"data", bytes_json(data)}}, dump_lines(addr, data, 4));
    return EXIT_OK;
}

int cmd_reg_write(long addr, const Bytes& data, bool dry_run) {
    check_reg_range(addr, static_cast<long>(data.size()));
    Session s(g_opt.device);
    identify(false);  // finds the extension unit (3 or 4) the registers answer on
    if (dry_run) {
        // Register reads only: what would change.
        Bytes now(data.size(), 0);
        if (OrvexTac_AsicRegisterRead(static_cast<unsigned short>(addr), now.data(), static_cast<long>(now.size())) != 1)
            throw Failure(EXIT_TRANSFER, "register read at " + hex(addr, 4) + " failed");
        emit({{"dry_run", true}, {"addr", hex(addr, 4)}, {"data", bytes_json(data)}, {"current", bytes_json(now)}},
             "dry run, nothing is written: would write at " + hex(addr, 4) + "\n" + "  now  " +
                 hex_bytes(now.data(), now.size()) + "\n  new  " + hex_bytes(data.data(), data.size()) + "\n");
        return EXIT_OK;
    }
    Bytes buf = data;
    if (OrvexTac_AsicRegisterWrite(static_cast<unsigned short>(addr), buf.data(),
                                   static_cast<long>(buf.size())) != 1)
        throw Failure(EXIT_TRANSFER, "register write at " + hex(addr, 4) + " failed");
    emit({{"addr", hex(addr, 4)}, {"written", buf.size()}}, "");
    return EXIT_OK;
}

namespace {
// The I2C master sits at different registers on the two architectures and
// the library uses the map selected last, so identify the chip first.
void prepare_sensor(long slave, long addr, long count) {
    check_byte(slave, "slave id");
    // The transaction layer carries 16-bit register addresses.
    if (addr < 0 || count < 1 || addr + count - 1 > 0xFFFF)
        throw Failure(EXIT_USAGE, "sensor register range must stay within 0000 to FFFF");
    identify(false);
}
}  // namespace

int cmd_sensor_read(long slave, long addr, long count) {
    Session s(g_opt.device);
    prepare_sensor(slave, addr, count);
    Bytes data(static_cast<size_t>(count), 0);
    if (OrvexTac_SensorRegisterCustomRead(static_cast<unsigned char>(slave), addr, data.data(), count, 0) != 1)
        throw Failure(EXIT_TRANSFER, "sensor read of slave " + hex(slave, 2) + " at " + hex(addr, 4) + " failed");
    emit({{"slave", hex(slave, 2)}, {"addr", hex(addr, 4)}, {"data", bytes_json(data)}},
         dump_lines(addr, data, 4));
    return EXIT_OK;
}

int cmd_sensor_write(long slave, long addr, const Bytes& data, bool dry_run) {
    if (dry_run) {
        // Reading the sensor back would drive the I2C master, which is
        // register writes; the plan is the command line's own.
        check_byte(slave, "slave id");
        if (addr < 0 || addr + static_cast<long>(data.size()) - 1 > 0xFFFF)
            throw Failure(EXIT_USAGE, "sensor register range must stay within 0000 to FFFF");
        emit({{"dry_run", true}, {"slave", hex(slave, 2)}, {"addr", hex(addr, 4)}, {"data", bytes_json(data)}},
             "dry run, nothing is written: would write slave " + hex(slave, 2) + " at " + hex(addr, 4) + ": " +
                 hex_bytes(data.data(), data.size()) + "\n");
        return EXIT_OK;
    }
    Session s(g_opt.device);
    prepare_sensor(slave, addr, static_cast<long>(data.size()));
    Bytes buf = data;
    if (OrvexTac_SensorRegisterCustomWrite(static_cast<unsigned char>(slave), addr, buf.data(),
                                           static_cast<long>(buf.size()), 0) != 1)
        throw Failure(EXIT_TRANSFER, "sensor write of slave " + hex(slave, 2) + " at " + hex(addr, 4) + " failed");
    emit({{"slave", hex(slave, 2)}, {"addr", hex(addr, 4)}, {"written", buf.size()}}, "");
    return EXIT_OK;
}

}  // namespace orvexctl

namespace {
struct RawArgs {
    std::string unit, selector, size, addr, count, slave;
    std::vector<std::string> bytes;
    bool dry_run = false;
};
}  // namespace

void orvexctl::add_raw_commands(CLI::App& app, Action& action) {
    static RawArgs a;
    auto* xu = app.add_subcommand("xu", "raw extension-unit query")->require_subcommand(1);
    auto* xu_get = xu->add_subcommand("get", "GET_CUR: xu get UNIT SELECTOR SIZE");
    xu_get->add_option("unit", a.unit)->required();
    xu_get->add_option("selector", a.selector)->required();
    xu_get->add_option("size", a.size)->required();
    xu_get->callback([&action] {
        action = [] {
            return cmd_xu_get(static_cast<int>(parse_hex(a.unit, "unit")),
                              static_cast<int>(parse_hex(a.selector, "selector")),
                              static_cast<int>(parse_hex(a.size, "size")));
        };
    });
    auto* xu_set = xu->add_subcommand("set", "SET_CUR: xu set UNIT SELECTOR BYTES...");
    xu_set->add_option("unit", a.unit)->required();
    xu_set->add_option("selector", a.selector)->required();
    xu_set->add_option("bytes", a.bytes)->required();
    xu_set->add_flag("--dry-run", a.dry_run, "print the query and send nothing");
    xu_set->callback([&action] {
        action = [] {
            return cmd_xu_set(static_cast<int>(parse_hex(a.unit, "unit")),
                              static_cast<int>(parse_hex(a.selector, "selector")), parse_hex_bytes(a.bytes),
                              a.dry_run);
        };
    });

    auto* reg = app.add_subcommand("reg", "ASIC registers")->require_subcommand(1);
    auto* reg_read = reg->add_subcommand("read", "reg read ADDR [COUNT]");
    reg_read->add_option("addr", a.addr)->required();
    reg_read->add_option("count", a.count);
    reg_read->callback([&action] {
        action = [] {
            return cmd_reg_read(parse_hex(a.addr, "address"), a.count.empty() ? 1 : parse_hex(a.count, "count"));
        };
    });
    auto* reg_write = reg->add_subcommand("write", "reg write ADDR BYTES...");
    reg_write->add_option("addr", a.addr)->required();
    reg_write->add_option("bytes", a.bytes)->required();
    reg_write->add_flag("--dry-run", a.dry_run, "print the current and the new bytes and write nothing");
    reg_write->callback([&action] {
        action = [] { return cmd_reg_write(parse_hex(a.addr, "address"), parse_hex_bytes(a.bytes), a.dry_run); };
    });

    auto* sensor = app.add_subcommand("sensor", "image-sensor registers over I2C")->require_subcommand(1);
    auto* sensor_read = sensor->add_subcommand("read", "sensor read SLAVE ADDR [COUNT]");
    sensor_read->add_option("slave", a.slave)->required();
    sensor_read->add_option("addr", a.addr)->required();
    sensor_read->add_option("count", a.count);
    sensor_read->callback([&action] {
        action = [] {
            return cmd_sensor_read(parse_hex(a.slave, "slave id"), parse_hex(a.addr, "address"),
                                   a.count.empty() ? 1 : parse_hex(a.count, "count"));
        };
    });
    auto* sensor_write = sensor->add_subcommand("write", "sensor write SLAVE ADDR BYTES...");
    sensor_write->add_option("slave", a.slave)->required();
    sensor_write->add_option("addr", a.addr)->required();
    sensor_write->add_option("bytes", a.bytes)->required();
    sensor_write->add_flag("--dry-run", a.dry_run, "print what would be written and touch nothing");
    sensor_write->callback([&action] {
        action = [] {
            return cmd_sensor_write(parse_hex(a.slave, "slave id"), parse_hex(a.addr, "address"),
                                    parse_hex_bytes(a.bytes), a.dry_run);
        };
    });
}

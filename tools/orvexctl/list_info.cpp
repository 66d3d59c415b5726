// list and info: which nodes are Orvex cameras, and what one of them is,
// as the library describes them.
#include <CLI/CLI.hpp>

#include "commands.h"
#include "factory_client.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {
std::string str(const json& j, const char* key) {
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
}
std::string or_dash(const std::string& s) { return s.empty() ? "-" : s; }

std::string block_text(const json& b) {
    return b.value("addr", "") + " " +
           (b.value("valid", false) ? "valid (" + b.value("tag", "") + " " + std::to_string(b.value("number", 0)) + ")"
                                    : std::string("absent"));
}
}  // namespace

std::string camera_label(const NodeIdentity& n) { return n.serial.empty() ? n.node : n.serial; }

int cmd_list() {
    json nodes = json::array();
    std::string text;
    for (const NodeProbe& p : probe_nodes()) {
        const json& n = p.doc;
        nodes.push_back(n);
        std::string head = p.id.node + ": ";
        std::string ident = "    serial " + or_dash(p.id.serial) + ", USB path " + or_dash(p.id.usb_path) + ", " +
                            (p.id.vendor.empty() ? "-" : p.id.vendor + ":" + p.id.product) + ", driver " +
                            or_dash(p.id.driver) + "\n";
        if (!p.opens) {
            text += head + "cannot open (" + str(n, "error") + ")\n" + ident;
            continue;
        }
        if (!p.ours) {
            text += head + "opens, not an Orvex camera (no extension unit answers)\n" + ident;
            continue;
        }
        const json& fw = n.value("firmware", json());
        const json& unit = n.value("unit", json());
        const std::string area = n.value("firmware_area", json::object()).value("state", "");
        const std::string firmware = area == "blank"     ? std::string("none (firmware area blank)")
                                     : area == "damaged" ? std::string("damaged (version fields partly erased)")
                                     : fw.is_object()    ? str(fw, "code") + " " + str(fw, "customer_version")
                                                         : std::string("-");
        text += head + "Orvex camera, unit " + std::to_string(n.value("extension_unit", 0)) + ", chip " +
                str(n, "chip_id") + ", " + str(n, "architecture") + " architecture, ROM class " + str(n, "rom_class") +
                ", firmware " + firmware + ", " +
                (unit.is_object() ? "unit id " + str(unit, "tag") + " " + std::to_string(unit.value("number", 0))
                                  : std::string("no unit id")) +
                "\n" + ident;
    }
    if (nodes.empty()) text = "no video nodes found\n";
    emit({{"nodes", nodes}}, text);
    return EXIT_OK;
}

int cmd_info() {
    FactorySession f;
    OrvexFactoryResult* r = nullptr;
    json doc;
    std::string message;
    int status = f.take_any(OrvexFactory_Info(f.get(), &r), r, &doc, &message);
    // An unreadable JEDEC id still shows everything else.
    // So does a blank or damaged firmware area (exit 4: the camera answers,
    // its firmware is not one it can run).
    const std::string area = doc.value("firmware_area", json::object()).value("state", "");
    const bool firmware_gone = status == ORVEX_FACTORY_NOT_OURS && (area == "blank" || area == "damaged");
    if (status != ORVEX_FACTORY_OK && !(status == ORVEX_FACTORY_TRANSFER && doc.contains("identification_blocks")) &&
        !firmware_gone)
        throw Failure(status, message, status == ORVEX_FACTORY_NOT_OURS || message.rfind("cannot open", 0) == 0);
    if (firmware_gone) note("warning: " + message);
    for (const char* k : {"ok", "status", "error", "address"}) doc.erase(k);
    const json& fw = doc.value("firmware", json());
    const json& flash = doc.value("flash", json::object());
    std::string flash_text = flash.contains("error")
                                 ? "unreadable: " + str(flash, "error")
                                 : str(flash, "jedec_id") + " (" +
                                       (flash.value("type", json()).is_string() ? str(flash, "type")
                                                                                : std::string("not in the flash table")) +
                                       ")";
    std::string t;
    t += "device:            " + str(doc, "device") + "\n";
    t += "serial, USB path:  " + or_dash(str(doc, "serial")) + ", " + or_dash(str(doc, "usb_path")) + "\n";
    t += "extension unit:    " + std::to_string(doc.value("extension_unit", 0)) + "\n";
    t += "chip id:           " + str(doc, "chip_id") + "\n";
    t += "architecture:      " + str(doc, "architecture") + "\n";
    t += "ROM class:         " + str(doc, "rom_class") + "\n";
    t += "ROM version:       " + (doc["rom_version"].is_string() ? str(doc, "rom_version") + " (" + str(doc, "rom_row") + ")"
                                                                 : std::string("not in the ROM table")) + "\n";
    if (firmware_gone) {
        t += std::string("firmware:          ") +
             (area == "blank" ? "none: the firmware area is blank\n"
                              : "damaged: its version fields are partly erased or not text\n");
    } else if (fw.is_object()) {
        t += "firmware code:     " + str(fw, "code") + "\n";
        t += "customer version:  " + str(fw, "customer_version") + "\n";
        t += "customer:          " + str(fw, "customer") + "\n";
        t += "firmware date:     " + str(fw, "date") + "\n";
    } else {
        t += "firmware version:  not available for this chip\n";
    }
    t += "flash JEDEC id:    " + flash_text + "\n";
    const json& blocks = doc["identification_blocks"];
    t += "id block 1:        " + block_text(blocks[0]) + "\n";
    t += "id block 2:        " + block_text(blocks[1]) + "\n";
    emit(doc, t);
    if (firmware_gone) return EXIT_NOT_OURS;
    return status == ORVEX_FACTORY_OK ? EXIT_OK : EXIT_TRANSFER;
}

}  // namespace orvexctl

void orvexctl::add_list_info_commands(CLI::App& app, Action& action) {
    app.add_subcommand("list", "list /dev/video* nodes and which are Orvex cameras")
        ->callback([&action] { action = cmd_list; });
    app.add_subcommand("info", "identify the camera: chip, ROM, firmware, flash")
        ->callback([&action] { action = cmd_info; });
}

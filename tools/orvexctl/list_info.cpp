// list and info: which nodes are Orvex cameras, and what one of them is.
#include <dirent.h>

#include <cerrno>
#include <cstring>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {
std::string block_text(const IdBlock& b) {
    return hex(b.addr, 5) + " " + (b.valid ? "valid (" + b.tag + " " + std::to_string(b.number) + ")" : "absent");
}

json or_null(const std::string& s) { return s.empty() ? json(nullptr) : json(s); }
std::string or_dash(const std::string& s) { return s.empty() ? "-" : s; }
}  // namespace

std::string camera_label(const NodeIdentity& n) { return n.serial.empty() ? n.node : n.serial; }

std::vector<NodeProbe> probe_nodes() {
    std::vector<NodeProbe> out;
    for (int index : video_indices(true)) {
        NodeProbe p;
        p.id = node_identity(index);
        int err = 0;
        {
            QuietStderr quiet;
            errno = 0;
            p.opens = OrvexTac_Init(index) == 1;
            err = errno;
        }
        if (!p.opens) {
            if (err == ENOENT || err == ENODEV || err == ENXIO) continue;
            p.error = std::strerror(err);
            out.push_back(p);
            continue;
        }
        try {
            p.ident = identify(false);
            p.ours = true;
            p.fw = firmware_version();
            UnitIdentity u = unit_identity(read_id_blocks());
            p.unit_known = u.known;
            p.unit_tag = u.tag;
            p.unit_number = u.number;
        } catch (const Failure&) {
            // Not ours, or ours but its flash unreadable: what was learned stays.
        }
        {
            QuietStderr quiet;
            OrvexTac_UnInit();
        }
        out.push_back(p);
    }
    return out;
}

int cmd_list() {
    json nodes = json::array();
    std::string text;
    for (const NodeProbe& p : probe_nodes()) {
        const NodeIdentity& id = p.id;
        json n = {{"index", id.index},
                  {"node", id.node},
                  {"serial", or_null(id.serial)},
                  {"usb_path", or_null(id.usb_path)},
                  {"usb_id", id.vendor.empty() ? json(nullptr) : json(id.vendor + ":" + id.product)},
                  {"driver", or_null(id.driver)},
                  {"by_id", or_null(id.by_id)},
                  {"by_path", or_null(id.by_path)},
                  {"opens", p.opens}};
        std::string head = id.node + ": ";
        std::string ident = "    serial " + or_dash(id.serial) + ", USB path " + or_dash(id.usb_path) + ", " +
                            (id.vendor.empty() ? "-" : id.vendor + ":" + id.product) + ", driver " +
                            or_dash(id.driver) + "\n";
        if (!p.opens) {
            n["error"] = p.error;
            text += head + "cannot open (" + p.error + ")\n" + ident;
            nodes.push_back(n);
            continue;
        }
        n["orvex"] = p.ours;
        if (p.ours) {
            json j = identity_json(p.ident);
            j.erase("rom_version");
            j.erase("rom_row");
            n.update(j);
            n["firmware_version"] = p.fw.ok ? json(p.fw.customer_version) : json(nullptr);
            n["firmware"] = fw_json(p.fw);
            n["unit"] = p.unit_known ? json({{"tag", p.unit_tag}, {"number", p.unit_number}}) : json(nullptr);
            text += head + "Orvex camera, unit " + std::to_string(p.ident.unit) + ", chip " +
                    hex(p.ident.chip_id, 2) + ", " + arch_name(p.ident.arch) + " architecture, ROM class " +
                    rom_class_name(p.ident.rom_class) + ", firmware " +
                    (p.fw.ok ? p.fw.code + " " + p.fw.customer_version : std::string("-")) + ", " +
                    (p.unit_known ? "unit id " + p.unit_tag + " " + std::to_string(p.unit_number)
                                  : std::string("no unit id")) +
                    "\n" + ident;
        } else {
            n["extension_unit"] = nullptr;
            text += head + "opens, not an Orvex camera (no extension unit answers)\n" + ident;
        }
        nodes.push_back(n);
    }
    if (nodes.empty()) text = "no video nodes found\n";
    emit({{"nodes", nodes}}, text);
    return EXIT_OK;
}

int cmd_info() {
    Session s(g_opt.device);
    Identity id = identify(true);
    NodeIdentity node = node_identity(g_opt.device);
    FwVersion fw = firmware_version();
    json doc = {{"device", "/dev/video" + std::to_string(g_opt.device)}};
    doc["serial"] = or_null(node.serial);
    doc["usb_path"] = or_null(node.usb_path);
    doc.update(identity_json(id));
    doc["firmware"] = fw_json(fw);
    int code = EXIT_OK;
    std::string flash_text;
    try {
        FlashId f = read_flash_id();
        doc["flash"] = {{"jedec_id", hex_bytes(f.id, 3)},
                        {"type", f.type == SFT_UNKNOW ? json(nullptr) : json(flash_type_name(f.type))},
                        {"table_row", f.row < 0 ? json(nullptr) : json(f.row)}};
        flash_text = hex_bytes(f.id, 3) + " (" + (f.type == SFT_UNKNOW ? std::string("not in the flash table")
                                                                        : std::string(flash_type_name(f.type))) + ")";
    } catch (const Failure& e) {
        doc["flash"] = {{"error", e.what()}};
        flash_text = std::string("unreadable: ") + e.what();
        code = EXIT_TRANSFER;
    }
    std::vector<IdBlock> blocks = read_id_blocks();
    json jb = json::array();
    for (const auto& b : blocks)
        jb.push_back({{"addr", hex(b.addr, 5)}, {"valid", b.valid}, {"tag", b.tag}, {"number", b.number}});
    doc["identification_blocks"] = jb;
    doc["calibration_store_recognises"] = store_recognises(blocks);

    std::string t;
    t += "device:            " + doc["device"].get<std::string>() + "\n";
    t += "serial, USB path:  " + or_dash(node.serial) + ", " + or_dash(node.usb_path) + "\n";
    t += "extension unit:    " + std::to_string(id.unit) + "\n";
    t += "chip id:           " + hex(id.chip_id, 2) + "\n";
    t += std::string("architecture:      ") + arch_name(id.arch) + "\n";
    t += std::string("ROM class:         ") + rom_class_name(id.rom_class) + "\n";
    t += "ROM version:       " + (id.rom_known ? rom_version_text(id.rom_version) + " (" + rom_row_name(id.rom_row) + ")"
                                               : std::string("not in the ROM table")) + "\n";
    if (fw.ok) {
        t += "firmware code:     " + fw.code + "\n";
        t += "customer version:  " + fw.customer_version + "\n";
        t += "customer:          " + fw.customer + "\n";
        t += "firmware date:     " + fw.date + "\n";
    } else {
        t += "firmware version:  not available for this chip\n";
    }
    t += "flash JEDEC id:    " + flash_text + "\n";
    t += "id block 1:        " + block_text(blocks[0]) + "\n";
    t += "id block 2:        " + block_text(blocks[1]) + "\n";
    emit(doc, t);
    return code;
}

}  // namespace orvexctl

void orvexctl::add_list_info_commands(CLI::App& app, Action& action) {
    app.add_subcommand("list", "list /dev/video* nodes and which are Orvex cameras")
        ->callback([&action] { action = cmd_list; });
    app.add_subcommand("info", "identify the camera: chip, ROM, firmware, flash")
        ->callback([&action] { action = cmd_info; });
}

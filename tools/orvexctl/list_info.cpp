// list and info: which nodes are Orvex cameras, and what one of them is.
#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <set>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {
// Indices of /dev/video<N> nodes present, plus the low indices, which are
// probed by opening them (a node may be reachable without a directory
// entry, e.g. inside a container or under the virtual camera).
std::set<int> candidate_indices() {
    std::set<int> out;
    for (int i = 0; i < 64; ++i) out.insert(i);
    if (DIR* d = opendir("/dev")) {
        while (dirent* e = readdir(d)) {
            const char* n = e->d_name;
            if (std::strncmp(n, "video", 5) != 0 || !n[5]) continue;
            char* end = nullptr;
            long v = std::strtol(n + 5, &end, 10);
            if (*end == 0 && v >= 0 && v < 1 << 20) out.insert(static_cast<int>(v));
        }
        closedir(d);
    }
    return out;
}

std::string block_text(const IdBlock& b) {
    return hex(b.addr, 5) + " " + (b.valid ? "valid (" + b.tag + " " + std::to_string(b.number) + ")" : "absent");
}
}  // namespace

int cmd_list() {
    json nodes = json::array();
    std::string text;
    for (int index : candidate_indices()) {
        std::string path = "/dev/video" + std::to_string(index);
        json n = {{"index", index}, {"node", path}};
        int err = 0;
        bool opened;
        {
            QuietStderr quiet;
            errno = 0;
            opened = OrvexTac_Init(index) == 1;
            err = errno;
        }
        if (!opened) {
            if (err == ENOENT || err == ENODEV || err == ENXIO) continue;
            n["opens"] = false;
            n["error"] = std::strerror(err);
            text += path + ": cannot open (" + std::strerror(err) + ")\n";
            nodes.push_back(n);
            continue;
        }
        n["opens"] = true;
        try {
            Identity id = identify(false);
            json j = identity_json(id);
            j.erase("rom_version");
            j.erase("rom_row");
            n.update(j);
            n["orvex"] = true;
            text += path + ": Orvex camera, unit " + std::to_string(id.unit) + ", chip " + hex(id.chip_id, 2) +
                    ", " + arch_name(id.arch) + " architecture, ROM class " + rom_class_name(id.rom_class) + "\n";
        } catch (const Failure&) {
            n["orvex"] = false;
            n["extension_unit"] = nullptr;
            text += path + ": opens, not an Orvex camera (no extension unit answers)\n";
        }
        {
            QuietStderr quiet;
            OrvexTac_UnInit();
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
    FwVersion fw = firmware_version();
    json doc = {{"device", "/dev/video" + std::to_string(g_opt.device)}};
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

// The exported description of one camera, the list of every video node,
// and camera selection.
#include <cstring>

#include "device.h"
#include "fw_area.h"
#include "identity.h"
#include "node_identity.h"
#include "result.h"
#include "spi.h"
#include "text.h"

using namespace orvex_factory;

namespace {

json blocks_json(const std::vector<IdBlock>& blocks) {
    json jb = json::array();
    for (const auto& b : blocks)
        // An absent block has no tag or number: the erased bytes are none.
        jb.push_back({{"addr", hex(b.addr, 5)},
                      {"valid", b.valid},
                      {"tag", b.valid ? json(b.tag) : json(nullptr)},
                      {"number", b.valid ? json(b.number) : json(nullptr)}});
    return jb;
}

json info(Session& s) {
    Connection c(s);
    Chip chip = identify_chip(s, true);
    NodeIdentity node = node_identity(s.index);
    FwVersion fw = firmware_version();
    json doc = {{"device", node_name(s)}};
    doc["serial"] = node.serial.empty() ? json(nullptr) : json(node.serial);
    doc["usb_path"] = node.usb_path.empty() ? json(nullptr) : json(node.usb_path);
    doc["usb"] = node_identity_json(node);
    doc.update(chip_json(chip));
    doc["firmware"] = fw_json(fw);
    // The version fields where the chip keeps them: after an erase that no
    // burn followed they are 0xFF, and the camera runs no firmware.
    FirmwareArea area = camera_firmware(s, chip);
    doc["firmware_area"] = fw_area_json(area);
    std::string flash_error;
    try {
        FlashId f = read_flash_id();
        doc["flash"] = {{"jedec_id", hex_bytes(f.id, 3)},
                        {"type", f.type == SFT_UNKNOW ? json(nullptr) : json(flash_type_name(f.type))},
                        {"table_row", f.row < 0 ? json(nullptr) : json(f.row)}};
    } catch (const Failure& e) {
        doc["flash"] = {{"error", e.what()}};
        flash_error = e.what();
    }
    std::vector<IdBlock> blocks = read_id_blocks(s);
    doc["identification_blocks"] = blocks_json(blocks);
    doc["unit"] = identity_json(unit_identity(blocks));
    doc["calibration_store_recognises"] = store_recognises(blocks);
    if (!flash_error.empty()) {
        Failure f(TRANSFER, flash_error);
        f.partial = doc;
        throw f;
    }
    if (area.state == FirmwareArea::blank || area.state == FirmwareArea::damaged) {
        Failure f(NOT_OURS, std::string("the firmware area is ") +
                                (area.state == FirmwareArea::blank
                                     ? "blank: an erase that no burn followed"
                                     : "damaged: its version fields are partly erased or not text (a burn that "
                                       "stopped half-way)"));
        f.recovery = "to bring the firmware back, burn an image:\n  orvexctl " + camera_option(s.index) + " burn IMAGE";
        f.partial = doc;
        throw f;
    }
    return doc;
}

// A node opened and asked whether it is ours; the library's own per-query
// lock is enough here: nothing is written.
json probe(int index) {
    NodeIdentity id = node_identity(index);
    json n = node_identity_json(id);
    int err = 0;
    bool opens;
    {
        QuietStderr quiet;
        errno = 0;
        opens = OrvexTac_Init(index) == 1;
        err = errno;
    }
    n["opens"] = opens;
    if (!opens) {
        if (err == ENOENT || err == ENODEV || err == ENXIO) return nullptr;
        n["error"] = std::strerror(err);
        return n;
    }
    OrvexFactorySession scratch;
    scratch.index = index;
    try {
        Chip chip = identify_chip(scratch, false);
        json j = chip_json(chip);
        j.erase("rom_version");
        j.erase("rom_row");
        n["orvex"] = true;
        n.update(j);
        FwVersion fw = firmware_version();
        n["firmware_version"] = fw.ok ? json(fw.customer_version) : json(nullptr);
        n["firmware"] = fw_json(fw);
        n["firmware_area"] = fw_area_json(camera_firmware(scratch, chip));
        n["unit"] = identity_json(unit_identity(read_id_blocks(scratch)));
    } catch (const Failure&) {
        // Not ours, or ours but its flash unreadable: what was learned stays.
        if (!n.contains("orvex")) {
            n["orvex"] = false;
            n["extension_unit"] = nullptr;
        }
    }
    QuietStderr quiet;
    OrvexTac_UnInit();
    return n;
}

}  // namespace

extern "C" {

int OrvexFactory_Info(OrvexFactorySession* s, OrvexFactoryResult** out) {
    return run(s, out, [&] {
        if (!s) throw Failure(USAGE, "no session");
        return info(*s);
    });
}

int OrvexFactory_ListCameras(OrvexFactoryResult** out) {
    return run(nullptr, out, [&] {
        json nodes = json::array();
        for (int index : video_indices(true)) {
            json n = probe(index);
            if (!n.is_null()) nodes.push_back(n);
        }
        return json{{"nodes", nodes}};
    });
}

int OrvexFactory_FindCamera(const char* selector, int* index, OrvexFactoryResult** out) {
    return run(nullptr, out, [&] {
        if (!selector || !index) throw Failure(USAGE, "no selector");
        std::string name = selector;
        Selector sel;
        if (name.compare(0, 7, "serial=") == 0)
            sel.serial = name.substr(7);
        else if (name.compare(0, 4, "usb=") == 0)
            sel.usb_path = name.substr(4);
        else
            sel.device = name;
        if ((!sel.serial.empty() || name == "serial=") && sel.serial.empty())
            throw Failure(USAGE, "serial= names no serial number");
        if (name == "usb=") throw Failure(USAGE, "usb= names no USB path");
        if (sel.device.empty() && sel.serial.empty() && sel.usb_path.empty())
            throw Failure(USAGE, "name the camera: N, /dev/videoN, a /dev/v4l link, serial=S or usb=P");
        *index = resolve_device(sel);
        return json{{"index", *index}, {"node", "/dev/video" + std::to_string(*index)},
                    {"usb", node_identity_json(node_identity(*index))}};
    });
}

}

// Camera profiles as data: chip, mask ROM, unit, pins, flash. Tests sweep
// them; the launcher picks one by name.
#include <cstring>

#include "images.h"

namespace vcam {
namespace {

struct ProfileRow {
    const char* name;
    uint8_t chip_id;
    int arch;
    uint8_t unit_id;
    uint16_t rom_addr;
    uint8_t rom_string[8];
    int flash_type;
    int wp_gpio;
    bool wp_release_high;
    // The flash starts write-protected and its WP# input is strapped to a
    // GPIO other than the one the firmware's configuration byte names, so
    // no release can lift the protection.
    bool locked = false;
};

// The first row is the embedded default camera.
const ProfileRow kRows[] = {
    {"default", 0x15, 0, 3, 0xBFF8, {'2', '1', '5', 'R', '0', 0x01, 0x00, 0x00}, 1, 2, true},
    {"unit4", 0x15, 0, 4, 0xBFF8, {'2', '1', '5', 'R', '0', 0x01, 0x00, 0x00}, 1, 2, true},
    {"second-arch", 0x85, 1, 3, 0xBFF8, {'2', '5', '6', 'R', '0', 0x01, 0x00, 0x01}, 1, 7, true},
    // One camera per chip and ROM revision of the firmware-version layouts.
    {"chip-16", 0x16, 0, 3, 0xDFF8, {'2', '1', '6', 'R', '0', 0x01, 0x00, 0x01}, 1, 2, true},
    {"chip-25", 0x25, 0, 3, 0x9FF8, {'2', '2', '5', 'R', '0', 0x03, 0x00, 0x00}, 1, 2, true},
    {"chip-32-r1", 0x32, 0, 3, 0xC7F8, {'2', '3', '2', 'R', '0', 0x01, 0x20, 0x05}, 1, 2, true},
    {"chip-32-r2", 0x32, 0, 3, 0xC7F8, {'2', '3', '2', 'R', '0', 0x02, 0x50, 0x07}, 1, 2, true},
    {"chip-32-r3", 0x32, 0, 3, 0xC7F8, {'2', '3', '2', 'R', '0', 0x03, 0x50, 0x07}, 1, 2, true},
    {"chip-56", 0x56, 0, 3, 0xBFF8, {'2', '5', '6', 'R', '0', 0x01, 0x00, 0x01}, 1, 2, true},
    {"chip-67", 0x67, 0, 3, 0xAFF8, {'2', '6', '7', 'R', '0', 0x01, 0x46, 0x32}, 1, 2, true},
    {"chip-70", 0x70, 0, 3, 0xBFF8, {'2', '7', '0', 'R', '0', 0x01, 0x43, 0x22}, 1, 2, true},
    {"chip-71", 0x71, 0, 3, 0xBFF8, {'2', '7', '1', 'R', '0', 0x01, 0x43, 0x22}, 1, 2, true},
    {"chip-75", 0x75, 0, 3, 0xBFF8, {'2', '7', '5', 'R', '0', 0x01, 0x30, 0x05}, 1, 2, true},
    {"chip-76", 0x76, 0, 3, 0xBFF8, {'2', '7', '6', 'R', '0', 0x01, 0x40, 0x06}, 1, 2, true},
    {"chip-83", 0x83, 0, 3, 0xAFF8, {'2', '8', '3', 'R', '0', 0x01, 0x46, 0x24}, 1, 2, true},
    {"chip-86", 0x86, 1, 3, 0xAFF8, {'2', '8', '6', 'R', '0', 0x01, 0x46, 0x36}, 1, 7, true},
    {"chip-90", 0x90, 0, 3, 0xBFF8, {'2', '9', '0', 'R', '0', 0x01, 0x60, 0x07}, 1, 2, true},
    {"chip-92", 0x92, 0, 3, 0x9FF8, {'2', '9', '2', 'R', '0', 0x01, 0x61, 0x08}, 1, 2, true},
    // A camera of another make: a video node whose driver knows no
    // extension unit 3 or 4, so every query is refused.
    {"webcam", 0x15, 0, 0, 0xBFF8, {'2', '1', '5', 'R', '0', 0x01, 0x00, 0x00}, 1, 2, true},
    // The default camera with a flash that cannot be unprotected.
    {"locked", 0x15, 0, 3, 0xBFF8, {'2', '1', '5', 'R', '0', 0x01, 0x00, 0x00}, 1, 2, true, true},
};

Profile from_row(const ProfileRow& r) {
    Profile p;
    p.name = r.name;
    p.chip_id = r.chip_id;
    p.arch = r.arch;
    p.unit_id = r.unit_id;
    p.rom_string_addr = r.rom_addr;
    std::memcpy(p.rom_string, r.rom_string, 8);
    p.flash_type = r.flash_type;
    p.wp_gpio = r.wp_gpio;
    p.wp_release_high = r.wp_release_high;
    build_factory_image(p);
    if (r.locked) {
        p.start_protected = true;
        p.wp_gpio = (r.wp_gpio + 3) & 7;  // wired elsewhere than the config byte says
    }
    return p;
}

}  // namespace

std::vector<std::string> profile_names() {
    std::vector<std::string> names;
    for (const auto& r : kRows) names.push_back(r.name);
    return names;
}

bool find_profile(const std::string& name, Profile* out) {
    for (const auto& r : kRows)
        if (name == r.name) {
            *out = from_row(r);
            return true;
        }
    return false;
}

Profile default_profile() { return from_row(kRows[0]); }

}  // namespace vcam

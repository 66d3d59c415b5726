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
};

// The first row is the embedded default camera.
const ProfileRow kRows[] = {
    {"default", 0x15, 0, 3, 0xBFF8, {'2', '1', '5', 'R', '0', 0x01, 0x00, 0x00}, 1, 2, true},
    {"unit4", 0x15, 0, 4, 0xBFF8, {'2', '1', '5', 'R', '0', 0x01, 0x00, 0x00}, 1, 2, true},
    {"second-arch", 0x85, 1, 3, 0xBFF8, {'2', '5', '6', 'R', '0', 0x01, 0x00, 0x01}, 1, 7, true},
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

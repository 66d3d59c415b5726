// Selector 4: the firmware's window on the controller's 64 KiB mask ROM.
// SET_CUR {addr lo, addr hi, count, 0...} fetches count bytes (1 to 8) from
// the address upwards; the next GET_CUR returns them from byte 3 on. The ROM
// holds the revision string of the profile at its address and reads 0
// elsewhere, apart from any extra contents the profile places.
#include <cerrno>
#include <cstring>

#include "../parts.h"

namespace vcam {
namespace {

struct MaskRom : Part {
    std::vector<uint8_t> rom = std::vector<uint8_t>(0x10000, 0);
    uint8_t reply[11] = {};
    bool fetched = false;  // a GET_CUR needs a request before it
};

void place(std::vector<uint8_t>& rom, uint16_t addr, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) rom[(addr + i) & 0xFFFF] = bytes[i];
}

}  // namespace

void install_mask_rom(Camera& cam) {
    auto* m = cam.add_part<MaskRom>();
    const Profile& p = cam.profile();
    for (const auto& kv : p.rom_bytes) place(m->rom, kv.first, kv.second.data(), kv.second.size());
    place(m->rom, p.rom_string_addr, p.rom_string, sizeof p.rom_string);
    XuControl c;
    c.size = 11;
    c.set = [m](const uint8_t* d) {
        unsigned count = d[2];
        if (count == 0 || count > 8) return EPIPE;  // firmware stalls
        uint16_t addr = static_cast<uint16_t>(d[0] | (d[1] << 8));
        std::memset(m->reply, 0, sizeof m->reply);
        std::memcpy(m->reply, d, 3);
        for (unsigned i = 0; i < count; ++i) m->reply[3 + i] = m->rom[(addr + i) & 0xFFFF];
        m->fetched = true;
        return 0;
    };
    c.get = [m](uint8_t* d) {
        if (!m->fetched) return EPIPE;
        std::memcpy(d, m->reply, sizeof m->reply);
        return 0;
    };
    cam.add_control(4, c);
}

}  // namespace vcam

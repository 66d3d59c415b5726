// Selector 3: the firmware's flash-data path. SET_CUR {addr lo, addr hi,
// control, data[8]} with control = read (bit 7) | bank (bits 5-4) | length
// (bits 3-0, 1 to 8). A read request latches the bytes the next GET_CUR
// returns from byte 3 on; a write programs them at once. The firmware
// programs through the same chip as the SPI master, so protection holds
// here too: a refused program silently changes nothing.
#include <cerrno>
#include <cstring>

#include "../parts.h"

namespace vcam {
namespace {

struct FlashDataPath : Part {
    uint8_t reply[11] = {};
};

uint32_t flash_address(const uint8_t* d) {
    uint32_t bank = (d[2] >> 4) & 0x3;
    return bank * 0x10000u + static_cast<uint32_t>(d[0] | (d[1] << 8));
}

}  // namespace

void install_flash_data(Camera& cam) {
    auto* path = cam.add_part<FlashDataPath>();
    XuControl c;
    c.size = 11;
    c.set = [&cam, path](const uint8_t* d) {
        unsigned len = d[2] & 0x0F;
        if ((d[2] & 0x40) || len == 0 || len > 8) return EPIPE;  // firmware stalls
        uint32_t addr = flash_address(d);
        std::vector<uint8_t>& flash = cam.flash();
        FlashChip* chip = cam.part<FlashChip>();
        if (d[2] & 0x80) {
            std::memset(path->reply, 0, sizeof path->reply);
            std::memcpy(path->reply, d, 3);
            for (unsigned i = 0; i < len; ++i) {
                uint32_t a = (addr + i) % kFlashSize;
                if (chip)
                    chip->read(a, &path->reply[3 + i], 1);
                else
                    path->reply[3 + i] = flash[a];
            }
            return 0;
        }
        for (unsigned i = 0; i < len; ++i) {
            uint32_t a = (addr + i) % kFlashSize;
            if (chip)
                chip->program(a, &d[3 + i], 1);
            else
                flash[a] &= d[3 + i];
        }
        return 0;
    };
    c.get = [path](uint8_t* d) {
        std::memcpy(d, path->reply, sizeof path->reply);
        return 0;
    };
    cam.add_control(3, c);
}

}  // namespace vcam

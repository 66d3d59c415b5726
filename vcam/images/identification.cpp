#include "identification.h"

#include <algorithm>

#include "../vcam.h"

namespace vcam {

void write_identification(std::vector<uint8_t>& flash, int location, const std::string& tag,
                          const std::string& number) {
    if (location != 1 && location != 2) return;
    if (flash.size() < kFlashSize) flash.resize(kFlashSize, 0xFF);
    // Eleven characters; the ones around tag and number are fixed text.
    std::string chars = location == 1 ? std::string("OG000000A01") : std::string("SNOF000000R");
    size_t tag_at = location == 1 ? 0 : 2;
    for (size_t i = 0; i < 2; ++i) chars[tag_at + i] = i < tag.size() ? tag[i] : '\0';
    for (size_t i = 0; i < 6; ++i) chars[tag_at + 2 + i] = i < number.size() ? number[i] : '\0';
    uint8_t* block = &flash[kIdBlockAddr[location]];
    block[0] = static_cast<uint8_t>(kIdBlockSize);
    block[1] = 0x03;  // string descriptor
    for (size_t i = 0; i < chars.size(); ++i) {
        block[2 + 2 * i] = static_cast<uint8_t>(chars[i]);
        block[3 + 2 * i] = 0x00;
    }
}

void clear_identification(std::vector<uint8_t>& flash, int location) {
    if (location != 1 && location != 2) return;
    if (flash.size() < kFlashSize) flash.resize(kFlashSize, 0xFF);
    std::fill_n(flash.begin() + kIdBlockAddr[location], kIdBlockSize, 0xFF);
}

void clear_identification(std::vector<uint8_t>& flash) {
    clear_identification(flash, 1);
    clear_identification(flash, 2);
}

}  // namespace vcam

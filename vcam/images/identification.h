// The sensor's identification block in a camera's flash: 24 bytes laid out
// like a USB string descriptor (length, type 3, then UTF-16LE characters),
// so its characters sit in the even-numbered bytes from byte 2 on.
//
// Location 1 (0x190C0): characters "OG" + six number characters + three
// more. Location 2 (0x3FA00, firmwares that moved it): two characters, then
// "OF" + six number characters + one more.
#ifndef ORVEX_VCAM_IMAGES_IDENTIFICATION_H
#define ORVEX_VCAM_IMAGES_IDENTIFICATION_H

#include <cstdint>
#include <string>
#include <vector>

namespace vcam {

constexpr uint32_t kIdBlockAddr[3] = {0, 0x190C0, 0x3FA00};  // by location 1, 2
constexpr size_t kIdBlockSize = 24;

// Writes a block at location 1 or 2 of a flash image (Profile::flash or
// Camera::flash()) with the given tag characters (two bytes, any value)
// and number characters (six bytes, any value: "000123", "12ab34", ...).
// Shorter strings are padded with NUL bytes.
void write_identification(std::vector<uint8_t>& flash, int location, const std::string& tag,
                          const std::string& number);
// Erases the block at location 1 or 2 (all 0xFF, as never programmed).
void clear_identification(std::vector<uint8_t>& flash, int location);
// Erases both blocks: the store then leaves the camera alone.
void clear_identification(std::vector<uint8_t>& flash);

}  // namespace vcam

#endif

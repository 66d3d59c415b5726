// A shipped camera's calibration: the identification block at its first
// location and all four calibration records, in the store's flash layout
// (little-endian 32-bit values; each record at the start of its sector).
#include <cstring>

#include "../images.h"
#include "identification.h"

namespace vcam {
namespace {

void put32(std::vector<uint8_t>& flash, uint32_t addr, uint32_t v) {
    for (int i = 0; i < 4; ++i) flash[addr + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_int(std::vector<uint8_t>& flash, uint32_t addr, int32_t v) {
    put32(flash, addr, static_cast<uint32_t>(v));
}
void put_float(std::vector<uint8_t>& flash, uint32_t addr, float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    put32(flash, addr, v);
}

// Marker grid of a 640 x 480 calibration target view.
void write_marker_record(std::vector<uint8_t>& flash) {
    const uint32_t at = 0x30000;
    const int32_t ints_before[4] = {32, 24, 36, 36};  // x0, y0, dx, dy
    for (int i = 0; i < 4; ++i) put_int(flash, at + 4 * i, ints_before[i]);
    put_float(flash, at + 0x10, 0.0125f);  // theta
    // ncol, nrow, width, height, lower_threshold, min_area
    const int32_t ints_after[6] = {16, 12, 640, 480, 48, 20};
    for (int i = 0; i < 6; ++i) put_int(flash, at + 0x14 + 4 * i, ints_after[i]);
}

void write_extra_params(std::vector<uint8_t>& flash) {
    const float params[5] = {1.25f, -0.5f, 3.0f, 0.002f, 42.0f};
    for (int i = 0; i < 5; ++i) put_float(flash, 0x31000 + 4 * i, params[i]);
}

void write_sensor_type(std::vector<uint8_t>& flash) {
    const char type[] = "stereo-nir-640x480";
    std::memcpy(&flash[0x32000], type, sizeof type);  // with its NUL
}

// 5 x 4 base points spread over a 640 x 480 image, with a slight barrel
// bend toward the edges.
void write_rectify_record(std::vector<uint8_t>& flash) {
    const uint32_t at = 0x34000;
    const int rows = 5, cols = 4;
    put_float(flash, at + 0x00, 0.0031f);   // rotation
    put_float(flash, at + 0x04, -2.375f);   // translation x
    put_float(flash, at + 0x08, 1.125f);    // translation y
    put_float(flash, at + 0x0C, 1.0042f);   // scale
    const int32_t padding[4] = {8, 8, 6, 6};
    for (int i = 0; i < 4; ++i) put_int(flash, at + 0x10 + 4 * i, padding[i]);
    put_int(flash, at + 0x20, rows);
    put_int(flash, at + 0x24, cols);
    uint32_t grid = at + 0x28;
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) {
            int dx = 2 * j - (cols - 1);  // -3, -1, 1, 3
            int dy = i - (rows - 1) / 2;  // -2 .. 2
            int x = 80 + 160 * j - dx * dy * dy / 2;
            int y = 48 + 96 * i - dy * dx * dx / 4;
            put_int(flash, grid, x);
            put_int(flash, grid + 4, y);
            grid += 8;
        }
}

}  // namespace

void write_calibration(Profile& p) {
    if (p.flash.size() < kFlashSize) p.flash.resize(kFlashSize, 0xFF);
    write_identification(p.flash, 1, "OG", "000123");
    write_marker_record(p.flash);
    write_extra_params(p.flash);
    write_sensor_type(p.flash);
    write_rectify_record(p.flash);
}

}  // namespace vcam

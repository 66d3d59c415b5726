// Fixture and helpers of the calibration-store tests: a fresh default
// camera at /dev/video0 (identified, carrying the factory calibration),
// the store's debug switch off, and a decoder for the flash-data traffic.
#ifndef ORVEX_STORE_TEST_H
#define ORVEX_STORE_TEST_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "OrvexConfig.h"
#include "images/identification.h"
#include "orvex_test.h"

namespace store_test {

// One flash-data transfer as the firmware saw it.
struct Transfer {
    bool read;
    uint32_t addr;
    unsigned len;
    bool operator==(const Transfer& o) const {
        return read == o.read && addr == o.addr && len == o.len;
    }
};
std::ostream& operator<<(std::ostream& os, const Transfer& t);

// Flash-data requests (SET_CUR on selector 3) in the trace, in order.
std::vector<Transfer> transfers();
std::vector<Transfer> reads();
std::vector<Transfer> writes();

// Reads of the identification blocks (24 bytes each, 8 + 8 + 8).
std::vector<Transfer> id_block_reads(int location);

inline uint32_t get32(const std::vector<uint8_t>& flash, uint32_t addr) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{flash[addr + i]} << (8 * i);
    return v;
}
inline void put32(std::vector<uint8_t>& flash, uint32_t addr, uint32_t v) {
    for (int i = 0; i < 4; ++i) flash[addr + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline float as_float(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}
inline uint32_t bits_of(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return v;
}
inline void erase(std::vector<uint8_t>& flash, uint32_t addr, size_t len) {
    std::memset(&flash[addr], 0xFF, len);
}

constexpr uint32_t kMarker = 0x30000, kExtra = 0x31000, kSensor = 0x32000, kRectify = 0x34000;
constexpr uint32_t kSector = 0x1000;

class StoreTest : public orvex_test::CameraTest {
protected:
    void SetUp() override;
    void TearDown() override;
    std::vector<uint8_t>& flash() { return cam().flash(); }
    // Nothing left open on the camera, by the library or the process.
    void expect_closed();
};

}  // namespace store_test

#endif

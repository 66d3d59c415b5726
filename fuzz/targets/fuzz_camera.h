// Shared pieces of the fuzz targets: reading the input as a stream of
// choices, and a fresh library and virtual camera for every input.
#ifndef ORVEX_FUZZ_CAMERA_H
#define ORVEX_FUZZ_CAMERA_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vcam.h"

namespace fuzz {

// The input as a stream of choices; past its end every value is 0.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return u16() | (static_cast<uint32_t>(u16()) << 16); }
    bool flag() { return (u8() & 1) != 0; }
    // Up to n bytes, fewer when the input ends first.
    std::vector<uint8_t> take(size_t n);
    size_t left() const { return size_ - at_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Closes a camera the previous input left open and puts the library's
// globals back to their load-time values, so that every input runs alone
// and a crash reproduces from its input file.
void reset_library();

// Attaches a camera at /dev/video0 built from the profile, after
// reset_library() and vcam::reset().
vcam::Camera& fresh_camera(const vcam::Profile& p);

// Library output goes nowhere: the store and the transport print freely.
void silence_stdout();

}  // namespace fuzz

#endif

// Internal: hex formatting, CRC-32 and local files.
#ifndef ORVEX_FACTORY_TEXT_H
#define ORVEX_FACTORY_TEXT_H

#include "core.h"

namespace orvex_factory {

std::string hex(uint64_t v, int digits);           // "0x" and upper-case digits
std::string hex_bytes(const uint8_t* p, size_t n);  // "c2 20 13"
std::string to_hex(const Bytes& b);                 // "c22013"
// Lower-case hex digits back to bytes; false on an odd or bad digit.
bool from_hex(const std::string& s, Bytes* out);
uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0);
// Throws FILE_ERROR naming the file and the reason.
Bytes read_file(const std::string& path);
// Replaces path atomically (temporary file, fsync, rename), following a
// symbolic link to its target; a device, FIFO or socket is written in place.
void write_file(const std::string& path, const std::string& data);
// Creates path with text unless it exists (then false): never replaces,
// and no half-written file is ever visible under its name.
bool write_file_exclusive(const std::string& path, const std::string& text);
// UTC now, to the microsecond: "2026-12-08T08:15:02.123456Z", and the
// compact form file names use, "20261208T081502.123456Z".
std::string utc_now_iso();
std::string utc_now_compact();

}  // namespace orvex_factory

#endif

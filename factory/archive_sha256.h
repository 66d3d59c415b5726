// Internal: SHA-256 (FIPS 180-4), the digest the archive keys images and
// calibrations by: an image's name says little, its digest says which.
#ifndef ORVEX_FACTORY_ARCHIVE_SHA256_H
#define ORVEX_FACTORY_ARCHIVE_SHA256_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvex_factory {

// The digest of [data, data+len) as 64 lowercase hex digits.
std::string sha256_hex(const void* data, size_t len);

}  // namespace orvex_factory

#endif

// Internal: flash reads, the one read-back verification every writer uses
// (burns, restores, region writes, flash verify), and the region rewrite.
#ifndef ORVEX_FACTORY_FLASH_IO_H
#define ORVEX_FACTORY_FLASH_IO_H

#include "OrvexTac.h"
#include "internal/store_layout.h"
#include "session.h"

namespace orvex_factory {

// The flash's erase unit: the 4 KiB sector.
constexpr long kSector = orvex_store::kSectorSize;

// Reads [addr, addr+len) of the open camera; throws USAGE outside the
// flash, TRANSFER on a failed read. With phase, reports progress under it;
// a cancellable read stops between pieces when the session is cancelled.
Bytes flash_read(Session& s, long addr, long len, const char* phase = nullptr, bool cancellable = false);

// What a read-back found: the first differing address (-1: none) with the
// byte expected there and the byte found, and how many bytes differ (every
// byte compared only when counting all).
struct Difference {
    long address = -1;
    int expected = -1, found = -1;
    long count = 0;
    long bytes_compared = 0;
    bool none() const { return address < 0; }
};

enum class Check {
    full,       // every byte
    sampled,    // one 8-byte chunk per KiB: misses most single-byte faults
    count_all,  // every byte, counting every difference
};

// Reads [addr, addr+len) back and compares it with expected. Stops at the
// first difference unless counting all.
Difference verify_flash(Session& s, long addr, const uint8_t* expected, long len, Check check,
                        const char* phase = nullptr, bool cancellable = false);

// Throws for a difference: TRANSFER naming the write protection when the
// status register shows the flash refused the write, else VERIFY with
// what: "<what> at 0x.....: wrote 0x.., read back 0x..".
void throw_difference(const Difference& d, const std::string& what);

// Rewrites [addr, addr+len) unit by unit (read, merge, sector rewrite),
// skipping units that already hold the data, then (with verify) reads
// every written unit back.
struct RewriteResult {
    int units_written = 0;
    int units_unchanged = 0;
    long unit = 0;
};
RewriteResult flash_rewrite(Session& s, long addr, const Bytes& data, SERIAL_FLASH_TYPE sft, bool verify,
                            const char* phase = nullptr);

// What a sector rewrite erases on this flash type; throws REFUSED for a
// type whose sector erase clears nothing.
long erase_unit(SERIAL_FLASH_TYPE t);

}  // namespace orvex_factory

#endif

// Flash reads, read-back verification and region rewrites.
#include "flash_io.h"

#include <algorithm>

#include "SFData/flash_family.h"
#include "internal/burn_layout.h"
#include "spi.h"
#include "text.h"

namespace orvex_factory {

namespace {
constexpr long kPiece = 0x1000;

void check_range(long addr, long len) {
    if (addr < 0 || len < 0 || addr + len > orvex_burn::kFlashSize)
        throw Failure(USAGE, "flash range " + hex(addr, 5) + "+" + std::to_string(len) +
                                 " lies outside the 256 KiB flash");
}
}  // namespace

Bytes flash_read(Session& s, long addr, long len, const char* phase, bool cancellable) {
    check_range(addr, len);
    Bytes data(static_cast<size_t>(len), 0xFF);
    if (phase) progress(s, phase, 0, len);
    for (long off = 0; off < len; off += kPiece) {
        if (cancellable) check_cancel(s);
        long n = std::min(kPiece, len - off);
        if (OrvexTac_SerialFlashRead(addr + off, data.data() + off, n) != 1)
            throw Failure(TRANSFER, "flash read at " + hex(addr + off, 5) + " failed");
        if (phase) progress(s, phase, off + n, len);
    }
    return data;
}

Difference verify_flash(Session& s, long addr, const uint8_t* expected, long len, Check check, const char* phase,
                        bool cancellable) {
    check_range(addr, len);
    Difference d;
    if (phase) progress(s, phase, 0, len);
    Bytes got(static_cast<size_t>(kPiece));
    const long stride = check == Check::sampled ? orvex_burn::kSampleStride : orvex_burn::kChunk;
    for (long off = 0; off < len; off += kPiece) {
        if (cancellable) check_cancel(s);
        const long n = std::min(kPiece, len - off);
        if (check == Check::sampled) {
            for (long a = off; a < off + n; a += stride) {
                long m = std::min(orvex_burn::kChunk, len - a);
                if (OrvexTac_SerialFlashRead(addr + a, got.data(), m) != 1)
                    throw Failure(TRANSFER, "reading back at " + hex(addr + a, 5) + " failed");
                for (long i = 0; i < m; ++i)
                    if (got[static_cast<size_t>(i)] != expected[a + i]) {
                        d.address = addr + a + i;
                        d.expected = expected[a + i];
                        d.found = got[static_cast<size_t>(i)];
                        d.count = 1;
                        return d;
                    }
                d.bytes_compared += m;
            }
        } else {
            if (OrvexTac_SerialFlashRead(addr + off, got.data(), n) != 1)
                throw Failure(TRANSFER, "reading back at " + hex(addr + off, 5) + " failed");
            for (long i = 0; i < n; ++i) {
                if (got[static_cast<size_t>(i)] == expected[off + i]) continue;
                if (d.address < 0) {
                    d.address = addr + off + i;
                    d.expected = expected[off + i];
                    d.found = got[static_cast<size_t>(i)];
                }
                ++d.count;
                if (check != Check::count_all) {
                    d.bytes_compared += i + 1;
                    return d;
                }
            }
            d.bytes_compared += n;
        }
        // A read-back that found a difference has failed: its phase never
        // reports its end.
        if (phase && (off + n < len || d.none())) progress(s, phase, off + n, len);
    }
    return d;
}

void throw_difference(const Difference& d, const std::string& what) {
    if (d.none()) return;
    // Tell a flash that refused the write from one that took it wrongly:
    // protection bits still set mean nothing was changed.
    std::string why = protection_note();
    if (!why.empty())
        throw Failure(TRANSFER, "the flash refused the write at " + hex(d.address, 5) + ": " + why, d.address);
    throw Failure(VERIFY, what + " at " + hex(d.address, 5) + ": wrote " + hex(d.expected, 2) + ", read back " +
                              hex(d.found, 2),
                  d.address);
}

long erase_unit(SERIAL_FLASH_TYPE t) {
    long unit = orvex::sector_erase_size(t);
    if (unit <= 0)
        throw Failure(REFUSED, std::string("the library's sector erase clears nothing on a ") + flash_type_name(t) +
                                   " flash (" + orvex::flash_family(t).quirk + "); refusing to write");
    return unit;
}

RewriteResult flash_rewrite(Session& s, long addr, const Bytes& data, SERIAL_FLASH_TYPE sft, bool verify,
                            const char* phase) {
    RewriteResult r;
    long len = static_cast<long>(data.size());
    check_range(addr, len);
    r.unit = erase_unit(sft);
    if (len == 0) return r;
    const long unit = r.unit;
    long first = addr / unit * unit;
    long end = (addr + len + unit - 1) / unit * unit;
    long total = (end - first) * (verify ? 2 : 1);
    long done = 0;
    if (phase) progress(s, phase, 0, total);
    std::vector<std::pair<long, Bytes>> written;
    for (long u = first; u < end; u += unit) {
        Bytes cur = flash_read(s, u, unit);
        Bytes want = cur;
        for (long a = std::max(u, addr); a < std::min(u + unit, addr + len); ++a)
            want[static_cast<size_t>(a - u)] = data[static_cast<size_t>(a - addr)];
        if (want == cur) {
            ++r.units_unchanged;
        } else {
            // The erase leaves 0xFF; trailing erased bytes need no program.
            long n = unit;
            while (n > 0 && want[static_cast<size_t>(n - 1)] == 0xFF) --n;
            if (OrvexTac_SerialFlashSectorWrite(u, want.data(), n, sft) != 1) {
                // A protection the release could not lift fails the rewrite
                // before its erase: say so rather than "failed".
                std::string why = protection_note();
                if (!why.empty()) throw Failure(TRANSFER, "the flash refused the write at " + hex(u, 5) + ": " + why, u);
                throw Failure(TRANSFER, "sector rewrite at " + hex(u, 5) + " failed");
            }
            ++r.units_written;
            written.emplace_back(u, std::move(want));
        }
        done += unit;
        if (phase) progress(s, phase, done, total);
    }
    if (!verify) {
        if (phase && done < total) progress(s, phase, total, total);
        return r;
    }
    for (const auto& w : written) {
        throw_difference(verify_flash(s, w.first, w.second.data(), unit, Check::full), "verification failed");
        done += unit;
        if (phase) progress(s, phase, done, total);
    }
    if (phase && done < total) progress(s, phase, total, total);
    return r;
}

}  // namespace orvex_factory

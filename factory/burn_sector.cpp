// Sector-wise burn. The library's burner erases the whole chip; this one
// erases only the 4 KiB sectors the image reaches, leaving the calibration
// records and the identification blocks where they are, and waits on the
// flash's busy bit instead of a fixed second after each erase.
#include "burn_sector.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "SFData/flash_family.h"
#include "flash_io.h"
#include "internal/burn_layout.h"
#include "internal/flash_unlock.h"
#include "internal/sf_bytes.h"
#include "internal/store_layout.h"
#include "spi.h"
#include "text.h"

namespace orvex_factory {

namespace {

using namespace orvex_burn;

// What a burn keeps: the calibration records and the sectors of both
// identification blocks.
struct KeptRange {
    long from, to;  // [from, to), sector-aligned
};
constexpr KeptRange kKept[] = {
    {orvex_store::kIdFirstSector, orvex_store::kIdFirstSector + kSector},
    {orvex_store::kCalibStart, orvex_store::kCalibEnd},
    {orvex_store::kIdSecondSector, orvex_store::kIdSecondSector + kSector},
};

// No supported part erases a 4 KiB sector in less than about 20 ms; each
// status poll costs eleven queries, so polling starts only after that.
constexpr useconds_t kShortestSectorEraseUs = 20000;
// The erase's own check: one 8-byte chunk per KiB of each erased sector.
constexpr long kEraseSampleStride = 1024;

bool all_erased(const BYTE* p, long n) {
    return std::all_of(p, p + n, [](BYTE b) { return b == 0xFF; });
}

uint64_t steady_us() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

class Burn {
public:
    Burn(Session& s, const unsigned char* image, long len, const SectorBurnOptions& o) : s_(s), o_(o) {
        padded_ = (len + kChunk - 1) / kChunk * kChunk;
        want_.assign(static_cast<size_t>(padded_), 0xFF);
        std::memcpy(want_.data(), image, static_cast<size_t>(len));
        for (long a = 0; a < padded_; a += kSector)
            if (!is_kept_sector(a)) sectors_.push_back(a);
    }

    SectorBurnResult run() {
        if (prepare() && erase() && program() && verify()) r_.outcome = SectorBurnOutcome::ok;
        return r_;
    }

private:
    // ------------------------------------------------------------ phases

    bool prepare() {
        begin(BurnPhase::prepare, 1);
        BYTE chip = 0;
        DSP_ARCH_TYPE arch = DAT_UNKNOW;
        if (call(OV_GetChipRomType(&chip, &arch)) == DRT_Unknow)
            return fail(SectorBurnOutcome::unidentified, "the chip's ROM type could not be read");
        if (chip == orvex_unlock::kChipNeedsUnlock &&
            !call(OV_WriteToASIC(orvex_unlock::kUnlockReg, orvex_unlock::kUnlockValue)))
            return fail(SectorBurnOutcome::transfer_failed, "the flash unlock key could not be written");
        // The release skips the status register on some ROMs and reports
        // success there; reading it ourselves covers those and gives the
        // byte to report.
        call(OV_DisableSerialFlashWriteProtect(o_.sft));
        BYTE status = 0;
        if (!call(read_status_register(&status)))
            return fail(SectorBurnOutcome::transfer_failed, "the flash status register could not be read");
        r_.status_register = status;
        if (status & orvex_sf::kStatusBlockProtect) {
            char buf[160];
            std::snprintf(buf, sizeof buf,
                          "the flash stays write-protected after the release (status register 0x%02X%s)", status,
                          (status & orvex_sf::kStatusRegisterProtect) ? ", status-register protect set: WP# pin" : "");
            return fail(SectorBurnOutcome::still_protected, buf);
        }
        for (const KeptRange& k : kKept)
            for (long a = k.from; a < k.to && a < padded_; a += kSector)
                if (!all_erased(&want_[static_cast<size_t>(a)], std::min(kSector, padded_ - a)))
                    r_.kept_sectors_with_image_data.push_back(a);
        end(1);
        return true;
    }

    bool erase() {
        begin(BurnPhase::erase, static_cast<long>(sectors_.size()) * kSector);
        for (long a : sectors_) {
            r_.erase_started = true;
            if (!call(OV_EraseSectorForSerialFlash(a, o_.sft)))
                return fail_at(SectorBurnOutcome::transfer_failed, "the erase command for sector", a);
            usleep(kShortestSectorEraseUs);
            // The status poll needs the SPI master in host mode, which the
            // erase call has left.
            if (!call(OV_WriteToASIC(sfModeAddr, 1)) || !call(OV_SFCMDreadStatus()) ||
                !call(OV_WriteToASIC(sfModeAddr, 0)))
                return fail_at(SectorBurnOutcome::transfer_failed, "waiting for the erase of sector", a);
            // A few chunks of each sector read back, so that a sector the
            // flash cannot erase any more is the erase's failure, named
            // there, not a difference the read-back finds later.
            for (long off = 0; off < kSector; off += kEraseSampleStride) {
                BYTE got[kChunk];
                if (!call(OrvexTac_SerialFlashRead(a + off, got, kChunk)))
                    return fail_at(SectorBurnOutcome::transfer_failed, "reading the erased sector", a + off);
                for (long i = 0; i < kChunk; ++i)
                    if (got[i] != 0xFF) {
                        char buf[128];
                        std::snprintf(buf, sizeof buf, "the erase of sector 0x%05lX failed: 0x%05lX reads 0x%02X after it",
                                      a, a + off + i, got[i]);
                        r_.failed_addr = a + off + i;
                        return fail(SectorBurnOutcome::not_erased, buf);
                    }
            }
            r_.erased_sectors.push_back(a);
            step(static_cast<long>(r_.erased_sectors.size()) * kSector);
        }
        end(static_cast<long>(sectors_.size()) * kSector);
        return true;
    }

    bool program() {
        long total = written_bytes();
        begin(BurnPhase::program, total);
        BYTE deferred[kChunk];
        std::memcpy(deferred, &want_[kDeferredAddr], kChunk);
        std::memset(&want_[kDeferredAddr], 0xFF, kDeferredLen);
        long done = 0;
        for (long a : sectors_) {
            long end_addr = std::min(a + kSector, padded_);
            for (long c = a; c < end_addr; c += kChunk) {
                BYTE* chunk = &want_[static_cast<size_t>(c)];
                if (all_erased(chunk, kChunk)) {
                    ++r_.chunks_skipped;
                    continue;
                }
                if (!call(OrvexTac_SerialFlashWrite(c, chunk, kChunk)))
                    return fail_at(SectorBurnOutcome::transfer_failed, "programming", c);
                ++r_.chunks_programmed;
            }
            done += end_addr - a;
            step(done);
        }
        std::memcpy(&want_[kDeferredAddr], deferred, kChunk);
        if (!call(OrvexTac_SerialFlashWrite(kDeferredAddr, deferred, kChunk)))
            return fail_at(SectorBurnOutcome::transfer_failed, "programming", kDeferredAddr);
        ++r_.chunks_programmed;
        end(total);
        return true;
    }

    bool verify() {
        long total = written_bytes();
        begin(BurnPhase::verify, total);
        const Check check = o_.full_verify ? Check::full : Check::sampled;
        long done = 0;
        for (long a : sectors_) {
            long n = std::min(a + kSector, padded_) - a;
            Difference d;
            try {
                // Everything is written by now: the read-back may stop.
                d = verify_flash(s_, a, &want_[static_cast<size_t>(a)], n, check, nullptr, true);
            } catch (const Failure& f) {
                if (f.status == CANCELLED) return fail(SectorBurnOutcome::cancelled, f.what());
                r_.err = f.err;
                r_.failed_addr = f.address;
                return fail(SectorBurnOutcome::transfer_failed, f.what());
            }
            cost().calls += o_.full_verify ? 1 : (n + kSampleStride - 1) / kSampleStride;
            r_.bytes_verified += d.bytes_compared;
            if (!d.none()) {
                r_.mismatch_addr = d.address;
                r_.expected = d.expected;
                r_.found = d.found;
                char buf[96];
                std::snprintf(buf, sizeof buf, "read-back differs at 0x%05lX: 0x%02X, expected 0x%02X", d.address,
                              d.found, d.expected);
                return fail(SectorBurnOutcome::mismatch, buf);
            }
            done += n;
            step(done);
        }
        end(total);
        return true;
    }

    // ------------------------------------------------------------ helpers

    long written_bytes() const {
        long n = 0;
        for (long a : sectors_) n += std::min(a + kSector, padded_) - a;
        return n;
    }

    template <class T> T call(T result) {
        ++cost().calls;
        return result;
    }

    PhaseCost& cost() { return r_.phases[static_cast<int>(phase_)]; }
    uint64_t clock() const { return o_.clock_us ? o_.clock_us() : steady_us(); }
    uint64_t queries() const { return o_.query_count ? o_.query_count() : 0; }

    void begin(BurnPhase p, long total) {
        phase_ = p;
        total_ = total;
        t0_ = clock();
        q0_ = queries();
        step(0);
    }
    void step(long done) {
        if (o_.progress) o_.progress(phase_, done, total_);
    }
    void close_phase() {
        cost().time_us = clock() - t0_;
        cost().queries = queries() - q0_;
    }
    void end(long done) {
        step(done);
        close_phase();
    }
    bool fail(SectorBurnOutcome outcome, const std::string& message) {
        // Before anything else can touch errno: the failed query's.
        if (outcome == SectorBurnOutcome::transfer_failed && r_.err == 0) r_.err = errno;
        close_phase();
        r_.outcome = outcome;
        r_.message = message;
        return false;
    }
    bool fail_at(SectorBurnOutcome outcome, const char* what, long addr) {
        r_.err = errno;
        r_.failed_addr = addr;
        char buf[96];
        std::snprintf(buf, sizeof buf, "%s at 0x%05lX failed", what, addr);
        return fail(outcome, buf);
    }

    Session& s_;
    const SectorBurnOptions& o_;
    long padded_;
    std::vector<BYTE> want_;     // the image padded with 0xFF to whole chunks
    std::vector<long> sectors_;  // covered sectors that are not kept
    SectorBurnResult r_;
    BurnPhase phase_ = BurnPhase::prepare;
    long total_ = 0;
    uint64_t t0_ = 0, q0_ = 0;
};

}  // namespace

const char* burn_phase_name(BurnPhase phase) {
    switch (phase) {
    case BurnPhase::prepare: return "prepare";
    case BurnPhase::erase: return "erase";
    case BurnPhase::program: return "program";
    case BurnPhase::verify: return "verify";
    }
    return "?";
}

const char* sector_burn_outcome_name(SectorBurnOutcome outcome) {
    switch (outcome) {
    case SectorBurnOutcome::ok: return "ok";
    case SectorBurnOutcome::bad_image: return "bad-image";
    case SectorBurnOutcome::no_camera: return "no-camera";
    case SectorBurnOutcome::unsupported_flash: return "unsupported-flash";
    case SectorBurnOutcome::unidentified: return "unidentified";
    case SectorBurnOutcome::still_protected: return "still-protected";
    case SectorBurnOutcome::transfer_failed: return "transfer-failed";
    case SectorBurnOutcome::not_erased: return "not-erased";
    case SectorBurnOutcome::cancelled: return "cancelled";
    case SectorBurnOutcome::mismatch: return "mismatch";
    }
    return "?";
}

bool sector_burn_supports(SERIAL_FLASH_TYPE sft) { return orvex::sector_erase_size(sft) == kSector; }

bool is_kept_sector(long addr) {
    for (const KeptRange& k : kKept)
        if (addr >= k.from && addr < k.to) return true;
    return false;
}

SectorBurnResult sector_burn(Session& s, const unsigned char* image, long len, const SectorBurnOptions& options) {
    SectorBurnResult r;
    if (image == nullptr || len < kMinImageLen || len > kMaxImageLen) {
        r.outcome = SectorBurnOutcome::bad_image;
        r.message = "the image must hold " + hex(kMinImageLen, 3) + " to " + hex(kMaxImageLen, 5) + " bytes";
        return r;
    }
    if (!sector_burn_supports(options.sft)) {
        r.outcome = SectorBurnOutcome::unsupported_flash;
        r.message = "this flash type's sector erase does not clear one 4 KiB sector; a sector-wise burn would "
                    "erase more than the image covers";
        return r;
    }
    if (!camera_init) {
        r.outcome = SectorBurnOutcome::no_camera;
        r.message = "no camera is open";
        return r;
    }
    return Burn(s, image, len, options).run();
}

}  // namespace orvex_factory

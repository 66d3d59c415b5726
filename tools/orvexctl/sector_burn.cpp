// Sector-wise burn. The library's burner erases the whole chip; this one
// erases only the 4 KiB sectors the image reaches, leaving the calibration
// records and the identification blocks where they are, and waits on the
// flash's busy bit instead of a fixed second after each erase.
#include "sector_burn.h"

#include "internal/flash_unlock.h"
#include "internal/sf_bytes.h"
#include "internal/store_layout.h"
#include "spi_master.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace orvexctl {

namespace {

constexpr long kSector = orvex_store::kSectorSize;
constexpr long kChunk = 8;  // one flash-data transfer

// The held-back bytes and the transfer that carries them, as the library's
// burner has them: 0x160-0x163 stay erased until everything else is in.
constexpr long kDeferredAddr = 0x160;
constexpr long kDeferredLen = 4;
constexpr long kMinImageLen = kDeferredAddr + kChunk;
// The flash-data path reaches 256 KiB; longer would fold onto bank 3.
constexpr long kMaxImageLen = 0x40000;

constexpr long kSampleStride = 1024;

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

// Flash types on which the library's sector erase clears 4 KiB (0x20, or
// 0xD7 on PMC parts). The ST parts get 0xD8, a 64 KiB erase that would take
// the calibration with it; the Atmel families have other sector sizes.
constexpr SERIAL_FLASH_TYPE kFourKiBSectorTypes[] = {
    SFT_MXIC, SFT_MXIC_LIKE, SFT_SST, SFT_WINBOND, SFT_PMC, SFT_AMIC,
    SFT_EON,  SFT_ESMT,      SFT_GIGA, SFT_FENTECH,
};

using namespace orvex_unlock;

// No supported part erases a 4 KiB sector in less than about 20 ms; each
// status poll costs eleven queries, so polling starts only after that.
constexpr useconds_t kShortestSectorEraseUs = 20000;

constexpr BYTE kBlockProtectBits = orvex_sf::kStatusBlockProtect;

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
    Burn(const unsigned char* image, long len, const SectorBurnOptions& o) : o_(o) {
        padded_ = (len + kChunk - 1) / kChunk * kChunk;
        want_.assign(static_cast<size_t>(padded_), 0xFF);
        std::memcpy(want_.data(), image, static_cast<size_t>(len));
        for (long s = 0; s < padded_; s += kSector)
            if (!is_kept_sector(s)) sectors_.push_back(s);
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
        if (chip == kChipNeedsUnlock && !call(OV_WriteToASIC(kUnlockReg, kUnlockValue)))
            return fail(SectorBurnOutcome::transfer_failed, "the flash unlock key could not be written");
        // The release skips the status register on some ROMs and reports
        // success there; reading it ourselves covers those and gives the
        // byte to report.
        call(OV_DisableSerialFlashWriteProtect(o_.sft));
        BYTE status = 0;
        if (!call(read_flash_status(&status)))
            return fail(SectorBurnOutcome::transfer_failed, "the flash status register could not be read");
        r_.status_register = status;
        if (status & kBlockProtectBits) {
            char buf[160];
            std::snprintf(buf, sizeof buf,
                          "the flash stays write-protected after the release (status register 0x%02X%s)",
                          status, (status & orvex_sf::kStatusRegisterProtect) ? ", status-register protect set: WP# pin" : "");
            return fail(SectorBurnOutcome::still_protected, buf);
        }
        for (const KeptRange& k : kKept)
            for (long s = k.from; s < k.to && s < padded_; s += kSector)
                if (!all_erased(&want_[static_cast<size_t>(s)], std::min(kSector, padded_ - s)))
                    r_.kept_sectors_with_image_data.push_back(s);
        end(1);
        return true;
    }

    bool erase() {
        begin(BurnPhase::erase, static_cast<long>(sectors_.size()) * kSector);
        for (long s : sectors_) {
            if (!call(OV_EraseSectorForSerialFlash(s, o_.sft)))
                return fail_at(SectorBurnOutcome::transfer_failed, "the erase command for sector", s);
            usleep(kShortestSectorEraseUs);
            // The status poll needs the SPI master in host mode, which the
            // erase call has left.
            if (!call(OV_WriteToASIC(sfModeAddr, 1)) || !call(OV_SFCMDreadStatus()) ||
                !call(OV_WriteToASIC(sfModeAddr, 0)))
                return fail_at(SectorBurnOutcome::transfer_failed, "waiting for the erase of sector", s);
            r_.erased_sectors.push_back(s);
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
        for (long s : sectors_) {
            long end_addr = std::min(s + kSector, padded_);
            for (long a = s; a < end_addr; a += kChunk) {
                BYTE* chunk = &want_[static_cast<size_t>(a)];
                if (all_erased(chunk, kChunk)) {
                    ++r_.chunks_skipped;
                    continue;
                }
                if (!call(OrvexTac_SerialFlashWrite(a, chunk, kChunk)))
                    return fail_at(SectorBurnOutcome::transfer_failed, "programming", a);
                ++r_.chunks_programmed;
            }
            done += end_addr - s;
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
        std::vector<BYTE> got(kSector);
        long done = 0;
        for (long s : sectors_) {
            long n = std::min(s + kSector, padded_) - s;
            if (o_.full_verify) {
                if (!call(OrvexTac_SerialFlashRead(s, got.data(), n)))
                    return fail_at(SectorBurnOutcome::transfer_failed, "reading back", s);
                if (!compare(s, got.data(), n)) return false;
                r_.bytes_verified += n;
            } else {
                for (long a = s; a < s + n; a += kSampleStride) {
                    if (!call(OrvexTac_SerialFlashRead(a, got.data(), kChunk)))
                        return fail_at(SectorBurnOutcome::transfer_failed, "reading back", a);
                    if (!compare(a, got.data(), kChunk)) return false;
                    r_.bytes_verified += kChunk;
                }
            }
            done += n;
            step(done);
        }
        end(total);
        return true;
    }

    // ------------------------------------------------------------ helpers

    bool compare(long addr, const BYTE* got, long n) {
        const BYTE* want = &want_[static_cast<size_t>(addr)];
        for (long i = 0; i < n; ++i) {
            if (got[i] == want[i]) continue;
            r_.mismatch_addr = addr + i;
            r_.expected = want[i];
            r_.found = got[i];
            char buf[96];
            std::snprintf(buf, sizeof buf, "read-back differs at 0x%05lX: 0x%02X, expected 0x%02X",
                          addr + i, got[i], want[i]);
            return fail(SectorBurnOutcome::mismatch, buf);
        }
        return true;
    }

    long written_bytes() const {
        long n = 0;
        for (long s : sectors_) n += std::min(s + kSector, padded_) - s;
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
        close_phase();
        r_.outcome = outcome;
        r_.message = message;
        return false;
    }
    bool fail_at(SectorBurnOutcome outcome, const char* what, long addr) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "%s at 0x%05lX failed", what, addr);
        return fail(outcome, buf);
    }

    const SectorBurnOptions& o_;
    long padded_;
    std::vector<BYTE> want_;   // the image padded with 0xFF to whole chunks
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
    case SectorBurnOutcome::mismatch: return "mismatch";
    }
    return "?";
}

bool sector_burn_supports(SERIAL_FLASH_TYPE sft) {
    return std::find(std::begin(kFourKiBSectorTypes), std::end(kFourKiBSectorTypes), sft) !=
           std::end(kFourKiBSectorTypes);
}

bool is_kept_sector(long addr) {
    for (const KeptRange& k : kKept)
        if (addr >= k.from && addr < k.to) return true;
    return false;
}

SectorBurnResult sector_burn(const unsigned char* image, long len, const SectorBurnOptions& options) {
    SectorBurnResult r;
    if (image == nullptr || len < kMinImageLen || len > kMaxImageLen) {
        r.outcome = SectorBurnOutcome::bad_image;
        r.message = "the image must hold 0x168 to 0x40000 bytes";
        return r;
    }
    if (!sector_burn_supports(options.sft)) {
        r.outcome = SectorBurnOutcome::unsupported_flash;
        r.message = "this flash type has no 4 KiB sector erase; a sector-wise burn would erase "
                    "more than the image covers";
        return r;
    }
    if (!camera_init) {
        r.outcome = SectorBurnOutcome::no_camera;
        r.message = "no camera is open";
        return r;
    }
    return Burn(image, len, options).run();
}

}  // namespace orvexctl

// SPI NOR chip: commands are clocked in while chip select is low and a
// write-type command executes when chip select rises, as on real parts.
// While a write cycle runs only the status read is answered. Program only
// clears bits; erase sets an aligned block to 0xFF; both, and status
// writes, need the write-enable latch, which every one of them clears.
#include <algorithm>

#include "../serial_flash.h"

namespace vcam {
namespace {

constexpr uint8_t kRead = 0x03, kFastRead = 0x0B, kReadStatus = 0x05, kWriteStatus = 0x01,
                  kWriteEnable = 0x06, kWriteDisable = 0x04, kEnableStatusWrite = 0x50,
                  kReadId = 0x9F;

// Worn cells (Faults): sectors of this size that an erase leaves as they
// were, and bits that stay 1 when programmed.
constexpr uint32_t kWearSector = 0x1000;

void erase_cells(Camera& cam, uint32_t base, uint32_t size) {
    const std::vector<uint32_t>& worn = cam.faults().unerasable_sectors;
    for (uint32_t s = base; s < base + size; s += kWearSector) {
        bool stuck = std::any_of(worn.begin(), worn.end(), [s](uint32_t a) {
            return ((a % kFlashSize) & ~(kWearSector - 1)) == s;
        });
        if (!stuck) std::fill_n(cam.flash().begin() + s, kWearSector, 0xFF);
    }
}

void program_cell(Camera& cam, uint32_t addr, uint8_t value) {
    const auto& stuck = cam.faults().stuck_bits;
    auto it = stuck.empty() ? stuck.end() : stuck.find(addr);
    if (it != stuck.end()) value |= it->second;
    cam.flash()[addr] &= value;
}

}  // namespace

NorFlash::NorFlash(Camera& cam, const FlashFamily& family, bool start_protected)
    : cam_(cam), family_(family) {
    if (start_protected) status_ = static_cast<uint8_t>(family.protect.bp_mask | sr::SRP);
}

void NorFlash::settle() {
    if ((status_ & sr::WIP) && now_us() >= busy_until_)
        status_ &= static_cast<uint8_t>(~(sr::WIP | sr::WEL));
}

bool NorFlash::busy() {
    settle();
    return (status_ & sr::WIP) != 0;
}

uint8_t NorFlash::status() {
    settle();
    return status_;
}

void NorFlash::start_cycle(uint32_t us) {
    if (us == 0) {
        status_ &= static_cast<uint8_t>(~sr::WEL);
        return;
    }
    status_ |= sr::WIP;  // WEL stays set until the cycle ends
    busy_until_ = now_us() + us;
}

// Block protection as the family lays it out (flash_families.cpp).
bool NorFlash::protects(uint32_t addr, uint32_t len) const {
    if (len == 0) return false;
    uint32_t from, to;
    protected_range(family_.protect, status_, &from, &to);
    return addr < to && addr + len > from;
}

uint32_t NorFlash::address(const std::vector<uint8_t>& f) const {
    return (static_cast<uint32_t>(f[1]) << 16 | static_cast<uint32_t>(f[2]) << 8 | f[3]) %
           static_cast<uint32_t>(kFlashSize);
}

void NorFlash::select() {
    if (selected_) return;
    selected_ = true;
    frame_.clear();
}

void NorFlash::deselect() {
    if (!selected_) return;
    selected_ = false;
    if (frame_.empty()) return;
    Outcome o = execute(frame_);
    commands_.push_back({frame_, o});
    frame_.clear();
}

uint8_t NorFlash::exchange(uint8_t mosi) {
    if (!selected_) return 0xFF;
    size_t index = frame_.size();
    frame_.push_back(mosi);
    if (index == 0) return 0xFF;
    uint8_t op = frame_[0];
    if (op == kReadStatus) return status();
    if (busy()) return 0xFF;  // a busy chip answers nothing else
    if (op == kReadId && index <= 3) return jedec_id[index - 1];
    if (op == kRead && index >= 4)
        return cam_.flash()[(address(frame_) + (index - 4)) % kFlashSize];
    if (op == kFastRead && index >= 5)
        return cam_.flash()[(address(frame_) + (index - 5)) % kFlashSize];
    return 0xFF;
}

NorFlash::Outcome NorFlash::execute(const std::vector<uint8_t>& f) {
    uint8_t op = f[0];
    bool ewsr = ewsr_latched_;
    ewsr_latched_ = false;
    if (op == kReadStatus) return DONE;
    if (busy()) return BUSY;
    if (op == kRead || op == kFastRead || op == kReadId) return DONE;
    if (op == kWriteEnable || op == kWriteDisable) {
        if (f.size() != 1) return BAD_LENGTH;
        if (op == kWriteEnable)
            status_ |= sr::WEL;
        else
            status_ &= static_cast<uint8_t>(~sr::WEL);
        return DONE;
    }
    if (op == kEnableStatusWrite && family_.ewsr) {
        if (f.size() != 1) return BAD_LENGTH;
        ewsr_latched_ = true;
        return DONE;
    }
    if (op == kWriteStatus) {
        if (f.size() != 2) return BAD_LENGTH;
        if (!(status_ & sr::WEL) && !ewsr) return NO_WEL;
        if ((status_ & sr::SRP) && wp_asserted && wp_asserted()) {
            status_ &= static_cast<uint8_t>(~sr::WEL);
            return HW_PROTECTED;
        }
        const BlockProtect& bp = family_.protect;
        uint8_t writable = static_cast<uint8_t>(bp.bp_mask | bp.tb_bit | bp.sec_bit | sr::SRP);
        status_ = static_cast<uint8_t>((status_ & ~writable) | (f[1] & writable));
        start_cycle(family_.status_write_us);
        return DONE;
    }
    for (const EraseOp& e : family_.erases) {
        if (op != e.opcode) continue;
        if (f.size() != 4) return BAD_LENGTH;
        if (!(status_ & sr::WEL)) return NO_WEL;
        uint32_t base = address(f) & ~(e.size - 1);
        if (protects(base, e.size)) {
            status_ &= static_cast<uint8_t>(~sr::WEL);
            return PROTECTED;
        }
        erase_cells(cam_, base, e.size);
        start_cycle(e.time_us);
        return DONE;
    }
    if (std::find(family_.chip_erase.begin(), family_.chip_erase.end(), op) !=
        family_.chip_erase.end()) {
        if (f.size() != 1) return BAD_LENGTH;
        if (!(status_ & sr::WEL)) return NO_WEL;
        if (protects(0, static_cast<uint32_t>(kFlashSize))) {
            status_ &= static_cast<uint8_t>(~sr::WEL);
            return PROTECTED;
        }
        erase_cells(cam_, 0, static_cast<uint32_t>(kFlashSize));
        start_cycle(family_.chip_erase_us);
        return DONE;
    }
    if (op == family_.program_opcode) {
        if (f.size() < 5) return BAD_LENGTH;
        if (!(status_ & sr::WEL)) return NO_WEL;
        uint32_t addr = address(f);
        uint32_t page = addr & ~(family_.page_size - 1);
        if (protects(page, family_.page_size)) {
            status_ &= static_cast<uint8_t>(~sr::WEL);
            return PROTECTED;
        }
        for (size_t i = 4; i < f.size(); ++i) {
            uint32_t a = page + (addr - page + static_cast<uint32_t>(i - 4)) % family_.page_size;
            program_cell(cam_, a, f[i]);
        }
        start_cycle(family_.program_us);
        return DONE;
    }
    return UNKNOWN;
}

void NorFlash::read(uint32_t addr, uint8_t* out, size_t n) {
    bool idle = !busy();
    for (size_t i = 0; i < n; ++i) out[i] = idle ? cam_.flash()[(addr + i) % kFlashSize] : 0xFF;
}

// The firmware sends its own write enable and program: a busy chip ignores
// both; otherwise the program, taken or refused for protection, leaves the
// latch clear, as it does on the SPI side.
bool NorFlash::program(uint32_t addr, const uint8_t* data, size_t n) {
    if (busy()) return false;
    bool refused = protects(addr % kFlashSize, static_cast<uint32_t>(n));
    if (!refused)
        for (size_t i = 0; i < n; ++i)
            program_cell(cam_, static_cast<uint32_t>((addr + i) % kFlashSize), data[i]);
    status_ &= static_cast<uint8_t>(~sr::WEL);
    return !refused;
}

}  // namespace vcam

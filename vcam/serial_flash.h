// The camera's serial flash as the virtual camera models it: a small SPI
// NOR part behind the ASIC's serial-flash master. Tests reach the chip
// through Camera::part<NorFlash>() to set it up and to see what it was told.
#ifndef ORVEX_VCAM_SERIAL_FLASH_H
#define ORVEX_VCAM_SERIAL_FLASH_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "parts.h"

namespace vcam {

// One erase granularity of a part.
struct EraseOp {
    uint8_t opcode;    // 0 ends the list
    uint32_t size;     // bytes, a power of two; the erase is aligned to it
    uint32_t time_us;  // typical erase time
};

// One part of a family: the SERIAL_FLASH_TYPE it stands for and what its
// read-identification command (0x9F) answers: manufacturer, then two
// device bytes.
struct FlashPart {
    int type;
    uint8_t jedec[3];
};

// How the block-protect bits map to a protected range. The BP bits give a
// level; level 1 protects one unit at the top of the array (or the bottom,
// with TB set), each further level doubles it, and a level whose range
// would reach the whole array, or the highest level, protects all of it.
// With SEC set the unit is a 4 KiB sector instead of a 64 KiB block, and
// the range stops growing at 32 KiB (the all-ones level still protects
// everything).
struct BlockProtect {
    uint8_t bp_mask;            // block-protect bits of the status register
    uint8_t tb_bit;             // top/bottom bit, 0 when the part has none
    uint8_t sec_bit;            // sector/block bit, 0 when the part has none
};

// A flash family as data: what it understands and how long it takes.
// Opcodes a family does not list are unknown to it.
struct FlashFamily {
    const char* name;
    std::vector<FlashPart> parts;  // the parts fitted, one per SERIAL_FLASH_TYPE
    std::vector<EraseOp> erases;
    std::vector<uint8_t> chip_erase;  // opcodes of a whole-chip erase
    uint32_t chip_erase_us;
    uint8_t program_opcode;
    uint32_t page_size;         // a program wraps within one page
    uint32_t program_us;        // one program command
    uint32_t status_write_us;   // 0: the status register latches at once
    bool ewsr;                  // 0x50 enables the next status write
    BlockProtect protect;
};

// The family fitted for a SERIAL_FLASH_TYPE; types without a family of
// their own get the common command set of current small parts.
const FlashFamily& flash_family(int type);
// The part of that type (JEDEC id all 0xFF for a type no part stands for).
FlashPart flash_part(int type);
// The range [*from, *to) the status register's protection bits cover.
void protected_range(const BlockProtect& bp, uint8_t status, uint32_t* from, uint32_t* to);
const std::vector<FlashFamily>& flash_families();

namespace sr {
constexpr uint8_t WIP = 0x01;  // write in progress (busy)
constexpr uint8_t WEL = 0x02;  // write-enable latch
constexpr uint8_t SRP = 0x80;  // status-register protect (SRWD / BPL)
}  // namespace sr

class NorFlash : public FlashChip {
public:
    enum Outcome {
        DONE,          // executed (reads: answered)
        BUSY,          // ignored: a write cycle was running
        NO_WEL,        // ignored: write enable missing
        PROTECTED,     // refused: the range is block-protected
        HW_PROTECTED,  // status write refused: SRP set and WP# asserted
        UNKNOWN,       // opcode the family does not have
        BAD_LENGTH,    // chip select rose off the command's byte count
    };
    struct Command {
        std::vector<uint8_t> bytes;  // what the chip clocked in, opcode first
        Outcome outcome;
    };

    NorFlash(Camera& cam, const FlashFamily& family, bool start_protected);

    // Bus side, driven by the SPI master.
    void select();                   // chip select falls: a frame starts
    void deselect();                 // chip select rises: the frame executes
    uint8_t exchange(uint8_t mosi);  // one byte in, one byte out
    bool selected() const { return selected_; }

    // FlashChip: the firmware's own flash-data path (it does its own write
    // enable and waits for the cycle, so no busy time is left behind).
    void read(uint32_t addr, uint8_t* out, size_t n) override;
    bool program(uint32_t addr, const uint8_t* data, size_t n) override;

    // Inspection and set-up.
    uint8_t status();                       // with WIP as of now
    void set_status(uint8_t value) { status_ = value; }
    bool busy();
    bool protects(uint32_t addr, uint32_t len) const;
    const FlashFamily& family() const { return family_; }
    const std::vector<Command>& commands() const { return commands_; }
    void clear_commands() { commands_.clear(); }
    // Whether the write-protect input holds the status register locked.
    std::function<bool()> wp_asserted;
    // What the read-identification command (0x9F) answers: manufacturer,
    // then two device bytes.
    uint8_t jedec_id[3] = {0xFF, 0xFF, 0xFF};

private:
    void settle();
    void start_cycle(uint32_t us);
    Outcome execute(const std::vector<uint8_t>& f);
    uint32_t address(const std::vector<uint8_t>& f) const;

    Camera& cam_;
    const FlashFamily& family_;
    uint8_t status_ = 0;
    uint64_t busy_until_ = 0;
    bool selected_ = false;
    bool ewsr_latched_ = false;
    std::vector<uint8_t> frame_;
    std::vector<Command> commands_;
};

// The ASIC's serial-flash master: host mode, chip select, data, trigger and
// ready registers at the addresses of the camera's architecture.
struct SpiMaster : Part {
    explicit SpiMaster(Camera& cam) : cam(cam) {}
    Camera& cam;
    NorFlash* chip = nullptr;
    ArchMap map{};
    uint8_t mode = 0;        // 1: the host drives the master
    uint8_t cs = 1;          // chip-select register, 0 selects
    long ignored_triggers = 0;  // triggers while the firmware owned the master
    // Writes to the write-data register and triggers that came while a byte
    // was still shifting; the master ignored them.
    long busy_collisions = 0;
    void update_select();
    void trigger(uint8_t value);
    void write_data(uint8_t value);
    // Whether the byte of the last trigger is still shifting. It takes one
    // and a half query times: the query after the trigger still finds the
    // master busy, the one after that finds it done (and so does any host
    // sleep of at least a microsecond or 1.5 query latencies).
    bool busy() const;
    uint8_t ready_register() const;

private:
    long trigger_query_ = -1;
    uint64_t trigger_us_ = 0;
};

}  // namespace vcam

#endif

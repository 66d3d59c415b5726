// The ASIC's serial-flash master and the NOR chip behind it. The host takes
// the master by writing 1 to the mode register; only then do its chip
// select and triggers reach the bus (in mode 0 the firmware owns the bus
// and chip select is high). Trigger 1 shifts out the write-data byte,
// trigger 2 shifts in one byte into the read-data register.
//
// A trigger clears the ready bit (bit 0) until the byte has shifted, which
// takes one and a half query times. A register read is answered when the
// host fetches it (the GET_CUR, the second query after the trigger), so a
// host that polls finds the byte done on its first look. A host that skips
// the poll writes the next byte while the master still shifts: the write
// and a trigger on a busy master are ignored, and the previous byte goes
// out again.
#include <algorithm>
#include <cstring>

#include "../serial_flash.h"

namespace vcam {

void SpiMaster::update_select() {
    bool low = mode == 1 && cs == 0;
    if (low && !chip->selected())
        chip->select();
    else if (!low && chip->selected())
        chip->deselect();
}

bool SpiMaster::busy() const {
    if (trigger_query_ < 0) return false;
    if (cam.query_count() >= trigger_query_ + 2) return false;
    // 1.5 query latencies, and never less than a microsecond, so that a
    // host that sleeps after the trigger always finds the byte done.
    uint64_t byte_us = std::max<uint64_t>(1, query_latency_us() * 3 / 2);
    return now_us() < trigger_us_ + byte_us;
}

// The register keeps what it holds; only bit 0 reads clear while a byte
// shifts.
uint8_t SpiMaster::ready_register() const {
    uint8_t v = cam.regs().raw(map.sf_ready);
    return busy() ? static_cast<uint8_t>(v & ~0x01) : v;
}

void SpiMaster::write_data(uint8_t value) {
    if (busy()) {
        ++busy_collisions;
        return;
    }
    cam.regs().raw(map.sf_write_data) = value;
}

void SpiMaster::trigger(uint8_t value) {
    if (mode != 1) {
        ++ignored_triggers;
        return;
    }
    if (busy()) {
        ++busy_collisions;
        return;
    }
    if (value == 1) {
        chip->exchange(cam.regs().raw(map.sf_write_data));
    } else if (value == 2) {
        cam.regs().raw(map.sf_read_data) = chip->exchange(0xFF);
    } else {
        ++ignored_triggers;
        return;
    }
    cam.regs().raw(map.sf_ready) |= 0x01;  // reads as set once the byte is done
    trigger_query_ = cam.query_count();
    trigger_us_ = now_us();
}

void install_serial_flash(Camera& cam) {
    const Profile& p = cam.profile();
    auto* chip = cam.add_part<NorFlash>(cam, flash_family(p.flash_type), p.start_protected);
    if (p.flash_jedec.size() == 3)
        std::copy(p.flash_jedec.begin(), p.flash_jedec.end(), chip->jedec_id);
    else
        std::memcpy(chip->jedec_id, flash_part(p.flash_type).jedec, 3);
    // The flash's WP# input hangs on a GPIO; the profile says which and at
    // which level the flash may be written.
    Gpio* gpio = cam.part<Gpio>();
    int pin = p.wp_gpio & 7;
    bool release_high = p.wp_release_high;
    chip->wp_asserted = [gpio, pin, release_high] {
        return gpio && gpio->pin_level(pin) != release_high;
    };

    auto* master = cam.add_part<SpiMaster>(cam);
    master->chip = chip;
    master->map = arch_map(p.arch);
    const ArchMap& m = master->map;
    RegisterSpace& regs = cam.regs();
    regs.raw(m.sf_ready) = 0x01;
    regs.raw(m.sf_cs) = 1;
    regs.map(m.sf_mode, nullptr, [master](uint16_t a, uint8_t v) {
        master->cam.regs().raw(a) = v;
        master->mode = v;
        master->update_select();
    });
    regs.map(m.sf_cs, nullptr, [master](uint16_t a, uint8_t v) {
        master->cam.regs().raw(a) = v;
        master->cs = v;
        master->update_select();
    });
    regs.map(m.sf_ready, [master](uint16_t) { return master->ready_register(); }, nullptr);
    regs.map(m.sf_write_data, nullptr, [master](uint16_t, uint8_t v) { master->write_data(v); });
    regs.map(m.sf_trigger, nullptr, [master](uint16_t a, uint8_t v) {
        master->cam.regs().raw(a) = v;
        master->trigger(v);
    });
}

}  // namespace vcam

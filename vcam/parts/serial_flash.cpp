// The ASIC's serial-flash master and the NOR chip behind it. The host takes
// the master by writing 1 to the mode register; only then do its chip
// select and triggers reach the bus (in mode 0 the firmware owns the bus
// and chip select is high). Trigger 1 shifts out the write-data byte,
// trigger 2 shifts in one byte into the read-data register; a byte takes
// far less than one register query, so the ready bit is set again by the
// time the host can look.
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

void SpiMaster::trigger(uint8_t value) {
    if (mode != 1) {
        ++ignored_triggers;
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
    cam.regs().raw(map.sf_ready) |= 0x01;
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
    regs.map(m.sf_trigger, nullptr, [master](uint16_t a, uint8_t v) {
        master->cam.regs().raw(a) = v;
        master->trigger(v);
    });
}

}  // namespace vcam

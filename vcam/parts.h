// Device parts of the virtual camera. Each installs itself into a camera:
// it claims registers of the ASIC's register space and controls of the
// extension unit. Register addresses follow the camera's architecture.
#ifndef ORVEX_VCAM_PARTS_H
#define ORVEX_VCAM_PARTS_H

#include "vcam.h"

namespace vcam {

// Register addresses of one architecture, as the chip lays them out.
struct ArchMap {
    uint16_t chip_id;
    uint16_t sf_ready, usb_reset;
    uint16_t gpio_input, gpio_output, gpio_oe;
    uint16_t sf_mode, sf_cs, sf_write_data, sf_read_data, sf_trigger;
    uint16_t i2c_dev, i2c_mode, i2c_trigger, i2c_scl_sel, i2c_slave_id, i2c_data;
};
const ArchMap& arch_map(int arch);

void install_register_port(Camera& cam);  // selector 1
void install_memtype(Camera& cam);        // selector 5
void install_chip_registers(Camera& cam); // chip id and fixed registers
void install_gpio(Camera& cam);
void install_mask_rom(Camera& cam);       // selector 4
void install_i2c_master(Camera& cam);
void install_serial_flash(Camera& cam);   // SPI master + NOR chip
void install_flash_data(Camera& cam);     // selector 3

// GPIO port as the pins see it: a pin whose output is enabled carries the
// output value, otherwise the level the board pulls it to.
struct Gpio : Part {
    explicit Gpio(Camera& cam) : cam(cam) {}
    bool pin_level(int pin) const;
    uint8_t input_value() const;
    Camera& cam;
    uint16_t output_addr = 0, oe_addr = 0;
};

// Image sensors on the ASIC's I2C bus, as the bus transactions leave them:
// register contents start from Profile::sensors and change with writes.
struct SensorBus : Part {
    struct Sensor {
        SensorProfile profile;    // slave id, address width, live registers
        uint16_t pointer = 0;     // register the next data byte goes to or comes from
    };
    std::vector<Sensor> sensors;
    Sensor* find(uint8_t slave_id);
    uint8_t reg(uint8_t slave_id, uint16_t addr);  // 0 when absent
};

// The serial-flash chip as the firmware's flash-data path uses it. The
// serial-flash part provides it; without one the path works on the plain
// flash array.
struct FlashChip : Part {
    virtual void read(uint32_t addr, uint8_t* out, size_t n) = 0;
    // Programs n bytes: each byte becomes old AND new, as NOR flash only
    // clears bits. Does nothing while the chip refuses (protected range,
    // busy). Returns whether it programmed.
    virtual bool program(uint32_t addr, const uint8_t* data, size_t n) = 0;
};

}  // namespace vcam

#endif

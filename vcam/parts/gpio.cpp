// GPIO port: input, output value and output enable, bit n for pin n. The
// input register reads the pin levels: a driven pin reads its output value,
// an undriven one the level the board pulls it to (Profile::gpio_input).
#include "../parts.h"

namespace vcam {

bool Gpio::pin_level(int pin) const {
    uint8_t oe = cam.regs().raw(oe_addr);
    uint8_t out = cam.regs().raw(output_addr);
    uint8_t bit = static_cast<uint8_t>(1u << pin);
    return (oe & bit) ? (out & bit) != 0 : (cam.profile().gpio_input & bit) != 0;
}

uint8_t Gpio::input_value() const {
    uint8_t v = 0;
    for (int pin = 0; pin < 8; ++pin)
        if (pin_level(pin)) v |= static_cast<uint8_t>(1u << pin);
    return v;
}

void install_gpio(Camera& cam) {
    const ArchMap& m = arch_map(cam.profile().arch);
    auto* gpio = cam.add_part<Gpio>(cam);
    gpio->output_addr = m.gpio_output;
    gpio->oe_addr = m.gpio_oe;
    cam.regs().map(m.gpio_input, [gpio](uint16_t) { return gpio->input_value(); }, nullptr);
    // The second architecture still answers for its GPIO port at the first
    // architecture's addresses 0x1005-0x1007, which fixed-address code uses.
    const ArchMap& first = arch_map(0);
    if (m.gpio_output != first.gpio_output) {
        RegisterSpace& regs = cam.regs();
        const uint16_t pairs[2][2] = {{first.gpio_output, m.gpio_output},
                                      {first.gpio_oe, m.gpio_oe}};
        for (const auto& pr : pairs) {
            uint16_t target = pr[1];
            regs.map(pr[0], [&regs, target](uint16_t) { return regs.read(target); },
                     [&regs, target](uint16_t, uint8_t v) { regs.write(target, v); });
        }
        regs.map(first.gpio_input, [gpio](uint16_t) { return gpio->input_value(); }, nullptr);
    }
}

}  // namespace vcam

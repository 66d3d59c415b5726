#include <cerrno>

#include "internal.h"
#include "parts.h"

namespace vcam {

Camera::Camera(int index, Profile profile) : index_(index), profile_(std::move(profile)) {
    flash_ = profile_.flash;
    flash_.resize(kFlashSize, 0xFF);
    install_register_port(*this);
    install_memtype(*this);
    install_chip_registers(*this);
    install_gpio(*this);
    install_mask_rom(*this);
    install_i2c_master(*this);
    install_serial_flash(*this);
    install_flash_data(*this);
}

Camera::~Camera() = default;

void Camera::unplug() {
    if (unplugged_) return;
    unplugged_ = true;
    persist(*this);
}

std::vector<uint8_t>& Camera::flash() { return flash_; }

void Camera::add_control(uint8_t selector, XuControl control) {
    controls_[selector] = std::move(control);
}

// One extension-unit request passes the driver's checks, then any fault
// injected, then reaches the firmware, as a control transfer would.
int Camera::query(uint8_t unit, uint8_t selector, uint8_t request, uint16_t size, uint8_t* data) {
    ++query_count_;
    advance_us(query_latency_us());
    if (unplugged_) return ENODEV;
    if (unplug_due()) {
        unplug();
        return ENODEV;
    }
    if (int err = driver_refusal(unit, selector, request, size)) return err;
    if (int err = injected_failure(unit, selector, request, size, data)) return err;
    if (!data && size) return EFAULT;
    return firmware_answer(selector, request, size, data);
}

}  // namespace vcam

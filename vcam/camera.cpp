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

int Camera::query(uint8_t unit, uint8_t selector, uint8_t request, uint16_t size, uint8_t* data) {
    ++query_count_;
    advance_us(query_latency_us());
    if (unplugged_) return ENODEV;
    if (faults_.unplug_after >= 0 && query_count_ > faults_.unplug_after) {
        unplug();
        return ENODEV;
    }
    // The driver refuses a unit that is not this camera's extension unit, and
    // a selector the unit does not have, before any USB traffic.
    if (unit != profile_.unit_id) return ENOENT;
    auto it = controls_.find(selector);
    if (it == controls_.end()) return ENOENT;
    XuControl& c = it->second;
    // The driver knows these request codes and refuses any other before it
    // compares sizes; GET_LEN and GET_INFO have sizes of their own.
    uint16_t expected = c.size;
    switch (request) {
    case REQ_GET_CUR: case REQ_SET_CUR: case REQ_GET_MIN: case REQ_GET_MAX:
    case REQ_GET_RES: case REQ_GET_DEF:
        break;
    case REQ_GET_LEN:
        expected = 2;
        break;
    case REQ_GET_INFO:
        expected = 1;
        break;
    default:
        return EINVAL;
    }
    if (size != expected) return ENOBUFS;
    if (faults_.fail_query_n > 0 && query_count_ == faults_.fail_query_n)
        return faults_.fail_query_errno;
    if (chance(faults_.random_fail_per_million)) return faults_.random_fail_errno;
    if (faults_.fail_if) {
        QueryRecord q;
        q.camera = index_;
        q.unit = unit;
        q.selector = selector;
        q.request = request;
        q.size = size;
        if (request == REQ_SET_CUR && data) q.sent.assign(data, data + size);
        if (faults_.fail_if(q)) return faults_.fail_if_errno;
    }
    if (!data && size) return EFAULT;
    switch (request) {
    case REQ_GET_CUR: {
        if (!c.get) return EBADRQC;
        int err = c.get(data);
        if (err == 0) apply_flips(request, size, data);
        return err;
    }
    case REQ_SET_CUR:
        return c.set ? c.set(data) : EBADRQC;
    case REQ_GET_LEN:
        data[0] = static_cast<uint8_t>(c.size & 0xFF);
        data[1] = static_cast<uint8_t>(c.size >> 8);
        return 0;
    case REQ_GET_INFO:
        data[0] = static_cast<uint8_t>((c.get ? 0x01 : 0) | (c.set ? 0x02 : 0));
        return 0;
    default:
        return EPIPE;  // the firmware keeps no minimum, maximum or default
    }
}

// splitmix64: small, fast and the same on every platform, so a seed names
// one fault pattern everywhere.
bool Camera::chance(uint32_t per_million) {
    if (per_million == 0) return false;
    if (rng_state_ == 0) rng_state_ = faults_.seed ? faults_.seed : 1;
    uint64_t z = (rng_state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return z % 1000000u < per_million;
}

void Camera::apply_flips(uint8_t request, uint16_t size, uint8_t* data) {
    if (request != REQ_GET_CUR || size == 0) return;
    if (faults_.flip_query_n > 0 && query_count_ == faults_.flip_query_n &&
        faults_.flip_byte < size)
        data[faults_.flip_byte] ^= faults_.flip_mask;
    if (chance(faults_.random_flip_per_million)) {
        // A second draw picks the bit, so the pattern follows the seed alone.
        uint64_t pick = rng_state_ * 0x2545F4914F6CDD1Dull >> 33;
        data[pick % size] ^= static_cast<uint8_t>(1u << (pick / size % 8));
    }
}

}  // namespace vcam

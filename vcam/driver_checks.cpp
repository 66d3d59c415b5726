// What the kernel's UVC driver refuses before any USB traffic: a unit that
// is not this camera's extension unit, a selector the unit does not have, a
// request code it does not know, and a size other than the control's.
#include <cerrno>

#include "vcam.h"

namespace vcam {

int Camera::driver_refusal(uint8_t unit, uint8_t selector, uint8_t request, uint16_t size) const {
    if (unit != profile_.unit_id) return ENOENT;
    auto it = controls_.find(selector);
    if (it == controls_.end()) return ENOENT;
    // The driver knows these request codes and refuses any other before it
    // compares sizes; GET_LEN and GET_INFO have sizes of their own.
    uint16_t expected = it->second.size;
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
    return size == expected ? 0 : ENOBUFS;
}

}  // namespace vcam

// The firmware's side of an extension-unit request that the driver let
// through: the control's handlers answer GET_CUR and SET_CUR, the firmware
// describes the control for GET_LEN and GET_INFO, and stalls the rest.
#include <cerrno>

#include "vcam.h"

namespace vcam {

int Camera::firmware_answer(uint8_t selector, uint8_t request, uint16_t size, uint8_t* data) {
    XuControl& c = controls_.at(selector);  // the driver's checks found it
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

}  // namespace vcam

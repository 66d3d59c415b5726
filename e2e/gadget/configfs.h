// The USB gadget the guest's own host side enumerates: one UVC function
// whose control interface carries the camera terminal (unit 1), the
// processing unit (2), the output terminal (3) and the firmware's extension
// unit (4), chained CT -> PU -> XU -> OT, plus the one uncompressed format
// and frame the function needs before it binds.
#ifndef ORVEX_E2E_CONFIGFS_H
#define ORVEX_E2E_CONFIGFS_H

#include <cstdint>
#include <string>

namespace gadget {

struct GadgetConfig {
    std::string configfs = "/sys/kernel/config/usb_gadget";
    std::string name = "orvex";
    std::string udc = "dummy_udc.0";
    uint16_t vendor = 0x1d6b;   // Linux Foundation
    uint16_t product = 0x0104;  // multifunction composite gadget
    uint8_t xu_controls = 0x1d; // selectors 1, 3, 4 and 5
    uint8_t xu_num_controls = 4;
};

// Builds the gadget in configfs and binds it to the UDC. On failure returns
// false with a message naming the path that could not be written.
bool build_gadget(const GadgetConfig& cfg, std::string* error);

// The V4L2 node of the gadget's UVC function (/dev/videoN): the
// video4linux device that sits below the UDC in sysfs. Empty if none.
std::string find_gadget_node(const std::string& udc);

}  // namespace gadget

#endif

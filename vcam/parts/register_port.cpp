// Selector 1: the firmware's window on the ASIC register space. A SET_CUR
// of {addr lo, addr hi, value, 0x00} writes a register; {addr lo, addr hi,
// -, 0xFF} starts a read that the next GET_CUR completes: the firmware reads
// the register when the host fetches the answer and returns it in byte 2.
// A further GET_CUR returns the same answer again.
#include <cerrno>
#include <cstring>

#include "../parts.h"

namespace vcam {
namespace {

struct RegisterPort : Part {
    uint8_t reply[4] = {0, 0, 0, 0};
    bool pending = false;  // a read was started and not yet answered
};

}  // namespace

void install_register_port(Camera& cam) {
    auto* port = cam.add_part<RegisterPort>();
    XuControl c;
    c.size = 4;
    c.set = [&cam, port](const uint8_t* d) {
        uint16_t addr = static_cast<uint16_t>(d[0] | (d[1] << 8));
        if (d[3] == 0x00) {
            cam.regs().write(addr, d[2]);
            return 0;
        }
        if (d[3] == 0xFF) {
            port->reply[0] = d[0];
            port->reply[1] = d[1];
            port->reply[3] = 0xFF;
            port->pending = true;
            return 0;
        }
        return EPIPE;  // the firmware stalls an unknown operation code
    };
    c.get = [&cam, port](uint8_t* d) {
        if (port->pending) {
            port->reply[2] = cam.regs().read(static_cast<uint16_t>(port->reply[0] | (port->reply[1] << 8)));
            port->pending = false;
        }
        std::memcpy(d, port->reply, 4);
        return 0;
    };
    cam.add_control(1, c);
}

}  // namespace vcam

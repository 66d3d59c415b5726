// Selector 5: the firmware's memory-type byte (byte 2 of an 11-byte reply).
#include <cstring>

#include "../parts.h"

namespace vcam {

void install_memtype(Camera& cam) {
    XuControl c;
    c.size = 11;
    c.get = [&cam](uint8_t* d) {
        std::memset(d, 0, 11);
        d[2] = cam.profile().mem_type;
        return 0;
    };
    cam.add_control(5, c);  // read only: SET_CUR is refused
}

}  // namespace vcam

#include "../images.h"

namespace vcam {

void build_factory_image(Profile& p) {
    p.flash.assign(kFlashSize, 0xFF);
    write_firmware_image(p);
    write_wp_config(p);
    write_calibration(p);
}

}  // namespace vcam

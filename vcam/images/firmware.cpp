#include "../images.h"

namespace vcam {

// Not built yet.
void write_firmware_image(Profile&) {}

}  // namespace vcam

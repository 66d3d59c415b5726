#include "../parts.h"

namespace vcam {

// Not modelled yet.
void install_serial_flash(Camera&) {}

}  // namespace vcam

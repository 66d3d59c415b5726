#include "../parts.h"

namespace vcam {

// Not modelled yet.
void install_i2c_master(Camera&) {}

}  // namespace vcam

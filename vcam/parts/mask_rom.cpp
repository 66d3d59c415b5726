#include "../parts.h"

namespace vcam {

// Not modelled yet.
void install_mask_rom(Camera&) {}

}  // namespace vcam

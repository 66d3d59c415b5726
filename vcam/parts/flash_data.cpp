#include "../parts.h"

namespace vcam {

// Not modelled yet.
void install_flash_data(Camera&) {}

}  // namespace vcam

#include "../images.h"

namespace vcam {

// Not built yet.
void write_wp_config(Profile&) {}

}  // namespace vcam

// Internal: checks of a firmware image against the camera it is meant for,
// made before anything is erased. Each check has a name and a flag the
// caller's force takes.
#ifndef ORVEX_FACTORY_IMAGE_CHECK_H
#define ORVEX_FACTORY_IMAGE_CHECK_H

#include "device.h"

namespace orvex_factory {

struct ImageCheck {
    const char* name;  // "length", "version-record", "id-block"
    unsigned flag;     // ORVEX_FACTORY_CHECK_*
    bool passed;
    std::string problem;
};

// Whether the chip's version fields move with the ROM revision (then the
// ROM must be identified before an image can be checked).
bool version_layout_needs_rom(BYTE chip);
// image is padded; original_len is the file's length.
std::vector<ImageCheck> check_image(const Bytes& image, long original_len, const Chip& chip, bool id_block_needed,
                                    bool recognised_after);

}  // namespace orvex_factory

#endif

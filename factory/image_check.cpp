// Image checks against the camera's chip: long enough for its version
// fields, a code version where the chip keeps it, and an identification
// block for the calibration store after the burn.
#include "image_check.h"

#include <algorithm>

#include "internal/burn_layout.h"
#include "internal/fw_layout.h"
#include "text.h"

namespace orvex_factory {

namespace {

bool printable(const uint8_t* p, long n) {
    bool any = false;
    for (long i = 0; i < n; ++i) {
        if (p[i] < 0x20 || p[i] > 0x7E) return false;
        any |= p[i] != ' ';
    }
    return any;
}
}  // namespace

bool version_layout_needs_rom(BYTE chip) {
    for (const auto& l : orvex_fw::kLayouts)
        if (l.chip == chip && l.cond != orvex_fw::ANY_ROM) return true;
    return false;
}

std::vector<ImageCheck> check_image(const Bytes& image, long original_len, const Chip& chip, bool id_block_needed,
                                    bool recognised_after) {
    std::vector<ImageCheck> out;
    const orvex_fw::Layout* l = layout_for(chip);
    long need = orvex_burn::kMinImageLen;
    if (l) need = std::max(need, orvex_fw::layout_end(*l));
    ImageCheck len{"length", ORVEX_FACTORY_CHECK_LENGTH, original_len >= need, ""};
    if (!len.passed)
        len.problem = "the image is " + std::to_string(original_len) + " bytes; chip " + hex(chip.chip_id, 2) +
                      "'s firmware needs at least " + std::to_string(need) + " (" + hex(need, 5) +
                      ") to hold its version fields";
    out.push_back(len);

    ImageCheck ver{"version-record", ORVEX_FACTORY_CHECK_VERSION_RECORD, true, ""};
    if (l) {
        long at = l->code;
        ver.passed = at + orvex_fw::kCodeLen <= static_cast<long>(image.size()) &&
                     printable(image.data() + at, orvex_fw::kCodeLen);
        if (!ver.passed)
            ver.problem = "no firmware code version at " + hex(at, 5) + ", where chip " + hex(chip.chip_id, 2) +
                          "'s firmware keeps it (an image for another chip, or not a firmware image)";
    }
    out.push_back(ver);

    ImageCheck idb{"id-block", ORVEX_FACTORY_CHECK_ID_BLOCK, !id_block_needed || recognised_after, ""};
    if (!idb.passed)
        idb.problem = "the image carries no valid identification block and the camera keeps none: the "
                      "calibration store would no longer recognise this camera";
    out.push_back(idb);
    return out;
}

}  // namespace orvex_factory

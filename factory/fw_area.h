// Internal: the firmware's version fields where the chip keeps them in
// the flash (base/internal/fw_layout.h), read from an image or from the
// camera, whether that area is intact, and the ordering of two versions
// that the burn's firmware-version rule uses.
#ifndef ORVEX_FACTORY_FW_AREA_H
#define ORVEX_FACTORY_FW_AREA_H

#include "device.h"
#include "internal/fw_layout.h"

namespace orvex_factory {

// The firmware layout the chip's mask ROM expects; NULL when unknown.
const orvex_fw::Layout* layout_for(const Chip& chip);

struct FirmwareArea {
    enum State {
        no_layout,  // the chip's firmware keeps no version fields we know of
        intact,     // a printable code version, and the other fields present
        blank,      // every version field erased (0xFF): an erase that was not followed by a burn
        damaged,    // some fields erased or not text: a burn that stopped half-way, or another chip's image
    } state = no_layout;
    std::string code, customer_version, customer, date;
    std::string text() const;  // "V1501 CV15.R01.A (2024-06-15)", or the state
};
const char* fw_state_name(FirmwareArea::State s);  // "intact", "blank", "damaged", "unknown"
json fw_area_json(const FirmwareArea& a);

// From an image (padded bytes from flash address 0).
FirmwareArea image_firmware(const Bytes& image, const Chip& chip);
// From the camera's flash (the open camera; a few small reads).
FirmwareArea camera_firmware(Session& s, const Chip& chip);
// <0, 0, >0: a older than, the same as, newer than b. Code version, then
// customer version, then date, each in natural order (digit runs compare
// as numbers: V1510 after V1502).
int compare_firmware(const FirmwareArea& a, const FirmwareArea& b);

}  // namespace orvex_factory

#endif

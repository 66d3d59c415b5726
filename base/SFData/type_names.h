// Internal: the name of each SERIAL_FLASH_TYPE (the enumerator without its
// SFT_ prefix), from the flash-family table. Shared by the library's tables
// and the front ends, which show the names and take them as arguments.
// Not installed.
#ifndef ORVEX_SF_TYPE_NAMES_H
#define ORVEX_SF_TYPE_NAMES_H

#include "flash_family.h"

namespace orvex {

constexpr int kFlashTypeCount = kFlashFamilyCount;

// The type's name, or "UNKNOWN" for a value outside the enum.
inline const char* flash_type_name(int type) { return flash_family(type).name; }

}  // namespace orvex

#endif

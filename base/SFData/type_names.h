// Internal: the name of each SERIAL_FLASH_TYPE, indexed by its value (the
// enum of SFData.h without its SFT_ prefix). Shared by the library's tables
// and by orvexctl, which shows the names and takes them on its command
// line. Not installed.
#ifndef ORVEX_SF_TYPE_NAMES_H
#define ORVEX_SF_TYPE_NAMES_H

#include "../SFData.h"

namespace orvex {

constexpr const char* kFlashTypeNames[] = {
    "UNKNOWN", "MXIC", "ST",  "SST", "ATMEL_AT25F", "ATMEL_AT25FS", "ATMEL_AT45DB", "WINBOND",
    "PMC",     "MXIC_LIKE", "AMIC", "EON", "ESMT", "GIGA", "FENTECH"};
constexpr int kFlashTypeCount = sizeof kFlashTypeNames / sizeof kFlashTypeNames[0];
static_assert(kFlashTypeCount == SFT_FENTECH + 1, "one name per SERIAL_FLASH_TYPE");

// The type's name, or "UNKNOWN" for a value outside the enum.
inline const char* flash_type_name(int type) {
    return type >= 0 && type < kFlashTypeCount ? kFlashTypeNames[type] : kFlashTypeNames[SFT_UNKNOW];
}

}  // namespace orvex

#endif

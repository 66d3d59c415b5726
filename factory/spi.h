// Internal: raw serial-flash frames through the ASIC's SPI master (after
// chip identification), the flash's JEDEC id and status register.
#ifndef ORVEX_FACTORY_SPI_H
#define ORVEX_FACTORY_SPI_H

#include "OrvexTac.h"
#include "core.h"
#include "text.h"

namespace orvex_factory {

// One command frame: select, send, receive, release, inside the master's
// command mode; the chip select and mode are released even after a failure.
bool spi_command(const BYTE* send, int n_send, BYTE* recv, int n_recv);

struct FlashId {
    BYTE id[3] = {};
    int row = -1;  // row of cbSFLib_ID, -1 when unknown
    SERIAL_FLASH_TYPE type = SFT_UNKNOW;
};
FlashId read_flash_id();  // throws TRANSFER when the SPI master fails
// False when a query failed.
bool read_status_register(BYTE* status);
// After a write the flash refused: "it is write-protected (status register
// 0x..)" when the status register still shows protection, else "".
std::string protection_note();

// A flash type by name ("MXIC", "sft_st", "mxic-like"); throws USAGE with
// the valid names.
SERIAL_FLASH_TYPE parse_flash_type(const std::string& name);
const char* flash_type_name(int type);

}  // namespace orvex_factory

#endif

// The ASIC's SPI master, which carries raw command frames to the serial
// flash. One copy for the tool and the sector-wise burn.
#ifndef ORVEXCTL_SPI_MASTER_H
#define ORVEXCTL_SPI_MASTER_H

#include "OrvexTac.h"

namespace orvexctl {

// One command frame: select, send, receive, release, inside the master's
// command mode. The chip select and mode are released even after a failure.
bool spi_command(const BYTE* send, int n_send, BYTE* recv, int n_recv);

// The flash's status register (command 0x05); false when a query failed.
bool read_flash_status(BYTE* status);

}  // namespace orvexctl

#endif

// Raw frames on the ASIC's SPI master, in the byte protocol of
// internal/sf_bytes.h.
#include "spi_master.h"

#include "internal/sf_bytes.h"

namespace orvexctl {

bool spi_command(const BYTE* send, int n_send, BYTE* recv, int n_recv) {
    return orvex_sf::command(send, n_send, recv, n_recv);
}

bool read_flash_status(BYTE* status) {
    const BYTE rdsr = orvex_sf::kCmdReadStatus;
    return spi_command(&rdsr, 1, status, 1);
}

}  // namespace orvexctl

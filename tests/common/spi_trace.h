// Serial-flash master traffic in the trace, decoded with the register map
// of an architecture, for exact-sequence assertions.
#ifndef ORVEX_SPI_TRACE_H
#define ORVEX_SPI_TRACE_H

#include <string>
#include <vector>

namespace orvex_test {

// Step by step: "mode 1", "sel", "tx 06", "rx 03", "rel", "mode 0",
// "sleep 1000". A byte's data and trigger writes and its ready poll fold
// into its "tx"/"rx"; other registers show as "W 1006=04" / "R 1007"; a
// failed access ends in " !".
std::vector<std::string> spi_log(int arch = 0);

// Frames: "M1"/"M0" for the mode register, one string per frame with the
// bytes sent ("20 03 00 00"), bytes received in angle brackets ("<03>")
// and " | " where the flash was selected again inside the frame; other
// registers as in spi_log, sleeps left out.
std::vector<std::string> spi_frames(int arch = 0);

// Number of sleeps of this length in the trace.
size_t sleep_count(unsigned long us);

}  // namespace orvex_test

#endif

// Internal: what every operation of the library shares. An operation runs
// inside run(): it reports failures by throwing Failure (its status, one
// message, the failed transfer's errno and a flash address), progress and
// notes through the session, and returns its result as a JSON object.
#ifndef ORVEX_FACTORY_CORE_H
#define ORVEX_FACTORY_CORE_H

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "OrvexFactory.h"

namespace orvex_factory {

using json = nlohmann::json;
using Bytes = std::vector<uint8_t>;

enum Status : int {
    OK = ORVEX_FACTORY_OK,
    FILE_ERROR = ORVEX_FACTORY_FILE,
    USAGE = ORVEX_FACTORY_USAGE,
    NO_DEVICE = ORVEX_FACTORY_NO_DEVICE,
    NOT_OURS = ORVEX_FACTORY_NOT_OURS,
    TRANSFER = ORVEX_FACTORY_TRANSFER,
    VERIFY = ORVEX_FACTORY_VERIFY,
    REFUSED = ORVEX_FACTORY_REFUSED,
    CANCELLED = ORVEX_FACTORY_CANCELLED,
};

// An operation ends early with a status and one message. The message is
// composed once, in run(): the reason sentence whole (what failed, the
// driver's reason for a failed transfer, then the state the flash is left
// in), and below it the recovery block. Every front end shows that text as
// it is, so the terminal, the JSON error, a station's table and the log
// say the same.
struct Failure : std::runtime_error {
    Failure(Status status, const std::string& message, long address = -1)
        : std::runtime_error(message), status(status), err(errno), address(address) {}
    // The same failure told at a higher level: another status or a longer
    // reason, keeping the errno and address of the original.
    Failure(const Failure& inner, Status status, const std::string& message)
        : std::runtime_error(message), status(status), err(inner.err), address(inner.address),
          state(inner.state), recovery(inner.recovery), partial(inner.partial) {}
    Status status;
    // errno when thrown: the libraries leave the failed ioctl's there.
    int err;
    long address;  // the first differing flash address, else -1
    // What the failure left behind ("the firmware sectors may be erased
    // ..."), the end of the reason sentence; empty when nothing needs saying.
    std::string state;
    // The commands that bring the camera back, one per line; empty: none.
    std::string recovery;
    // What the operation had learned before it failed (merged into the
    // result's JSON).
    json partial;
};

// The driver's reason for a failed extension-unit query, from its errno
// ("" when errno says nothing the driver would).
const char* driver_reason(int err);

// The one text of a failure: the reason sentence ("<what>: <driver's
// reason>; <state>.") and, below it, the recovery block.
std::string failure_text(const Failure& f);

}  // namespace orvex_factory

#endif

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

// An operation ends early with a status and one message.
struct Failure : std::runtime_error {
    Failure(Status status, const std::string& message, long address = -1)
        : std::runtime_error(message), status(status), err(errno), address(address) {}
    Status status;
    // errno when thrown: the libraries leave the failed ioctl's there.
    int err;
    long address;  // the first differing flash address, else -1
    // What the operation had learned before it failed (merged into the
    // result's JSON).
    json partial;
};

// The driver's reason for a failed extension-unit query, from its errno
// ("" when errno says nothing the driver would).
const char* driver_reason(int err);

}  // namespace orvex_factory

#endif

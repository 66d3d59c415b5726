// Internal: the result object every exported operation returns, and the
// one place where the library's exceptions turn into a status: none may
// cross the C interface.
#ifndef ORVEX_FACTORY_RESULT_H
#define ORVEX_FACTORY_RESULT_H

#include "core.h"
#include "session.h"

struct OrvexFactoryResult {
    int status = ORVEX_FACTORY_OK;
    std::string message;
    std::string json_text;
    long address = -1;
    int err = 0;
};

namespace orvex_factory {

// Runs an operation: its JSON on success; on a Failure the status, the
// message (with the driver's reason for a transfer failure) and whatever
// the operation had learned. Notes the session gathered go into "notes".
int run(Session* s, OrvexFactoryResult** out, const std::function<json()>& op);

}  // namespace orvex_factory

#endif

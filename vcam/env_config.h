#ifndef ORVEX_VCAM_ENV_CONFIG_H
#define ORVEX_VCAM_ENV_CONFIG_H

#include <functional>
#include <string>
#include <vector>

#include "vcam.h"

namespace vcam {

// Attaches the cameras an ORVEX_VCAM string describes. An unknown key or
// profile is named in the error with the valid ones.
bool configure_from_string(const std::string& config, std::string* error);

// Every key a camera's description may carry.
const std::vector<std::string>& config_keys();

// A kind of query, as fail_match names it ("set+sel1", "reg1006"), as a
// predicate over queries. False when the text names no kind.
bool parse_query_kind(const std::string& kind, std::function<bool(const QueryRecord&)>* out);

// Writes the query trace to the file a trace= key named, if any.
void write_configured_trace();

}  // namespace vcam

#endif

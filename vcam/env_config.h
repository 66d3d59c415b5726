#ifndef ORVEX_VCAM_ENV_CONFIG_H
#define ORVEX_VCAM_ENV_CONFIG_H

#include <string>

namespace vcam {

// Attaches the cameras an ORVEX_VCAM string describes.
bool configure_from_string(const std::string& config, std::string* error);

}  // namespace vcam

#endif

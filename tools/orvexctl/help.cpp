// Help text shared by every subcommand: a positional argument that its
// command file left undescribed gets the wording its name has everywhere
// in the tool, so that `orvexctl X --help` describes every argument.
#include <CLI/CLI.hpp>

#include <map>

#include "commands.h"

namespace orvexctl {

namespace {
const std::map<std::string, std::string>& positional_texts() {
    static const std::map<std::string, std::string> texts = {
        {"addr", "address: decimal, or hex with 0x"},
        {"len", "length in bytes: decimal, or hex with 0x"},
        {"count", "number of bytes (default 1): decimal, or hex with 0x"},
        {"size", "size of the control in bytes: decimal, or hex with 0x"},
        {"unit", "extension unit id: decimal, or hex with 0x"},
        {"selector", "control selector: decimal, or hex with 0x"},
        {"slave", "the image sensor's I2C slave id: decimal, or hex with 0x"},
        {"bytes", "bytes to write, hex without 0x: \"12 34\", \"1234\" or \"12,34\""},
        {"file", "file to read or write"},
        {"image", "firmware image file"},
        {"text", "text"},
        {"values", "floating-point values"},
        {"cameras", "cameras: index, /dev/videoN, /dev/v4l link, serial=S or usb=P"},
    };
    return texts;
}
}  // namespace

void describe_positionals(CLI::App& app) {
    for (CLI::Option* o : app.get_options()) {
        if (!o->get_positional() || !o->get_description().empty()) continue;
        auto it = positional_texts().find(o->get_name());
        if (it != positional_texts().end()) o->description(it->second);
    }
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) describe_positionals(*sub);
}

}  // namespace orvexctl

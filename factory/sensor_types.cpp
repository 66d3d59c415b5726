// The known sensor types.
#include "sensor_types.h"

#include <cctype>
#include <cstdlib>

namespace orvex_factory {

const std::vector<SensorType>& known_sensor_types() {
    static const std::vector<SensorType> types = {
        {"stereo-nir-640x480", 640, 480},
        {"stereo-nir-1280x800", 1280, 800},
    };
    return types;
}

const SensorType* find_sensor_type(const std::string& name) {
    for (const SensorType& t : known_sensor_types())
        if (name == t.name) return &t;
    return nullptr;
}

std::string known_sensor_type_names() {
    std::string s;
    for (const SensorType& t : known_sensor_types()) s += (s.empty() ? "" : ", ") + std::string(t.name);
    return s;
}

namespace {
bool digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }
}  // namespace

bool sensor_image(const std::string& type, int* width, int* height) {
    if (const SensorType* t = find_sensor_type(type)) {
        *width = t->width;
        *height = t->height;
        return true;
    }
    bool found = false;
    for (size_t i = 0; i < type.size(); ++i) {
        if (!digit(type[i]) || (i && digit(type[i - 1]))) continue;
        size_t j = i;
        while (j < type.size() && digit(type[j])) ++j;
        if (j + 1 >= type.size() || (type[j] != 'x' && type[j] != 'X') || !digit(type[j + 1])) continue;
        size_t k = j + 1;
        while (k < type.size() && digit(type[k])) ++k;
        if (j - i > 6 || k - j - 1 > 6) continue;  // no sensor is a million pixels wide
        int w = std::atoi(type.substr(i, j - i).c_str()), h = std::atoi(type.substr(j + 1, k - j - 1).c_str());
        if (w > 0 && h > 0) *width = w, *height = h, found = true;
    }
    return found;
}

}  // namespace orvex_factory

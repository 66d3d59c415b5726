// Internal: the sensor types the calibration records may name, with the
// image each delivers. Base points are positions in that image, so the
// type decides which points a rectification record may hold.
#ifndef ORVEX_FACTORY_SENSOR_TYPES_H
#define ORVEX_FACTORY_SENSOR_TYPES_H

#include <string>
#include <vector>

namespace orvex_factory {

struct SensorType {
    const char* name;
    int width, height;
};
const std::vector<SensorType>& known_sensor_types();
const SensorType* find_sensor_type(const std::string& name);
// "stereo-nir-640x480, stereo-nir-1280x800", for messages.
std::string known_sensor_type_names();

// The image a type delivers: the known type's, else (for a type the caller
// declared unknown, or one already in the flash) the last WIDTHxHEIGHT its
// text holds. False when neither names one.
bool sensor_image(const std::string& type, int* width, int* height);

}  // namespace orvex_factory

#endif

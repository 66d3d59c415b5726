// Internal: the one validation every write of calibration goes through
// (imports, edited or not, and writes of single records). A value is taken
// only when the store's own type holds it exactly: an int32 field an
// integer within 32 bits, a float field a finite number within float32's
// range that does not round to zero; the store's limits hold, the sensor
// type is a known one unless the caller says otherwise, and base points
// lie inside the sensor's image. A refusal is REFUSED naming the field's
// path and its value, e.g.
//   records.rectify.padding[1]: 8589934592 is outside the 32-bit integer range
#ifndef ORVEX_FACTORY_CALIBRATION_VALIDATE_H
#define ORVEX_FACTORY_CALIBRATION_VALIDATE_H

#include "calibration_document.h"

namespace orvex_factory {

struct ValidateOptions {
    // Every record must be named (a document), not only those written.
    bool all_records = false;
    bool unknown_sensor_type = false;
};

struct Validated {
    CalibRecords records;                   // `current` with the named records replaced
    std::vector<std::string> written;       // the records named, in document order
    std::vector<std::string> checks;        // what was checked, for the operator to read
};

// `records` names records to write ("marker", "sensor_type",
// "extra_params", "rectify"; null: erase it; absent: keep current's).
Validated validate_records(const json& records, const CalibRecords& current, const ValidateOptions& options);

}  // namespace orvex_factory

#endif

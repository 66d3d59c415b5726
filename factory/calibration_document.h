// Internal: the calibration records in memory and as the document
// `calib export` writes: {"format": "orvex-calibration", "version": 1,
// "records": {...}, "checksum": "0x........"}, the checksum being zlib's
// CRC-32 of the records written as compact JSON (keys sorted, floats in
// shortest round-trip form). Exported files must stay importable, so this
// form and its checksum do not change.
#ifndef ORVEX_FACTORY_CALIBRATION_DOCUMENT_H
#define ORVEX_FACTORY_CALIBRATION_DOCUMENT_H

#include "OrvexConfig.h"
#include "core.h"

namespace orvex_factory {

// What the store holds; a record the flash never held is absent (the
// store cannot tell it from a written one, so the raw bytes decide).
struct CalibRecords {
    bool has_marker = false;
    MarkerConfig marker{};
    bool has_type = false;
    std::string type;
    std::vector<float> params;  // empty: never written
    bool has_rect = false;
    RectifyConfig rect{};   // base_grid always null: the points are in grid
    std::vector<int> grid;  // x, y of rows x cols points, row-major
};

// Bit for bit, as the flash would hold them.
bool same_records(const CalibRecords& a, const CalibRecords& b);

// The records' JSON. Finite floats are numbers; a non-finite value the
// flash holds is the string "NaN", "Infinity" or "-Infinity" (JSON has no
// such numbers), which every import refuses.
json records_json(const CalibRecords& r);
json float_json(float f);

constexpr int kCalibDocVersion = 1;
std::string canonical_json(const json& j);
std::string records_checksum(const json& records);  // "0x" and 8 upper-case hex digits
json make_document(const json& records);

// The records of a document read from `name`: REFUSED when it is not a
// calibration document, of another version, or (unless edited) its
// checksum does not match.
const json& document_records(const json& doc, const std::string& name, bool edited);

}  // namespace orvex_factory

#endif

// The calibration document.
#include "calibration_document.h"

#include <cmath>
#include <cstring>

#include "text.h"

namespace orvex_factory {

namespace {
// memcmp must not see the null data() of an empty vector, even for 0 bytes.
bool same_bytes(const void* a, const void* b, size_t n) { return n == 0 || std::memcmp(a, b, n) == 0; }
}  // namespace

bool same_records(const CalibRecords& a, const CalibRecords& b) {
    if (a.has_marker != b.has_marker || (a.has_marker && !same_bytes(&a.marker, &b.marker, sizeof a.marker)))
        return false;
    if (a.has_type != b.has_type || (a.has_type && a.type != b.type)) return false;
    if (a.params.size() != b.params.size() || !same_bytes(a.params.data(), b.params.data(), 4 * a.params.size()))
        return false;
    if (a.has_rect != b.has_rect) return false;
    if (!a.has_rect) return true;
    // The header as stored: everything before the grid pointer.
    return same_bytes(&a.rect, &b.rect, offsetof(RectifyConfig, base_grid)) && a.grid == b.grid;
}

json float_json(float f) {
    if (std::isfinite(f)) return static_cast<double>(f);
    if (std::isnan(f)) return "NaN";
    return f > 0 ? "Infinity" : "-Infinity";
}

json records_json(const CalibRecords& r) {
    json j;
    if (r.has_marker) {
        const MarkerConfig& m = r.marker;
        j["marker"] = {{"x0", m.x0},
                       {"y0", m.y0},
                       {"dx", m.dx},
                       {"dy", m.dy},
                       {"theta", float_json(m.theta)},
                       {"ncol", m.ncol},
                       {"nrow", m.nrow},
                       {"width", m.width},
                       {"height", m.height},
                       {"lower_threshold", m.lower_threshold},
                       {"min_area", m.min_area}};
    } else {
        j["marker"] = nullptr;
    }
    j["sensor_type"] = r.has_type ? json(r.type) : json(nullptr);
    if (r.params.empty()) {
        j["extra_params"] = nullptr;
    } else {
        json a = json::array();
        for (float f : r.params) a.push_back(float_json(f));
        j["extra_params"] = a;
    }
    if (r.has_rect) {
        const RectifyConfig& c = r.rect;
        json g = json::array();
        for (size_t i = 0; i + 1 < r.grid.size(); i += 2) g.push_back({r.grid[i], r.grid[i + 1]});
        j["rectify"] = {{"rotation", float_json(c.rotation)},
                        {"translation_x", float_json(c.translation_x)},
                        {"translation_y", float_json(c.translation_y)},
                        {"scale", float_json(c.scale)},
                        {"padding", {c.padding[0], c.padding[1], c.padding[2], c.padding[3]}},
                        {"rows", c.rows},
                        {"cols", c.cols},
                        {"base_grid", g}};
    } else {
        j["rectify"] = nullptr;
    }
    return j;
}

std::string canonical_json(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string records_checksum(const json& records) {
    std::string s = canonical_json(records);
    return hex(crc32(reinterpret_cast<const uint8_t*>(s.data()), s.size()), 8);
}

json make_document(const json& records) {
    return {{"format", "orvex-calibration"},
            {"version", kCalibDocVersion},
            {"records", records},
            {"checksum", records_checksum(records)}};
}

const json& document_records(const json& doc, const std::string& name, bool edited) {
    if (!doc.is_object() || !doc.contains("format") || doc["format"] != "orvex-calibration")
        throw Failure(REFUSED, name + " is not a calibration document");
    if (!doc.contains("records")) throw Failure(REFUSED, name + " holds no records");
    // A hand-edited export no longer matches its checksum; edited trades
    // that check for nothing: every value is validated either way.
    if (!edited && (!doc.contains("checksum") || !doc["checksum"].is_string() ||
                    doc["checksum"].get<std::string>() != records_checksum(doc["records"])))
        throw Failure(REFUSED, name + " is damaged: its checksum does not match (a file edited by hand "
                                      "imports with --edited, after its values are checked)");
    if (!doc.contains("version") || doc["version"] != kCalibDocVersion)
        throw Failure(REFUSED, name + ": document version " + (doc.contains("version") ? doc["version"].dump() : "none") +
                                   " is not supported");
    return doc["records"];
}

}  // namespace orvex_factory

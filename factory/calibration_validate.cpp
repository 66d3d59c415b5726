// The calibration validation.
#include "calibration_validate.h"

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "internal/store_layout.h"
#include "sensor_types.h"

namespace orvex_factory {

namespace {

constexpr const char* kRecordNames[] = {"marker", "sensor_type", "extra_params", "rectify"};
constexpr const char* kMarkerInts[] = {"x0", "y0", "dx", "dy", "ncol", "nrow",
                                       "width", "height", "lower_threshold", "min_area"};
constexpr const char* kRectifyFloats[] = {"rotation", "translation_x", "translation_y", "scale"};
// The marker grid the detector is asked for; beyond this it is no grid.
constexpr int kMaxMarkerCount = 1000;

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw Failure(REFUSED, path + ": " + why);
}

// How a value reads in a message: numbers as JSON writes them, the
// non-finite spellings bare.
std::string shown(const json& v) {
    if (v.is_string()) {
        const std::string& s = v.get_ref<const std::string&>();
        if (s == "NaN" || s == "Infinity" || s == "-Infinity") return s;
    }
    return v.dump(-1, ' ', false, json::error_handler_t::replace);
}

const json& member(const json& obj, const char* key, const std::string& path) {
    if (!obj.contains(key)) throw Failure(REFUSED, path + "." + key + " is missing");
    return obj[key];
}

void no_other_keys(const json& obj, const std::string& path, std::initializer_list<const char*> a,
                   std::initializer_list<const char*> b = {}) {
    for (auto it = obj.begin(); it != obj.end(); ++it) {
        bool known = false;
        for (const char* k : a) known = known || it.key() == k;
        for (const char* k : b) known = known || it.key() == k;
        if (!known) throw Failure(REFUSED, path + "." + it.key() + " is not a field of this record");
    }
}

// An int32 field: an integer (86.0 is one, 86.5 is not) within 32 bits.
int32_t int32_of(const json& v, const std::string& path) {
    if (v.is_number_integer()) {
        if (v.is_number_unsigned()) {
            if (v.get<uint64_t>() > static_cast<uint64_t>(INT32_MAX)) refuse(path, shown(v) + " is outside the 32-bit integer range");
        } else {
            int64_t i = v.get<int64_t>();
            if (i < INT32_MIN || i > INT32_MAX) refuse(path, shown(v) + " is outside the 32-bit integer range");
        }
        return static_cast<int32_t>(v.get<int64_t>());
    }
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (!std::isfinite(d) || d != std::trunc(d)) refuse(path, shown(v) + " is not an integer");
        if (d < INT32_MIN || d > INT32_MAX) refuse(path, shown(v) + " is outside the 32-bit integer range");
        return static_cast<int32_t>(d);
    }
    if (v.is_string()) refuse(path, shown(v) + " is not an integer");
    refuse(path, shown(v) + " is not a number");
}

// A float32 field: finite, within range, and not a non-zero value that
// float32 can only hold as zero.
float float32_of(const json& v, const std::string& path) {
    if (v.is_string()) {
        const std::string& s = v.get_ref<const std::string&>();
        if (s == "NaN" || s == "Infinity" || s == "-Infinity") refuse(path, s + " is not a finite number");
        refuse(path, shown(v) + " is not a number");
    }
    if (!v.is_number()) refuse(path, shown(v) + " is not a number");
    double d = v.get<double>();
    if (std::isnan(d)) refuse(path, "NaN is not a finite number");
    float f = static_cast<float>(d);
    if (!std::isfinite(f)) refuse(path, shown(v) + " is out of range for a 32-bit float");
    if (f == 0.0f && d != 0.0) refuse(path, shown(v) + " is too small for a 32-bit float: it would be stored as 0");
    return f;
}

MarkerConfig marker_of(const json& m, const std::string& path) {
    if (!m.is_object()) refuse(path, shown(m) + " is not a record (an object, or null to erase it)");
    no_other_keys(m, path, {"x0", "y0", "dx", "dy", "ncol", "nrow", "width", "height", "lower_threshold", "min_area"},
                  {"theta"});
    MarkerConfig c{};
    int32_t* ints[] = {&c.x0, &c.y0, &c.dx, &c.dy, &c.ncol, &c.nrow, &c.width, &c.height, &c.lower_threshold, &c.min_area};
    for (size_t i = 0; i < std::size(kMarkerInts); ++i)
        *ints[i] = int32_of(member(m, kMarkerInts[i], path), path + "." + kMarkerInts[i]);
    c.theta = float32_of(member(m, "theta", path), path + ".theta");
    for (auto [k, n] : {std::pair<const char*, int>{"ncol", c.ncol}, {"nrow", c.nrow}})
        if (n < 0 || n > kMaxMarkerCount)
            refuse(path + "." + k, std::to_string(n) + " is not a marker count (0 to " + std::to_string(kMaxMarkerCount) + ")");
    return c;
}

std::string type_of(const json& t, const std::string& path, bool unknown_ok) {
    if (!t.is_string()) refuse(path, shown(t) + " is not a text (a string, or null to erase it)");
    const std::string& s = t.get_ref<const std::string&>();
    if (s.find('\0') != std::string::npos) refuse(path, shown(t) + " holds a NUL byte, which would end it early");
    if (static_cast<long>(s.size()) > orvex_store::kMaxSensorTypeLen)
        refuse(path, shown(t) + " is " + std::to_string(s.size()) + " bytes; the store keeps at most " +
                         std::to_string(orvex_store::kMaxSensorTypeLen));
    if (!unknown_ok && !find_sensor_type(s))
        refuse(path, shown(t) + " is not a known sensor type (known: " + known_sensor_type_names() +
                         "; --unknown-sensor-type stores another)");
    return s;
}

std::vector<float> params_of(const json& a, const std::string& path) {
    if (!a.is_array()) refuse(path, shown(a) + " is not an array of numbers (or null to erase it)");
    if (static_cast<long>(a.size()) > orvex_store::kMaxExtraParams)
        refuse(path, std::to_string(a.size()) + " values; the store keeps at most " +
                         std::to_string(orvex_store::kMaxExtraParams));
    std::vector<float> out;
    for (size_t i = 0; i < a.size(); ++i) out.push_back(float32_of(a[i], path + "[" + std::to_string(i) + "]"));
    return out;
}

void rectify_of(const json& c, const std::string& path, CalibRecords* r) {
    if (!c.is_object()) refuse(path, shown(c) + " is not a record (an object, or null to erase it)");
    no_other_keys(c, path, {"rotation", "translation_x", "translation_y", "scale"},
                  {"padding", "rows", "cols", "base_grid"});
    RectifyConfig& rc = r->rect;
    rc = RectifyConfig{};
    float* floats[] = {&rc.rotation, &rc.translation_x, &rc.translation_y, &rc.scale};
    for (size_t i = 0; i < std::size(kRectifyFloats); ++i)
        *floats[i] = float32_of(member(c, kRectifyFloats[i], path), path + "." + kRectifyFloats[i]);
    const json& pad = member(c, "padding", path);
    if (!pad.is_array() || pad.size() != 4) refuse(path + ".padding", shown(pad) + " is not 4 integers");
    for (size_t i = 0; i < 4; ++i) rc.padding[i] = int32_of(pad[i], path + ".padding[" + std::to_string(i) + "]");
    rc.rows = int32_of(member(c, "rows", path), path + ".rows");
    rc.cols = int32_of(member(c, "cols", path), path + ".cols");
    const std::string limit = std::to_string(orvex_store::kMaxRectifyRows) + " x " + std::to_string(orvex_store::kMaxRectifyCols);
    if (rc.rows < 0 || rc.rows > orvex_store::kMaxRectifyRows)
        refuse(path + ".rows", std::to_string(rc.rows) + " is outside the grid the store keeps (at most " + limit + ")");
    if (rc.cols < 0 || rc.cols > orvex_store::kMaxRectifyCols)
        refuse(path + ".cols", std::to_string(rc.cols) + " is outside the grid the store keeps (at most " + limit + ")");
    const json& g = member(c, "base_grid", path);
    const size_t want = static_cast<size_t>(rc.rows) * static_cast<size_t>(rc.cols);
    if (!g.is_array()) refuse(path + ".base_grid", shown(g) + " is not an array of [x, y] points");
    if (g.size() != want)
        refuse(path + ".base_grid", std::to_string(g.size()) + " points where rows x cols is " + std::to_string(want));
    r->grid.clear();
    for (size_t i = 0; i < g.size(); ++i) {
        std::string at = path + ".base_grid[" + std::to_string(i) + "]";
        if (!g[i].is_array() || g[i].size() != 2) refuse(at, shown(g[i]) + " is not an [x, y] point");
        r->grid.push_back(int32_of(g[i][0], at + "[0]"));
        r->grid.push_back(int32_of(g[i][1], at + "[1]"));
    }
}

// Base points inside the image of the sensor type in force; "" when that
// type names no image.
std::string check_points(const CalibRecords& r) {
    int w = 0, h = 0;
    if (!r.has_type || !sensor_image(r.type, &w, &h)) return "";
    const int cols = std::max(1, r.rect.cols);
    for (size_t i = 0; i + 1 < r.grid.size(); i += 2) {
        int x = r.grid[i], y = r.grid[i + 1];
        if (x < 0 || y < 0 || x >= w || y >= h) {
            size_t n = i / 2;
            refuse("records.rectify.base_grid[" + std::to_string(n) + "]",
                   "base point " + std::to_string(n) + " (row " + std::to_string(n / cols) + ", column " +
                       std::to_string(n % cols) + ") at (" + std::to_string(x) + ", " + std::to_string(y) +
                       ") lies outside the " + std::to_string(w) + " x " + std::to_string(h) +
                       " image of sensor type \"" + r.type + "\"");
        }
    }
    return std::to_string(r.grid.size() / 2) + " base points inside the " + std::to_string(w) + " x " +
           std::to_string(h) + " image of sensor type \"" + r.type + "\"";
}

}  // namespace

Validated validate_records(const json& records, const CalibRecords& current, const ValidateOptions& o) {
    if (!records.is_object()) throw Failure(REFUSED, "records: " + shown(records) + " is not an object of records");
    for (auto it = records.begin(); it != records.end(); ++it) {
        bool known = false;
        for (const char* k : kRecordNames) known = known || it.key() == k;
        if (!known)
            throw Failure(REFUSED, "records." + it.key() + " is not a record (marker, sensor_type, extra_params, rectify)");
    }
    Validated v;
    v.records = current;
    CalibRecords& r = v.records;
    int floats = 0;
    for (const char* name : kRecordNames) {
        if (!records.contains(name)) {
            if (o.all_records) throw Failure(REFUSED, std::string("records.") + name + " is missing");
            continue;
        }
        v.written.push_back(name);
        const json& j = records[name];
        const std::string path = std::string("records.") + name;
        const std::string n = name;
        if (n == "marker") {
            r.has_marker = !j.is_null();
            r.marker = r.has_marker ? marker_of(j, path) : MarkerConfig{};
            if (r.has_marker) {
                ++floats;
                v.checks.push_back("marker grid " + std::to_string(r.marker.ncol) + " x " + std::to_string(r.marker.nrow));
            }
        } else if (n == "sensor_type") {
            r.has_type = !j.is_null();
            r.type = r.has_type ? type_of(j, path, o.unknown_sensor_type) : std::string();
            if (r.has_type)
                v.checks.push_back("sensor type \"" + r.type + "\"" +
                                   (find_sensor_type(r.type) ? " known" : " not a known type (accepted as declared unknown)"));
        } else if (n == "extra_params") {
            r.params = j.is_null() ? std::vector<float>() : params_of(j, path);
            floats += static_cast<int>(r.params.size());
            v.checks.push_back(std::to_string(r.params.size()) + " extra parameters (at most " +
                               std::to_string(orvex_store::kMaxExtraParams) + ")");
        } else {
            r.has_rect = !j.is_null();
            r.rect = RectifyConfig{};
            r.grid.clear();
            if (r.has_rect) {
                rectify_of(j, path, &r);
                floats += 4;
                v.checks.push_back("base grid " + std::to_string(r.rect.rows) + " x " + std::to_string(r.rect.cols) +
                                   " (at most " + std::to_string(orvex_store::kMaxRectifyRows) + " x " +
                                   std::to_string(orvex_store::kMaxRectifyCols) + ")");
            }
        }
    }
    r.rect.base_grid = nullptr;
    v.checks.insert(v.checks.begin(), std::to_string(floats) + " floating-point values finite and within 32 bits, "
                                      "integers within 32 bits");
    // The points and the type go together: check them whenever either is written.
    if (records.contains("rectify") || records.contains("sensor_type")) {
        std::string pts = check_points(r);
        v.checks.push_back(!pts.empty()         ? pts
                           : r.grid.empty()     ? std::string("no base points")
                           : !r.has_type        ? "base points not checked against an image: no sensor type"
                                                : "base points not checked against an image: the sensor type names no size");
    }
    return v;
}

}  // namespace orvex_factory

// Calibration records: decoded through libOrvexConfig, shown, exported to
// and imported from a versioned JSON document with a checksum, edited, and
// plotted. The store itself is silent about failures and cannot tell a
// never-written record (0xFF bytes) from a written one, so the tool checks
// the identification blocks first and reads the raw record bytes beside
// the store's decoding.
#include <cmath>
#include <ctime>
#include <cstring>

#include "OrvexConfig.h"
#include <CLI/CLI.hpp>

#include "commands.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {

// The store's own layout and limits.
using orvex_store::kMarkerAddr;
constexpr long kParamsAddr = orvex_store::kExtraParamsAddr, kTypeAddr = orvex_store::kSensorTypeAddr,
               kRectAddr = orvex_store::kRectifyAddr;
constexpr int kMaxParams = orvex_store::kMaxExtraParams;
constexpr int kMaxRows = orvex_store::kMaxRectifyRows, kMaxCols = orvex_store::kMaxRectifyCols;
constexpr size_t kMaxTypeLen = orvex_store::kMaxSensorTypeLen;
constexpr long kTypeCapacity = orvex_store::kSensorTypeCapacity;
const std::string kLimits = std::to_string(kMaxRows) + " x " + std::to_string(kMaxCols);

struct Records {
    bool has_marker = false;
    MarkerConfig marker{};
    bool has_type = false;
    std::string type;
    std::vector<float> params;  // empty: never written
    bool has_rect = false;
    RectifyConfig rect{};
    std::vector<int> grid;  // 2 x rows x cols
};

bool all_ff(const Bytes& b, size_t from, size_t n) {
    for (size_t i = from; i < from + n && i < b.size(); ++i)
        if (b[i] != 0xFF) return false;
    return true;
}

std::string dump_canon(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

// Opens the camera, checks that the store will recognise it, reads the raw
// record areas, closes it again (the store opens the camera itself).
struct Raw {
    Bytes marker, params, type, rect_head;
};
Raw read_raw() {
    Session s(g_opt.device);
    identify(false);
    if (!store_recognises(read_id_blocks()))
        throw Failure(EXIT_NOT_OURS, "no valid identification block in the camera's flash: "
                                     "the calibration store does not recognise this camera",
                      true);
    Raw r;
    r.marker = flash_read(kMarkerAddr, sizeof(MarkerConfig));
    r.params = flash_read(kParamsAddr, 4 * kMaxParams);
    r.type = flash_read(kTypeAddr, kTypeCapacity);
    r.rect_head = flash_read(kRectAddr, orvex_store::kRectifyHeaderLen);
    return r;
}

Records load() {
    Raw raw = read_raw();
    Records rec;
    QuietStderr quiet;
    if (!all_ff(raw.marker, 0, raw.marker.size())) {
        std::memset(&rec.marker, 0, sizeof rec.marker);
        ReadMarkerConfig(g_opt.device, &rec.marker);
        if (std::memcmp(&rec.marker, raw.marker.data(), sizeof rec.marker) != 0)
            throw Failure(EXIT_TRANSFER, "reading the marker configuration through the store failed");
        rec.has_marker = true;
    }
    if (raw.type[0] != 0xFF) {
        char buf[160] = {};
        GetSensorType(g_opt.device, buf);
        rec.type = buf;
        std::string expect(reinterpret_cast<const char*>(raw.type.data()),
                           strnlen(reinterpret_cast<const char*>(raw.type.data()), kTypeCapacity));
        if (rec.type != expect) throw Failure(EXIT_TRANSFER, "reading the sensor type through the store failed");
        rec.has_type = true;
    }
    int count = 0;
    while (count < kMaxParams && !all_ff(raw.params, static_cast<size_t>(4 * count), 4)) ++count;
    if (count > 0) {
        float vals[kMaxParams];
        std::memset(vals, 0xFF, sizeof vals);
        ReadExtraParams(g_opt.device, vals, static_cast<unsigned char>(count));
        if (std::memcmp(vals, raw.params.data(), 4 * static_cast<size_t>(count)) != 0)
            throw Failure(EXIT_TRANSFER, "reading the extra parameters through the store failed");
        rec.params.assign(vals, vals + count);
    }
    if (!all_ff(raw.rect_head, 0, raw.rect_head.size())) {
        RectifyConfig rc{};
        rc.base_grid = nullptr;
        ReadRectifyConfig(g_opt.device, &rc);
        int rows, cols;
        std::memcpy(&rows, raw.rect_head.data() + orvex_store::kRectifyRowsOffset, 4);
        std::memcpy(&cols, raw.rect_head.data() + orvex_store::kRectifyColsOffset, 4);
        bool in_limits = rows <= kMaxRows && cols <= kMaxCols;
        if (std::memcmp(&rc, raw.rect_head.data(), raw.rect_head.size()) != 0 || (in_limits && rows > 0 && cols > 0 && !rc.base_grid)) {
            std::free(rc.base_grid);
            throw Failure(EXIT_TRANSFER, "reading the rectification record through the store failed");
        }
        rec.rect = rc;
        if (rc.base_grid && rows > 0 && cols > 0)
            rec.grid.assign(rc.base_grid, rc.base_grid + 2 * rows * cols);
        std::free(rc.base_grid);
        rec.rect.base_grid = nullptr;
        rec.has_rect = true;
    }
    return rec;
}

// Floats: numbers when finite, else their bit pattern as a hex string, so
// that export and import keep every value bit for bit.
json float_json(float f) {
    if (std::isfinite(f)) return static_cast<double>(f);
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return hex(bits, 8);
}
float json_float(const json& j, const char* what) {
    if (j.is_number()) return static_cast<float>(j.get<double>());
    if (j.is_string()) {
        uint32_t bits = static_cast<uint32_t>(parse_number(j.get<std::string>(), what));
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    }
    throw Failure(EXIT_REFUSED, std::string("bad value for ") + what);
}
int json_int(const json& j, const char* key) {
    if (!j.contains(key) || !j[key].is_number_integer()) throw Failure(EXIT_REFUSED, std::string("missing integer ") + key);
    long long v = j[key].get<long long>();
    if (v < INT32_MIN || v > INT32_MAX) throw Failure(EXIT_REFUSED, std::string(key) + " out of range");
    return static_cast<int>(v);
}

#define MARKER_INTS(X) X(x0) X(y0) X(dx) X(dy) X(ncol) X(nrow) X(width) X(height) X(lower_threshold) X(min_area)

json records_json(const Records& r) {
    json j;
    if (r.has_marker) {
        json m;
#define PUT(f) m[#f] = r.marker.f;
        MARKER_INTS(PUT)
#undef PUT
        m["theta"] = float_json(r.marker.theta);
        j["marker"] = m;
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

Records records_from_json(const json& j) {
    Records r;
    if (!j.is_object()) throw Failure(EXIT_REFUSED, "records missing");
    for (const char* k : {"marker", "sensor_type", "extra_params", "rectify"})
        if (!j.contains(k)) throw Failure(EXIT_REFUSED, std::string("record ") + k + " missing");
    if (!j["marker"].is_null()) {
        const json& m = j["marker"];
#define GET(f) r.marker.f = json_int(m, #f);
        MARKER_INTS(GET)
#undef GET
        if (!m.contains("theta")) throw Failure(EXIT_REFUSED, "marker theta missing");
        r.marker.theta = json_float(m["theta"], "theta");
        r.has_marker = true;
    }
    if (!j["sensor_type"].is_null()) {
        if (!j["sensor_type"].is_string()) throw Failure(EXIT_REFUSED, "sensor_type must be a string");
        r.type = j["sensor_type"].get<std::string>();
        if (r.type.size() > kMaxTypeLen || r.type.find('\0') != std::string::npos)
            throw Failure(EXIT_REFUSED, "sensor_type must be at most " + std::to_string(kMaxTypeLen) + " characters");
        r.has_type = true;
    }
    if (!j["extra_params"].is_null()) {
        if (!j["extra_params"].is_array() || j["extra_params"].size() > kMaxParams)
            throw Failure(EXIT_REFUSED,
                          "extra_params must be an array of at most " + std::to_string(kMaxParams) + " values");
        for (const auto& v : j["extra_params"]) r.params.push_back(json_float(v, "extra_params"));
    }
    if (!j["rectify"].is_null()) {
        const json& c = j["rectify"];
        RectifyConfig& rc = r.rect;
        rc.rotation = json_float(c.value("rotation", json()), "rotation");
        rc.translation_x = json_float(c.value("translation_x", json()), "translation_x");
        rc.translation_y = json_float(c.value("translation_y", json()), "translation_y");
        rc.scale = json_float(c.value("scale", json()), "scale");
        if (!c.contains("padding") || !c["padding"].is_array() || c["padding"].size() != 4)
            throw Failure(EXIT_REFUSED, "rectify padding must hold 4 integers");
        for (int i = 0; i < 4; ++i) rc.padding[i] = c["padding"][static_cast<size_t>(i)].get<int>();
        rc.rows = json_int(c, "rows");
        rc.cols = json_int(c, "cols");
        if (rc.rows < 0 || rc.rows > kMaxRows || rc.cols < 0 || rc.cols > kMaxCols)
            throw Failure(EXIT_REFUSED, "rectify grid must be at most " + kLimits);
        const json& g = c.value("base_grid", json::array());
        if (!g.is_array() || g.size() != static_cast<size_t>(rc.rows * rc.cols))
            throw Failure(EXIT_REFUSED, "rectify base_grid must hold rows x cols pairs");
        for (const auto& p : g) {
            if (!p.is_array() || p.size() != 2) throw Failure(EXIT_REFUSED, "base_grid entries are pairs");
            r.grid.push_back(p[0].get<int>());
            r.grid.push_back(p[1].get<int>());
        }
        r.has_rect = true;
    }
    return r;
}

std::string fmt_float(float f) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.7g", static_cast<double>(f));
    return buf;
}

std::string records_text(const Records& r) {
    std::string t;
    t += "marker configuration (0x30000): ";
    if (r.has_marker) {
        const MarkerConfig& m = r.marker;
        t += "\n  origin (" + std::to_string(m.x0) + ", " + std::to_string(m.y0) + "), spacing (" +
             std::to_string(m.dx) + ", " + std::to_string(m.dy) + "), theta " + fmt_float(m.theta) + "\n  " +
             std::to_string(m.ncol) + " columns x " + std::to_string(m.nrow) + " rows, size " +
             std::to_string(m.width) + " x " + std::to_string(m.height) + ", lower threshold " +
             std::to_string(m.lower_threshold) + ", minimum area " + std::to_string(m.min_area) + "\n";
    } else {
        t += "never written\n";
    }
    t += "sensor type (0x32000): " + (r.has_type ? "\"" + r.type + "\"" : std::string("never written")) + "\n";
    t += "extra parameters (0x31000): ";
    if (r.params.empty()) {
        t += "never written\n";
    } else {
        t += std::to_string(r.params.size()) + " value(s):";
        for (float f : r.params) t += " " + fmt_float(f);
        t += "\n";
    }
    t += "rectification (0x34000): ";
    if (r.has_rect) {
        const RectifyConfig& c = r.rect;
        t += "\n  rotation " + fmt_float(c.rotation) + ", translation (" + fmt_float(c.translation_x) + ", " +
             fmt_float(c.translation_y) + "), scale " + fmt_float(c.scale) + "\n  padding " +
             std::to_string(c.padding[0]) + " " + std::to_string(c.padding[1]) + " " + std::to_string(c.padding[2]) +
             " " + std::to_string(c.padding[3]) + "\n  base grid " + std::to_string(c.rows) + " x " +
             std::to_string(c.cols) +
             (c.rows > kMaxRows || c.cols > kMaxCols ? " (beyond the " + kLimits + " limit: grid not readable)"
                                                     : " (" + std::to_string(r.grid.size() / 2) + " points)") +
             "\n";
    } else {
        t += "never written\n";
    }
    return t;
}

const int kDocVersion = 1;

uint32_t records_crc(const json& records) {
    std::string s = dump_canon(records);
    return crc32(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// Erases a record's sector: the state of a never-written record.
void erase_record(long addr) {
    Session s(g_opt.device);
    identify(false);
    unsigned char none = 0xFF;
    if (OrvexTac_SerialFlashSectorWrite(addr, &none, 0, SFT_MXIC) != 1) {
        std::string why = protection_note();
        throw Failure(EXIT_TRANSFER, "erasing the record at " + hex(addr, 5) + " failed" +
                                         (why.empty() ? "" : ": " + why));
    }
}

void save(const Records& want, const Records& have) {
    QuietStderr quiet;
    if (want.has_marker) {
        MarkerConfig m = want.marker;
        SaveMarkerConfig(g_opt.device, &m);
    } else if (have.has_marker) {
        erase_record(kMarkerAddr);
    }
    if (want.has_type) SetSensorType(g_opt.device, want.type.c_str());
    else if (have.has_type) erase_record(kTypeAddr);
    if (!want.params.empty()) {
        SaveExtraParams(g_opt.device, want.params.data(), static_cast<unsigned char>(want.params.size()));
    } else if (!have.params.empty()) {
        erase_record(kParamsAddr);
    }
    if (want.has_rect) {
        RectifyConfig c = want.rect;
        std::vector<int> grid = want.grid;
        c.base_grid = grid.empty() ? nullptr : grid.data();
        SaveRectifyConfig(g_opt.device, &c);
    } else if (have.has_rect) {
        erase_record(kRectAddr);
    }
}

void verify_saved(const Records& want) {
    Records back = load();
    if (dump_canon(records_json(back)) != dump_canon(records_json(want)))
        throw Failure(EXIT_VERIFY, "the records read back differ from what was written");
}

// The image size a sensor type names ("stereo-nir-640x480": 640 x 480),
// from its last WIDTHxHEIGHT; false when it names none.
bool image_size(const std::string& type, int* w, int* h) {
    bool found = false;
    for (size_t i = 0; i < type.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(type[i])) || (i && std::isdigit(static_cast<unsigned char>(type[i - 1]))))
            continue;
        size_t j = i;
        while (j < type.size() && std::isdigit(static_cast<unsigned char>(type[j]))) ++j;
        if (j + 1 >= type.size() || (type[j] != 'x' && type[j] != 'X') || !std::isdigit(static_cast<unsigned char>(type[j + 1])))
            continue;
        size_t k = j + 1;
        while (k < type.size() && std::isdigit(static_cast<unsigned char>(type[k]))) ++k;
        if (j - i > 6 || k - j - 1 > 6) continue;
        int a = std::atoi(type.substr(i, j - i).c_str()), b = std::atoi(type.substr(j + 1, k - j - 1).c_str());
        if (a > 0 && b > 0) *w = a, *h = b, found = true;
    }
    return found;
}

// Base points inside the image the sensor type (the new one, else the
// camera's) names; throws EXIT_REFUSED naming the first point outside.
// Returns what was checked, or "" when no type names an image size.
std::string check_base_points(const Records& want, const std::string& type) {
    int w = 0, h = 0;
    if (!image_size(type, &w, &h)) return "";
    for (size_t i = 0; i + 1 < want.grid.size(); i += 2) {
        int x = want.grid[i], y = want.grid[i + 1];
        if (x < 0 || y < 0 || x >= w || y >= h) {
            int cols = std::max(1, want.rect.cols);
            throw Failure(EXIT_REFUSED, "base point " + std::to_string(i / 2) + " (row " +
                                            std::to_string(i / 2 / cols) + ", column " + std::to_string(i / 2 % cols) +
                                            ") at (" + std::to_string(x) + ", " + std::to_string(y) +
                                            ") lies outside the " + std::to_string(w) + " x " + std::to_string(h) +
                                            " image of sensor type \"" + type + "\"");
        }
    }
    return std::to_string(want.grid.size() / 2) + " base points inside the " + std::to_string(w) + " x " +
           std::to_string(h) + " image of sensor type \"" + type + "\"";
}

// A hand-edited document: every value the store keeps, checked. Returns
// the checks made, for the user to read.
std::vector<std::string> validate_edited(const Records& r, const std::string& camera_type) {
    std::vector<std::string> done;
    auto finite = [](float f, const std::string& what) {
        if (!std::isfinite(f)) throw Failure(EXIT_REFUSED, what + " is not a finite number");
    };
    int n = 0;
    if (r.has_marker) {
        finite(r.marker.theta, "marker theta");
        ++n;
        if (r.marker.ncol < 0 || r.marker.nrow < 0 || r.marker.ncol > 1000 || r.marker.nrow > 1000)
            throw Failure(EXIT_REFUSED, "marker grid " + std::to_string(r.marker.ncol) + " x " +
                                            std::to_string(r.marker.nrow) + " is not a grid (0 to 1000 each way)");
        done.push_back("marker grid " + std::to_string(r.marker.ncol) + " x " + std::to_string(r.marker.nrow));
    }
    for (size_t i = 0; i < r.params.size(); ++i) finite(r.params[i], "extra parameter " + std::to_string(i));
    n += static_cast<int>(r.params.size());
    done.push_back(std::to_string(r.params.size()) + " extra parameters (at most " + std::to_string(kMaxParams) + ")");
    if (r.has_rect) {
        finite(r.rect.rotation, "rectify rotation");
        finite(r.rect.translation_x, "rectify translation_x");
        finite(r.rect.translation_y, "rectify translation_y");
        finite(r.rect.scale, "rectify scale");
        n += 4;
        done.push_back("base grid " + std::to_string(r.rect.rows) + " x " + std::to_string(r.rect.cols) + " (at most " +
                       std::to_string(kMaxRows) + " x " + std::to_string(kMaxCols) + ")");
    }
    done.insert(done.begin(), std::to_string(n) + " floating-point values finite");
    std::string type = r.has_type ? r.type : camera_type;
    std::string pts = check_base_points(r, type);
    done.push_back(!pts.empty() ? pts
                                : r.grid.empty() ? std::string("no base points")
                                                 : "base points not checked against an image: the sensor type names no size");
    return done;
}

}  // namespace

int cmd_calib_show() {
    Records r = load();
    emit({{"records", records_json(r)}}, records_text(r));
    return EXIT_OK;
}

int cmd_calib_export(const std::string& file) {
    Records r = load();
    json records = records_json(r);
    json doc = {{"format", "orvex-calibration"}, {"version", kDocVersion}, {"records", records},
                {"checksum", hex(records_crc(records), 8)}};
    write_file(file, doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
    emit({{"file", file}, {"checksum", doc["checksum"]}}, "exported the calibration to " + file + "\n");
    return EXIT_OK;
}

int cmd_calib_import(const std::string& file, bool edited, bool dry_run) {
    Bytes raw = read_file(file);
    json doc = json::parse(raw.begin(), raw.end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || doc.value("format", "") != "orvex-calibration")
        throw Failure(EXIT_REFUSED, file + " is not a calibration document");
    if (!doc.contains("records"))
        throw Failure(EXIT_REFUSED, file + " holds no records");
    // A hand-edited export no longer matches its checksum; --edited trades
    // that check for a check of every value.
    if (!edited && (!doc.contains("checksum") || !doc["checksum"].is_string() ||
                    doc["checksum"].get<std::string>() != hex(records_crc(doc["records"]), 8)))
        throw Failure(EXIT_REFUSED, file + " is damaged: its checksum does not match (a file edited by hand "
                                           "imports with --edited, after its values are checked)");
    if (doc.value("version", 0) != kDocVersion)
        throw Failure(EXIT_REFUSED, file + ": document version " + doc["version"].dump() + " is not supported");
    Records want = records_from_json(doc["records"]);
    Records have = load();
    std::vector<std::string> checks;
    if (edited) {
        checks = validate_edited(want, have.type);
    } else {
        std::string pts = check_base_points(want, want.has_type ? want.type : have.type);
        if (!pts.empty()) checks.push_back(pts);
    }
    std::string text;
    if (edited) {
        text += "checked " + file + ":\n";
        for (const auto& c : checks) text += "  " + c + "\n";
    }
    if (dry_run) {
        bool same = dump_canon(records_json(want)) == dump_canon(records_json(have));
        emit({{"file", file}, {"imported", false}, {"dry_run", true}, {"checks", checks}, {"changes", !same}},
             text + (same ? "the camera already holds these records; nothing would change\n"
                          : "would import the calibration from " + file + " (dry run: nothing written)\n"));
        return EXIT_OK;
    }
    save(want, have);
    verify_saved(want);
    emit({{"file", file}, {"imported", true}, {"checks", checks}},
         text + "imported the calibration from " + file + ", verified\n");
    return EXIT_OK;
}

int cmd_calib_set_sensor_type(const std::string& text, bool dry_run) {
    if (text.size() > kMaxTypeLen)
        throw Failure(EXIT_USAGE, "the sensor type holds at most " + std::to_string(kMaxTypeLen) + " characters");
    Records have = load();
    if (dry_run) {
        emit({{"sensor_type", text}, {"dry_run", true}, {"was", have.has_type ? json(have.type) : json(nullptr)}},
             "would set the sensor type to \"" + text + "\" (now " +
                 (have.has_type ? "\"" + have.type + "\"" : std::string("never written")) + "; dry run)\n");
        return EXIT_OK;
    }
    {
        QuietStderr quiet;
        SetSensorType(g_opt.device, text.c_str());
    }
    Records back = load();
    if (!back.has_type || back.type != text) throw Failure(EXIT_VERIFY, "the sensor type read back differs");
    emit({{"sensor_type", text}}, "sensor type set to \"" + text + "\"\n");
    return EXIT_OK;
}

int cmd_calib_set_params(const std::vector<std::string>& values, bool dry_run) {
    if (values.empty() || values.size() > kMaxParams)
        throw Failure(EXIT_USAGE, "give 1 to " + std::to_string(kMaxParams) + " values");
    std::vector<float> v;
    for (const auto& s : values) {
        char* end = nullptr;
        float f = std::strtof(s.c_str(), &end);
        if (s.empty() || *end) throw Failure(EXIT_USAGE, "bad number '" + s + "'");
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        if (bits == 0xFFFFFFFFu) throw Failure(EXIT_USAGE, "that NaN pattern reads as never written");
        v.push_back(f);
    }
    Records have = load();
    if (dry_run) {
        json a = json::array();
        for (float f : v) a.push_back(float_json(f));
        emit({{"extra_params", a}, {"dry_run", true}, {"was_count", have.params.size()}},
             "would save " + std::to_string(v.size()) + " extra parameter(s) (now " +
                 std::to_string(have.params.size()) + "; dry run)\n");
        return EXIT_OK;
    }
    {
        QuietStderr quiet;
        SaveExtraParams(g_opt.device, v.data(), static_cast<unsigned char>(v.size()));
    }
    Records back = load();
    if (back.params.size() != v.size() || std::memcmp(back.params.data(), v.data(), 4 * v.size()) != 0)
        throw Failure(EXIT_VERIFY, "the extra parameters read back differ");
    json a = json::array();
    for (float f : v) a.push_back(float_json(f));
    emit({{"extra_params", a}}, "saved " + std::to_string(v.size()) + " extra parameter(s)\n");
    return EXIT_OK;
}

namespace {
std::string xml_text(const std::string& s) {
    std::string o;
    for (char c : s) {
        if (c == '<') o += "&lt;";
        else if (c == '>') o += "&gt;";
        else if (c == '&') o += "&amp;";
        else if (c == '"') o += "&quot;";
        else o += c;
    }
    return o;
}
std::string today_utc() {
    time_t t = time(nullptr);
    tm u{};
    gmtime_r(&t, &u);
    char b[32];
    std::strftime(b, sizeof b, "%Y-%m-%d", &u);
    return b;
}
}  // namespace

// The records as a picture to check by eye: the image frame with pixel
// axes, the base grid joined row by row (two swapped points show as a
// crossing), the marker grid, and whose camera and when.
int cmd_calib_plot(const std::string& file) {
    Records r = load();
    UnitIdentity unit;
    {
        Session s(g_opt.device);
        unit = unit_identity(read_id_blocks());
    }
    NodeIdentity node = node_identity(g_opt.device);
    struct Pt {
        double x, y;
    };
    // A base-grid pair is an image position (x, y); y grows downwards, as
    // in the image and in SVG.
    std::vector<Pt> base, marker;
    for (size_t i = 0; i + 1 < r.grid.size(); i += 2) base.push_back({double(r.grid[i]), double(r.grid[i + 1])});
    std::string marker_note;
    if (r.has_marker) {
        const MarkerConfig& m = r.marker;
        if (m.ncol > 0 && m.nrow > 0 && static_cast<long>(m.ncol) * m.nrow <= 10000 && std::isfinite(m.theta)) {
            // theta in radians, turning the grid about its origin.
            double a = m.theta, ca = std::cos(a), sa = std::sin(a);
            for (int row = 0; row < m.nrow; ++row)
                for (int col = 0; col < m.ncol; ++col) {
                    double dx = double(col) * m.dx, dy = double(row) * m.dy;
                    marker.push_back({m.x0 + dx * ca - dy * sa, m.y0 + dx * sa + dy * ca});
                }
        } else {
            marker_note = "marker grid not drawable (" + std::to_string(m.ncol) + " x " + std::to_string(m.nrow) + ")";
        }
    }
    if (base.empty() && marker.empty())
        throw Failure(EXIT_REFUSED, "the camera holds no base grid and no drawable marker grid: nothing to plot" +
                                        (marker_note.empty() ? std::string() : " (" + marker_note + ")"));
    // The frame: the sensor type's image when it names one, else the
    // points' extent from the origin.
    int iw = 0, ih = 0;
    bool sized = r.has_type && image_size(r.type, &iw, &ih);
    double fw = iw, fh = ih;
    if (!sized) {
        fw = fh = 1;
        for (const auto* set : {&base, &marker})
            for (const Pt& p : *set) fw = std::max(fw, p.x), fh = std::max(fh, p.y);
    }
    // Points outside the frame stay visible: the view covers both.
    double minx = 0, miny = 0, maxx = fw, maxy = fh;
    for (const auto* set : {&base, &marker})
        for (const Pt& p : *set)
            minx = std::min(minx, p.x), miny = std::min(miny, p.y), maxx = std::max(maxx, p.x), maxy = std::max(maxy, p.y);
    const double W = 900, H = 720, L = 70, T = 70, R = 30, B = 40;
    double s = std::min((W - L - R) / std::max(maxx - minx, 1e-9), (H - T - B) / std::max(maxy - miny, 1e-9));
    auto X = [&](double x) { return L + (x - minx) * s; };
    auto Y = [&](double y) { return T + (y - miny) * s; };
    std::string svg;
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
                  "font-family=\"sans-serif\">\n",
                  W, H, W, H);
    svg += buf;
    std::string who = node.node + (node.serial.empty() ? "" : ", serial " + node.serial) +
                      (node.usb_path.empty() ? "" : ", USB " + node.usb_path) +
                      (unit.known ? ", unit " + identity_text(unit) : ", no unit identification");
    svg += "<title>Orvex calibration of " + xml_text(who) + "</title>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text id=\"identity\" x=\"" + std::to_string(int(L)) + "\" y=\"20\" font-size=\"13\">" + xml_text(who) +
           " &#8212; plotted " + today_utc() + "</text>\n";
    std::snprintf(buf, sizeof buf,
                  "<text x=\"%.0f\" y=\"40\" font-size=\"13\"><tspan fill=\"#1f6fd0\">&#9679; base grid (%zu points, "
                  "joined row by row)</tspan>  <tspan fill=\"#d03a1f\">&#9675; marker grid (%zu points)</tspan></text>\n",
                  L, base.size(), marker.size());
    svg += buf;
    // Frame and pixel axes: ticks every power-of-ten step that gives 5 to 10.
    std::snprintf(buf, sizeof buf,
                  "<rect id=\"image-frame\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"none\" "
                  "stroke=\"black\"/>\n",
                  X(0), Y(0), fw * s, fh * s);
    svg += buf;
    svg += "<text x=\"" + std::to_string(int(L)) + "\" y=\"" + std::to_string(int(T - 22)) + "\" font-size=\"11\">" +
           (sized ? "image " + std::to_string(iw) + " x " + std::to_string(ih) + " pixels (sensor type " +
                        xml_text(r.type) + ")"
                  : std::string("points' extent in pixels (the sensor type names no image size)")) +
           "</text>\n";
    auto step_for = [](double span) {
        double st = 1;
        while (span / st > 10) st *= (static_cast<long>(st) % 2 == 0 || st < 2) ? 5 : 2;
        return st;
    };
    svg += "<g id=\"axes\" font-size=\"10\" stroke=\"black\">\n";
    double sx = step_for(fw), sy = step_for(fh);
    // Ticks on the step, and one at the image's far edge.
    std::vector<double> xt, yt;
    for (double v = 0; v < fw - sx / 4; v += sx) xt.push_back(v);
    xt.push_back(fw);
    for (double v = 0; v < fh - sy / 4; v += sy) yt.push_back(v);
    yt.push_back(fh);
    for (double v : xt) {
        std::snprintf(buf, sizeof buf,
                      "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\"/><text x=\"%.2f\" y=\"%.2f\" "
                      "stroke=\"none\" text-anchor=\"middle\">%.0f</text>\n",
                      X(v), Y(0) - 4, X(v), Y(0), X(v), Y(0) - 6, v);
        svg += buf;
    }
    for (double v : yt) {
        std::snprintf(buf, sizeof buf,
                      "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\"/><text x=\"%.2f\" y=\"%.2f\" "
                      "stroke=\"none\" text-anchor=\"end\">%.0f</text>\n",
                      X(0) - 4, Y(v), X(0), Y(v), X(0) - 6, Y(v) + 3, v);
        svg += buf;
    }
    svg += "</g>\n";
    if (!marker_note.empty()) {
        std::snprintf(buf, sizeof buf, "<text x=\"%.0f\" y=\"%.0f\" font-size=\"12\">%s</text>\n", L, H - 12,
                      xml_text(marker_note).c_str());
        svg += buf;
    }
    // Rows of the base grid as polylines, in the order the record holds them.
    int cols = r.rect.cols > 0 ? r.rect.cols : static_cast<int>(base.size());
    svg += "<g id=\"base-rows\" fill=\"none\" stroke=\"#1f6fd0\" stroke-width=\"1\">\n";
    for (size_t row = 0; row * cols < base.size(); ++row) {
        svg += "<polyline points=\"";
        for (size_t i = row * cols; i < std::min(base.size(), (row + 1) * cols); ++i) {
            std::snprintf(buf, sizeof buf, "%s%.2f,%.2f", i == row * cols ? "" : " ", X(base[i].x), Y(base[i].y));
            svg += buf;
        }
        svg += "\"/>\n";
    }
    svg += "</g>\n<g id=\"base-grid\" fill=\"#1f6fd0\">\n";
    for (const Pt& p : base) {
        std::snprintf(buf, sizeof buf, "<circle cx=\"%.2f\" cy=\"%.2f\" r=\"3\"/>\n", X(p.x), Y(p.y));
        svg += buf;
    }
    svg += "</g>\n<g id=\"marker-grid\" fill=\"none\" stroke=\"#d03a1f\" stroke-width=\"1.5\">\n";
    for (const Pt& p : marker) {
        std::snprintf(buf, sizeof buf, "<circle cx=\"%.2f\" cy=\"%.2f\" r=\"5\"/>\n", X(p.x), Y(p.y));
        svg += buf;
    }
    svg += "</g>\n</svg>\n";
    write_file(file, svg);
    emit({{"file", file}, {"base_points", base.size()}, {"marker_points", marker.size()}},
         "plotted " + std::to_string(base.size()) + " base points and " + std::to_string(marker.size()) +
             " marker points to " + file + "\n");
    return EXIT_OK;
}

}  // namespace orvexctl

namespace {
struct CalibArgs {
    bool edited = false, dry_run = false;
    std::string file, text;
    std::vector<std::string> values;
};
}  // namespace

void orvexctl::add_calib_commands(CLI::App& app, Action& action) {
    static CalibArgs a;
    auto* calib = app.add_subcommand("calib", "calibration records")->require_subcommand(1);
    calib->add_subcommand("show", "decode every record")->callback([&action] { action = cmd_calib_show; });
    auto* cexp = calib->add_subcommand("export", "calib export FILE.json");
    cexp->add_option("file", a.file)->required();
    cexp->callback([&action] { action = [] { return cmd_calib_export(a.file); }; });
    auto* cimp = calib->add_subcommand("import", "calib import FILE.json (or --edited FILE.json)");
    cimp->add_option("file", a.file, "a calibration export (orvexctl calib export)");
    auto* edited = cimp->add_option("--edited", a.file, "a hand-edited export: values checked instead of the checksum")
                       ->excludes(cimp->get_option("file"));
    cimp->add_flag("--dry-run", a.dry_run, "check the file against the camera and write nothing");
    cimp->callback([&action, edited] {
        a.edited = edited->count() > 0;
        action = [] {
            if (a.file.empty()) throw Failure(EXIT_USAGE, "give the file, or --edited FILE");
            return cmd_calib_import(a.file, a.edited, a.dry_run);
        };
    });
    auto* cst = calib->add_subcommand("set-sensor-type", "calib set-sensor-type TEXT (at most " + std::to_string(kMaxTypeLen) + " characters)");
    cst->add_option("text", a.text, "the sensor type, e.g. stereo-nir-640x480")->required();
    cst->add_flag("--dry-run", a.dry_run, "say what would change and write nothing");
    cst->callback([&action] { action = [] { return cmd_calib_set_sensor_type(a.text, a.dry_run); }; });
    auto* csp = calib->add_subcommand("set-params", "calib set-params VALUE... (at most " + std::to_string(kMaxParams) + " floats)");
    csp->add_option("values", a.values, "the values, decimal floating point")->required();
    csp->add_flag("--dry-run", a.dry_run, "say what would change and write nothing");
    csp->callback([&action] { action = [] { return cmd_calib_set_params(a.values, a.dry_run); }; });
    auto* cplot = calib->add_subcommand("plot", "calib plot -o FILE.svg: base grid and marker grid");
    cplot->add_option("-o,--output", a.file)->required();
    cplot->callback([&action] { action = [] { return cmd_calib_plot(a.file); }; });
}

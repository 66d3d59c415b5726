// Calibration records, as a client of libOrvexFactory: the library reads
// them (checking the identification blocks and the raw record bytes beside
// the store's decoding), validates every write once, exports and imports
// the document; the tool parses the command line and renders the results
// as text, JSON or a picture.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "factory_client.h"
#include "internal/store_layout.h"
#include "orvexctl.h"

namespace orvexctl {

namespace {

constexpr int kMaxParams = orvex_store::kMaxExtraParams;
constexpr int kMaxRows = orvex_store::kMaxRectifyRows, kMaxCols = orvex_store::kMaxRectifyCols;
constexpr size_t kMaxTypeLen = orvex_store::kMaxSensorTypeLen;
const std::string kLimits = std::to_string(kMaxRows) + " x " + std::to_string(kMaxCols);

// The result of OrvexFactory_CalibRead: {"document", "records", "unit", "image"}.
json read_calibration() {
    FactorySession s;
    OrvexFactoryResult* r = nullptr;
    int st = OrvexFactory_CalibRead(s.get(), &r);
    return s.take(st, r);
}

// A float as the records hold it: a number, or the name of a non-finite
// value the flash holds.
double num(const json& v) {
    if (v.is_number()) return v.get<double>();
    if (v == "Infinity") return INFINITY;
    if (v == "-Infinity") return -INFINITY;
    return NAN;
}
std::string fmt_float(const json& v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.7g", num(v));
    return buf;
}
std::string ints(const json& v) { return std::to_string(v.get<long long>()); }

std::string records_text(const json& r) {
    std::string t;
    t += "marker configuration (0x30000): ";
    if (const json& m = r["marker"]; !m.is_null()) {
        t += "\n  origin (" + ints(m["x0"]) + ", " + ints(m["y0"]) + "), spacing (" + ints(m["dx"]) + ", " +
             ints(m["dy"]) + "), theta " + fmt_float(m["theta"]) + "\n  " + ints(m["ncol"]) + " columns x " +
             ints(m["nrow"]) + " rows, size " + ints(m["width"]) + " x " + ints(m["height"]) +
             ", lower threshold " + ints(m["lower_threshold"]) + ", minimum area " + ints(m["min_area"]) + "\n";
    } else {
        t += "never written\n";
    }
    const json& type = r["sensor_type"];
    t += "sensor type (0x32000): " + (type.is_string() ? "\"" + type.get<std::string>() + "\"" : std::string("never written")) + "\n";
    t += "extra parameters (0x31000): ";
    if (const json& p = r["extra_params"]; !p.is_null()) {
        t += std::to_string(p.size()) + " value(s):";
        for (const auto& f : p) t += " " + fmt_float(f);
        t += "\n";
    } else {
        t += "never written\n";
    }
    t += "rectification (0x34000): ";
    if (const json& c = r["rectify"]; !c.is_null()) {
        long long rows = c["rows"].get<long long>(), cols = c["cols"].get<long long>();
        t += "\n  rotation " + fmt_float(c["rotation"]) + ", translation (" + fmt_float(c["translation_x"]) + ", " +
             fmt_float(c["translation_y"]) + "), scale " + fmt_float(c["scale"]) + "\n  padding " +
             ints(c["padding"][0]) + " " + ints(c["padding"][1]) + " " + ints(c["padding"][2]) + " " +
             ints(c["padding"][3]) + "\n  base grid " + std::to_string(rows) + " x " + std::to_string(cols) +
             (rows > kMaxRows || cols > kMaxCols ? " (beyond the " + kLimits + " limit: grid not readable)"
                                                 : " (" + std::to_string(c["base_grid"].size()) + " points)") +
             "\n";
    } else {
        t += "never written\n";
    }
    return t;
}

unsigned type_flag(bool unknown) { return unknown ? ORVEX_FACTORY_UNKNOWN_SENSOR_TYPE : 0u; }

// Writes records through the library's one validation; its result.
json calib_write(const json& records, unsigned flags) {
    FactorySession s;
    OrvexFactoryResult* r = nullptr;
    std::string text = records.dump();
    int st = OrvexFactory_CalibWrite(s.get(), text.c_str(), flags, &r);
    return s.take(st, r);
}

}  // namespace

int cmd_calib_show() {
    json c = read_calibration();
    emit({{"records", c["records"]}}, records_text(c["records"]));
    return EXIT_OK;
}

int cmd_calib_export(const std::string& file) {
    json doc;
    if (file == "-") {
        // Standard output is the tool's own: the document comes from the
        // library, the writing is the tool's.
        doc = read_calibration()["document"];
        write_file(file, doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
    } else {
        FactorySession s;
        OrvexFactoryResult* r = nullptr;
        int st = OrvexFactory_CalibExport(s.get(), file.c_str(), &r);
        doc = s.take(st, r);
    }
    emit({{"file", file}, {"checksum", doc["checksum"]}}, "exported the calibration to " + file + "\n");
    return EXIT_OK;
}

int cmd_calib_import(const std::string& file, bool edited, bool dry_run, bool unknown_type) {
    unsigned flags = (edited ? ORVEX_FACTORY_EDITED : 0u) | (dry_run ? ORVEX_FACTORY_DRY_RUN : 0u) | type_flag(unknown_type);
    json res;
    {
        FactorySession s;
        OrvexFactoryResult* r = nullptr;
        int st = OrvexFactory_CalibImport(s.get(), file.c_str(), flags, &r);
        res = s.take(st, r);
    }
    json checks = res.value("checks", json::array());
    std::string text;
    if (edited) {
        text += "checked " + file + ":\n";
        for (const auto& c : checks) text += "  " + c.get<std::string>() + "\n";
    }
    if (dry_run) {
        bool changes = res.value("changes", true);
        emit({{"file", file}, {"imported", false}, {"dry_run", true}, {"checks", checks}, {"changes", changes}},
             text + (!changes ? "the camera already holds these records; nothing would change\n"
                              : "would import the calibration from " + file + " (dry run: nothing written)\n"));
        return EXIT_OK;
    }
    emit({{"file", file}, {"imported", true}, {"checks", checks}},
         text + "imported the calibration from " + file + ", verified\n");
    return EXIT_OK;
}

int cmd_calib_set_sensor_type(const std::string& text, bool dry_run, bool unknown_type) {
    if (text.size() > kMaxTypeLen)
        throw Failure(EXIT_USAGE, "the sensor type holds at most " + std::to_string(kMaxTypeLen) + " characters");
    json res = calib_write({{"sensor_type", text}}, (dry_run ? ORVEX_FACTORY_DRY_RUN : 0u) | type_flag(unknown_type));
    if (dry_run) {
        const json& was = res["was"]["sensor_type"];
        emit({{"sensor_type", text}, {"dry_run", true}, {"was", was}},
             "would set the sensor type to \"" + text + "\" (now " +
                 (was.is_string() ? "\"" + was.get<std::string>() + "\"" : std::string("never written")) + "; dry run)\n");
        return EXIT_OK;
    }
    emit({{"sensor_type", text}}, "sensor type set to \"" + text + "\"\n");
    return EXIT_OK;
}

int cmd_calib_set_params(const std::vector<std::string>& values, bool dry_run) {
    if (values.empty() || values.size() > kMaxParams)
        throw Failure(EXIT_USAGE, "give 1 to " + std::to_string(kMaxParams) + " values");
    // Each value as written, to double: whether a float holds it is the
    // library's to say, naming the value (nan, 1e39, ...).
    json a = json::array();
    for (const auto& s : values) {
        char* end = nullptr;
        errno = 0;
        double d = std::strtod(s.c_str(), &end);
        if (s.empty() || *end) throw Failure(EXIT_USAGE, "bad number '" + s + "'");
        if (std::isnan(d)) a.push_back("NaN");
        else if (std::isinf(d)) a.push_back(d > 0 ? "Infinity" : "-Infinity");
        else a.push_back(d);
    }
    json res = calib_write({{"extra_params", a}}, dry_run ? ORVEX_FACTORY_DRY_RUN : 0u);
    const json& stored = res["records"]["extra_params"];
    size_t n = stored.is_array() ? stored.size() : 0;
    if (dry_run) {
        const json& was = res["was"]["extra_params"];
        size_t was_count = was.is_array() ? was.size() : 0;
        emit({{"extra_params", stored}, {"dry_run", true}, {"was_count", was_count}},
             "would save " + std::to_string(n) + " extra parameter(s) (now " + std::to_string(was_count) +
                 "; dry run)\n");
        return EXIT_OK;
    }
    emit({{"extra_params", stored}}, "saved " + std::to_string(n) + " extra parameter(s)\n");
    return EXIT_OK;
}

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

namespace {
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
namespace {
bool ends_with(const std::string& s, const char* tail) {
    size_t n = std::strlen(tail);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != tail[i]) return false;
    return true;
}
}  // namespace

// The plot's format follows the file's name: SVG into FILE.svg or onto
// standard output, PNG into FILE.png only through a real renderer
// (librsvg's rsvg-convert), never SVG under another name.
void check_plot_name(const std::string& file) {
    if (file == "-" || ends_with(file, ".svg")) return;
    if (!ends_with(file, ".png"))
        throw Failure(EXIT_USAGE, "the plot is SVG: name the file FILE.svg (or - for standard output), or FILE.png "
                                  "to have rsvg-convert render it");
    if (std::system("command -v rsvg-convert >/dev/null 2>&1") != 0)
        throw Failure(EXIT_USAGE, file + ": PNG needs rsvg-convert (Debian package librsvg2-bin), which is not "
                                         "installed; the plot is SVG: write it with -o FILE.svg");
}

void write_plot(const std::string& file, const std::string& svg) {
    if (!ends_with(file, ".png")) {
        write_file(file, svg);
        return;
    }
    char tmpl[] = "/tmp/orvexctl-plot-XXXXXX.svg";
    int fd = mkstemps(tmpl, 4);
    if (fd < 0) throw Failure(EXIT_FILE, std::string("cannot write a temporary SVG: ") + std::strerror(errno));
    ::close(fd);
    std::string tmp = tmpl;
    try {
        write_file(tmp, svg);
        // Rendered beside the target, then renamed over it: never half a PNG.
        std::string part = file + ".tmp." + std::to_string(getpid());
        auto quoted = [](const std::string& s) {
            std::string q = "'";
            for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
            return q + "'";
        };
        int st = std::system(("rsvg-convert -f png -o " + quoted(part) + " " + quoted(tmp)).c_str());
        if (st != 0 || std::rename(part.c_str(), file.c_str()) != 0) {
            std::remove(part.c_str());
            throw Failure(EXIT_FILE, "cannot write " + file + ": rsvg-convert failed to render the plot");
        }
    } catch (...) {
        std::remove(tmp.c_str());
        throw;
    }
    std::remove(tmp.c_str());
}

int cmd_calib_plot(const std::string& file) {
    check_plot_name(file);
    json cal = read_calibration();
    const json& r = cal["records"];
    const json& unit = cal["unit"];
    NodeIdentity node = node_identity(g_opt.device);
    struct Pt {
        double x, y;
    };
    // A base-grid pair is an image position (x, y); y grows downwards, as
    // in the image and in SVG.
    std::vector<Pt> base, marker;
    if (r["rectify"].is_object())
        for (const auto& p : r["rectify"]["base_grid"]) base.push_back({p[0].get<double>(), p[1].get<double>()});
    std::string marker_note;
    if (const json& m = r["marker"]; m.is_object()) {
        long ncol = m["ncol"].get<long>(), nrow = m["nrow"].get<long>();
        double theta = num(m["theta"]);
        if (ncol > 0 && nrow > 0 && ncol * nrow <= 10000 && std::isfinite(theta)) {
            // theta in radians, turning the grid about its origin.
            double ca = std::cos(theta), sa = std::sin(theta), x0 = m["x0"].get<double>(), y0 = m["y0"].get<double>();
            for (long row = 0; row < nrow; ++row)
                for (long col = 0; col < ncol; ++col) {
                    double dx = double(col) * m["dx"].get<double>(), dy = double(row) * m["dy"].get<double>();
                    marker.push_back({x0 + dx * ca - dy * sa, y0 + dx * sa + dy * ca});
                }
        } else {
            marker_note = "marker grid not drawable (" + std::to_string(ncol) + " x " + std::to_string(nrow) + ")";
        }
    }
    if (base.empty() && marker.empty())
        throw Failure(EXIT_REFUSED, "the camera holds no base grid and no drawable marker grid: nothing to plot" +
                                        (marker_note.empty() ? std::string() : " (" + marker_note + ")"));
    // The frame: the sensor type's image when it names one, else the
    // points' extent from the origin.
    const json& image = cal["image"];
    bool sized = image.is_object();
    int iw = sized ? image["width"].get<int>() : 0, ih = sized ? image["height"].get<int>() : 0;
    std::string type = r["sensor_type"].is_string() ? r["sensor_type"].get<std::string>() : "";
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
    // Above the frame, top down: identity, legend, the frame's subtitle, the
    // x axis' tick labels, each clear of the next.
    const double W = 900, H = 720, L = 70, T = 84, R = 30, B = 40;
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
                      (unit.is_object() ? ", unit " + unit["tag"].get<std::string>() + " " + std::to_string(unit["number"].get<int>())
                                       : ", no unit identification");
    svg += "<title>Orvex calibration of " + xml_text(who) + "</title>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text id=\"identity\" x=\"" + std::to_string(int(L)) + "\" y=\"20\" font-size=\"13\">" + xml_text(who) +
           " &#8212; plotted " + today_utc() + "</text>\n";
    std::snprintf(buf, sizeof buf,
                  "<text id=\"legend\" x=\"%.0f\" y=\"40\" font-size=\"13\"><tspan fill=\"#1f6fd0\">&#9679; base grid (%zu points, "
                  "joined row by row)</tspan>  <tspan fill=\"#d03a1f\">&#9675; marker grid (%zu points)</tspan></text>\n",
                  L, base.size(), marker.size());
    svg += buf;
    // Frame and pixel axes: ticks every power-of-ten step that gives 5 to 10.
    std::snprintf(buf, sizeof buf,
                  "<rect id=\"image-frame\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"none\" "
                  "stroke=\"black\"/>\n",
                  X(0), Y(0), fw * s, fh * s);
    svg += buf;
    svg += "<text id=\"subtitle\" x=\"" + std::to_string(int(L)) + "\" y=\"" + std::to_string(int(T - 22)) + "\" font-size=\"11\">" +
           (sized ? "image " + std::to_string(iw) + " x " + std::to_string(ih) + " pixels (sensor type " +
                        xml_text(type) + ")"
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
    int cols = r["rectify"].is_object() && r["rectify"]["cols"].get<int>() > 0 ? r["rectify"]["cols"].get<int>()
                                                                           : static_cast<int>(base.size());
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
    write_plot(file, svg);
    emit({{"file", file}, {"base_points", base.size()}, {"marker_points", marker.size()}},
         "plotted " + std::to_string(base.size()) + " base points and " + std::to_string(marker.size()) +
             " marker points to " + file + "\n");
    return EXIT_OK;
}

}  // namespace orvexctl

namespace {
struct CalibArgs {
    bool edited = false, dry_run = false, unknown_type = false;
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
    // A flag, not an option taking the file: the file is the one argument
    // wherever --edited stands (--edited --dry-run F, F --edited).
    auto* edited = cimp->add_flag("--edited", "FILE is a hand-edited export: values checked, its checksum not");
    cimp->add_flag("--dry-run", a.dry_run, "check the file against the camera and write nothing");
    cimp->add_flag("--unknown-sensor-type", a.unknown_type, "accept a sensor type that is not a known one");
    cimp->callback([&action, edited] {
        a.edited = edited->count() > 0;
        action = [] {
            if (a.file.empty()) throw Failure(EXIT_USAGE, "give the file: calib import [--edited] FILE.json");
            return cmd_calib_import(a.file, a.edited, a.dry_run, a.unknown_type);
        };
    });
    auto* cst = calib->add_subcommand("set-sensor-type", "calib set-sensor-type TEXT (a known type, e.g. stereo-nir-640x480)");
    cst->add_option("text", a.text, "the sensor type, e.g. stereo-nir-640x480 or stereo-nir-1280x800")->required();
    cst->add_flag("--dry-run", a.dry_run, "say what would change and write nothing");
    cst->add_flag("--unknown-sensor-type", a.unknown_type,
                  "store a type that is not a known one (at most " + std::to_string(kMaxTypeLen) + " characters)");
    cst->callback([&action] { action = [] { return cmd_calib_set_sensor_type(a.text, a.dry_run, a.unknown_type); }; });
    auto* csp = calib->add_subcommand("set-params", "calib set-params VALUE... (at most " + std::to_string(kMaxParams) + " floats)");
    // Values may start with '-' ("-2", "-inf"): the command line's walk
    // hands them over as values, and --dry-run may stand anywhere.
    csp->add_option("values", a.values, "the values, decimal floating point (nan, inf and 1e39 are refused naming the value)");
    csp->add_flag("--dry-run", a.dry_run, "say what would change and write nothing");
    csp->callback([&action] { action = [] { return cmd_calib_set_params(a.values, a.dry_run); }; });
    auto* cplot = calib->add_subcommand(
        "plot", "calib plot -o FILE.svg: base grid and marker grid (FILE.png through rsvg-convert, - for standard output)");
    cplot->add_option("-o,--output", a.file)->required();
    cplot->callback([&action] { action = [] { return cmd_calib_plot(a.file); }; });
}

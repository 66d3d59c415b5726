// The archive: --archive FILE (or ORVEX_ARCHIVE) has the library record
// every burn, backup, restore, verify and calibration write, and
// `orvexctl archive` reads it back, exports and imports it.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "factory_client.h"
#include "orvexctl.h"

namespace orvexctl {

std::string archive_location() {
    const char* env = std::getenv("ORVEX_ARCHIVE");
    return env ? env : "";
}

std::string line_location() {
    const char* env = std::getenv("ORVEX_LINE_ARCHIVE");
    return env ? env : "";
}

namespace {

json call(int status, OrvexFactoryResult*& r) {
    json doc = json::parse(OrvexFactory_ResultJson(r), nullptr, false);
    std::string message = OrvexFactory_ResultMessage(r);
    OrvexFactory_ResultFree(r);
    r = nullptr;
    if (status != ORVEX_FACTORY_OK) throw Failure(status, message);
    return doc.is_object() ? doc : json::object();
}

std::string where() {
    std::string w = archive_location();
    if (w.empty()) throw Failure(EXIT_USAGE, "name the archive: --archive FILE|URL or ORVEX_ARCHIVE");
    return w;
}

int cmd_status() {
    OrvexFactoryResult* r = nullptr;
    const std::string w = where();
    json d = call(OrvexFactory_ArchiveStatus(w.c_str(), &r), r);
    std::string t = "archive " + d.value("archive", w) + " (schema " + std::to_string(d.value("schema_version", 0)) +
                    ", station " + d.value("station", "") + ")\n";
    for (const char* k : {"operations", "interrupted", "failed", "units", "calibrations", "events", "pending"})
        t += std::string("  ") + k + ": " + std::to_string(d.value(k, 0L)) + "\n";
    if (d.value("line", json()).is_string()) {
        t += "  line: " + d["line"].get<std::string>() + "\n";
        t += "  last forward: " + d.value("last_forward_utc", json("never")).get<std::string>();
        const json err = d.value("last_forward_error", json());
        t += (err.is_string() ? " failed: " + err.get<std::string>() : std::string(" ok")) + "\n";
    }
    emit(d, t);
    return EXIT_OK;
}

int cmd_history(const std::string& unit) {
    OrvexFactoryResult* r = nullptr;
    const std::string w = where();
    json d = call(OrvexFactory_ArchiveHistory(w.c_str(), unit.c_str(), &r), r);
    std::string t = "unit " + unit + ": " + std::to_string(d["operations"].size()) + " operation(s)\n";
    for (const json& o : d["operations"]) {
        t += "  " + o.value("started", std::string("?")) + "  " + o.value("kind", "") + "  " + o.value("state", "");
        if (o.contains("image_name")) t += "  " + o.value("image_name", "");
        if (o.contains("exit_code") && o["exit_code"] != 0) t += "  exit " + o["exit_code"].dump();
        t += "  station " + o.value("station", "") + "\n";
    }
    t += std::to_string(d["calibrations"].size()) + " calibration(s)\n";
    for (const json& c : d["calibrations"])
        t += "  " + c.value("utc", "") + "  sha256 " + c.value("sha256", "") + (c.value("first", false) ? "  (first)" : "") +
             "\n";
    emit(d, t);
    return EXIT_OK;
}

int cmd_export(const std::string& file) {
    OrvexFactoryResult* r = nullptr;
    const std::string w = where();
    json d = call(OrvexFactory_ArchiveExport(w.c_str(), file == "-" ? "/dev/stdout" : file.c_str(), &r), r);
    if (file != "-")
        emit(d, "exported " + std::to_string(d.value("events", 0L)) + " event(s) and " +
                    std::to_string(d.value("calibrations", 0L)) + " calibration(s) to " + file + "\n");
    return EXIT_OK;
}

int cmd_import(const std::vector<std::string>& paths) {
    const std::string w = where();
    json all = json::array();
    std::string t;
    for (const std::string& p : paths) {
        OrvexFactoryResult* r = nullptr;
        json d = call(OrvexFactory_ArchiveImport(w.c_str(), p.c_str(), &r), r);
        t += p + ": " + std::to_string(d.value("added", 0L)) + " added, " +
             std::to_string(d.value("already_there", 0L)) + " already there\n";
        for (const json& s : d.value("skipped", json::array()))
            note("skipped " + s.value("file", "") + ": " + s.value("why", ""));
        all.push_back(d);
    }
    emit(json{{"imports", all}}, t);
    return EXIT_OK;
}

// Exit 5 (a transfer failed) when the line database cannot be reached or
// refuses a batch; what is left stays pending for the next sync.
int cmd_sync() {
    const std::string w = where(), line = line_location();
    OrvexFactoryResult* r = nullptr;
    const int status = OrvexFactory_ArchiveSync(w.c_str(), line.c_str(), &r);
    json d = json::parse(OrvexFactory_ResultJson(r), nullptr, false);
    if (!d.is_object()) d = json::object();
    const std::string sent = std::to_string(d.value("sent", 0L)) + " row(s) sent to " + d.value("line", line);
    if (status != ORVEX_FACTORY_OK) {
        // The error names what is still pending; a count of rows that did
        // get through is worth a note only when there are some, since
        // "0 row(s) sent, 0 still pending" above an error reads as done.
        if (d.value("sent", 0L) > 0) note(sent + " before the failure");
        call(status, r);  // throws with the library's message and status
    }
    OrvexFactory_ResultFree(r);
    emit(d, sent + ", " + (d["pending"].is_number() ? std::to_string(d.value("pending", 0L)) : std::string("?")) +
                " still pending\n");
    return EXIT_OK;
}

// A yield as a percentage, "-" for a day without burns.
std::string yield_text(const json& y) {
    if (!y.is_number()) return "-";
    char b[16];
    std::snprintf(b, sizeof b, "%.1f%%", y.get<double>() * 100);
    return b;
}

// The summary table, one row per station and day, each station's total
// after its days and the line's at the end. Station ids are long (a UUID
// unless ORVEX_STATION names it): the station column gives up width first,
// down to 8 columns, marked with '>' where it was cut; one column stays
// free as in the station table.
std::string summary_table(const json& d, size_t width) {
    const int fixed = 10 + 2 + 5 + 2 + 5 + 2 + 6 + 2 + 11 + 2 + 6;
    size_t station_width = 7;
    for (const json& r : d["rows"]) station_width = std::max(station_width, r.value("station", "").size());
    const size_t room = width > static_cast<size_t>(fixed) + 3 ? width - fixed - 3 : 0;
    station_width = std::max<size_t>(8, std::min(station_width, room));
    auto cell = [&](std::string s) {
        if (s.size() > station_width) s = s.substr(0, station_width - 1) + ">";
        return s;
    };
    auto line = [&](const std::string& station, const std::string& day, const json& t) {
        char b[512];
        std::snprintf(b, sizeof b, "%-*s  %-10s  %5ld  %5ld  %6ld  %11ld  %6s", static_cast<int>(station_width),
                      cell(station).c_str(), day.c_str(), t.value("units", 0L), t.value("burns", 0L),
                      t.value("failed_burns", 0L), t.value("interrupted", 0L), yield_text(t["yield"]).c_str());
        return std::string(b) + "\n";
    };
    char head[256];
    std::snprintf(head, sizeof head, "%-*s  %-10s  %5s  %5s  %6s  %11s  %6s\n", static_cast<int>(station_width),
                  "station", "day (UTC)", "units", "burns", "failed", "interrupted", "yield");
    std::string t = head;
    for (const json& st : d["stations"]) {
        const std::string name = st.value("station", "");
        for (const json& r : d["rows"])
            if (r.value("station", "") == name) t += line(name, r.value("day", ""), r);
        t += line(name, "total", st);
    }
    t += line("line", "total", d["line"]);
    return t;
}

// Yield per day, one line per station: days along the x axis (every day
// any station worked, in order), 0 to 100 % up the y axis. A station's
// day without burns has no point, and its line breaks there.
std::string summary_svg(const json& d) {
    std::vector<std::string> days;
    for (const json& x : d["days"]) days.push_back(x.value("day", ""));
    const double L = 60, T = 40, W = std::max<double>(320, 60.0 * days.size()), H = 240, R = 220;
    auto xpos = [&](size_t i) { return L + (days.size() > 1 ? W * i / (days.size() - 1) : W / 2); };
    auto ypos = [&](double y) { return T + H * (1 - y); };
    static const char* colours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf"};
    char b[512];
    std::snprintf(b, sizeof b,
                  "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
                  "font-family=\"sans-serif\">\n",
                  L + W + R, T + H + 60, L + W + R, T + H + 60);
    std::string svg = b;
    svg += "<title>Orvex line yield per day and station</title>\n";
    svg += "<text x=\"" + std::to_string(int(L)) + "\" y=\"20\" font-size=\"13\">yield per day (UTC) and station, " +
           xml_text(d.value("archive", "")) + "</text>\n";
    for (int p = 0; p <= 100; p += 25) {
        std::snprintf(b, sizeof b,
                      "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>"
                      "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"end\">%d%%</text>\n",
                      L, ypos(p / 100.0), L + W, ypos(p / 100.0), L - 6, ypos(p / 100.0) + 4, p);
        svg += b;
    }
    for (size_t i = 0; i < days.size(); ++i) {
        std::snprintf(b, sizeof b, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" text-anchor=\"middle\">%s</text>\n",
                      xpos(i), T + H + 18, xml_text(days[i]).c_str());
        svg += b;
    }
    size_t k = 0;
    for (const json& st : d["stations"]) {
        const std::string name = st.value("station", "");
        const char* colour = colours[k % std::size(colours)];
        std::string path;
        bool pen = false;
        std::string dots;
        for (size_t i = 0; i < days.size(); ++i) {
            const json* row = nullptr;
            for (const json& r : d["rows"])
                if (r.value("station", "") == name && r.value("day", "") == days[i]) row = &r;
            if (!row || !(*row)["yield"].is_number()) {
                pen = false;
                continue;
            }
            const double x = xpos(i), y = ypos((*row)["yield"].get<double>());
            std::snprintf(b, sizeof b, "%s%.1f %.1f ", pen ? "L" : "M", x, y);
            path += b;
            pen = true;
            std::snprintf(b, sizeof b,
                          "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3\" fill=\"%s\"><title>%s %s: %s of %ld burn(s)</title>"
                          "</circle>\n",
                          x, y, colour, xml_text(name).c_str(), xml_text(days[i]).c_str(),
                          yield_text((*row)["yield"]).c_str(), row->value("burns", 0L));
            dots += b;
        }
        svg += "<g class=\"station\" data-station=\"" + xml_text(name) + "\">\n";
        if (!path.empty())
            svg += "<path d=\"" + path + "\" fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"2\"/>\n";
        svg += dots;
        std::snprintf(b, sizeof b,
                      "<rect x=\"%.1f\" y=\"%.1f\" width=\"10\" height=\"10\" fill=\"%s\"/>"
                      "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\">",
                      L + W + 20, T + 16.0 * k, colour, L + W + 36, T + 16.0 * k + 9);
        svg += b + xml_text(name) + "</text>\n</g>\n";
        ++k;
    }
    svg += "</svg>\n";
    return svg;
}

int cmd_summary(const std::string& plot) {
    if (!plot.empty()) check_plot_name(plot);
    OrvexFactoryResult* r = nullptr;
    const std::string w = where();
    json d = call(OrvexFactory_ArchiveSummary(w.c_str(), nullptr, &r), r);
    if (!plot.empty()) {
        write_plot(plot, summary_svg(d));
        if (plot != "-") note("wrote the yield plot to " + plot);
    }
    if (plot != "-") emit(d, summary_table(d, static_cast<size_t>(terminal_width())));
    return EXIT_OK;
}

struct ArchiveArgs {
    std::string unit, file, plot;
    std::vector<std::string> paths;
};

}  // namespace

void add_archive_commands(CLI::App& app, Action& action) {
    static ArchiveArgs a;
    // The library reads the archive's name from the environment, so a
    // station command's workers record to the same archive.
    app.add_option_function<std::string>(
        "--archive", [](const std::string& w) { setenv("ORVEX_ARCHIVE", w.c_str(), 1); },
        "record burns, backups, restores, verifies and calibration writes in this archive (an SQLite file, or a "
        "line database's postgresql:// URL to write there directly; default $ORVEX_ARCHIVE)");
    app.add_option_function<std::string>(
        "--line", [](const std::string& u) { setenv("ORVEX_LINE_ARCHIVE", u.c_str(), 1); },
        "forward the archive file's rows to this line database (postgresql://...) after each operation and on "
        "`archive sync` (default $ORVEX_LINE_ARCHIVE)");
    auto* ar = app.add_subcommand("archive", "the line archive: status, sync, history UNIT, summary, export FILE, import PATH...");
    ar->require_subcommand(1);
    ar->add_subcommand("status", "counts, interrupted operations and events not yet forwarded")
        ->callback([&action] { action = [] { return cmd_status(); }; });
    ar->add_subcommand("sync", "send the rows the line database (--line) lacks; exit 5 when it cannot be reached")
        ->callback([&action] { action = [] { return cmd_sync(); }; });
    auto* h = ar->add_subcommand("history", "every operation and calibration of unit UNIT (e.g. \"OG 123\")");
    h->add_option("unit", a.unit)->required();
    h->callback([&action] { action = [] { return cmd_history(a.unit); }; });
    auto* e = ar->add_subcommand("export", "every row as JSON lines to FILE (- for standard output)");
    e->add_option("file", a.file)->required();
    e->callback([&action] { action = [] { return cmd_export(a.file); }; });
    auto* sm = ar->add_subcommand("summary", "units, burns, failures, interrupted operations and yield per station "
                                             "and UTC day, and the line's total");
    sm->add_option("--plot", a.plot, "also an SVG plot of yield per day and station to FILE.svg (- for standard output)");
    sm->callback([&action] { action = [] { return cmd_summary(a.plot); }; });
    auto* i = ar->add_subcommand("import", "JSON lines of an export, backup files or folders, or --log files");
    i->add_option("path", a.paths)->required();
    i->callback([&action] { action = [] { return cmd_import(a.paths); }; });
}

}  // namespace orvexctl

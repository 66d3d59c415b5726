// Moving an archive's rows without a network: export as JSON lines, and
// import them on another station or the line's. Import also takes what
// stations kept before there was an archive: backup documents (a file or
// a folder of them) and the --log files of orvexctl. Rows carry their
// UUID and calibrations their SHA-256, and rows made from old files get a
// UUID derived from their content, so importing the same file twice adds
// nothing.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "archive.h"
#include "archive_sha256.h"
#include "backup.h"
#include "result.h"
#include "text.h"

namespace orvex_factory {

namespace {

// A UUID made from content (the form of a name-based one, version 5 bits).
std::string content_uuid(const std::string& text) {
    std::string h = sha256_hex(text.data(), text.size()).substr(0, 32);
    h[12] = '5';
    h[16] = "89ab"[std::stoi(h.substr(16, 1), nullptr, 16) & 3];
    return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}

struct Batch {
    std::vector<json> events, calibrations;
    int lines = 0, unknown = 0;
};

// A backup document as the backup it records: one finished row, made when
// the document was.
void add_backup(Batch& b, const json& doc, const std::string& name, const std::string& station) {
    check_backup(doc, name);
    const std::string text = doc.dump();
    json e = {{"uuid", content_uuid("backup " + text)}, {"phase", "finished"}, {"kind", "backup"},
              {"station", station}, {"utc", doc.value("created", utc_now_iso())}, {"command", "imported from " + name},
              {"chip", doc["device"].value("chip_id", json())}, {"result", "ok"}, {"exit_code", 0}};
    e["operation"] = e["uuid"];
    const json unit = doc["device"].value("unit", json());
    if (unit.is_object()) {
        e["unit_tag"] = unit["tag"];
        e["unit_number"] = unit["number"];
    }
    e["firmware_before"] = doc["device"].value("firmware", json()).dump();
    json cal = calibration_row(doc, e["uuid"]);
    cal["station"] = station;
    cal["utc"] = e["utc"];
    e["calibration_sha256"] = cal["sha256"];
    b.events.push_back(e);
    b.calibrations.push_back(cal);
}

// One line of a station log (--log): a command's outcome on one camera.
void add_log_line(Batch& b, const json& l, const std::string& line, const std::string& station) {
    json e = {{"uuid", content_uuid("log " + line)}, {"phase", "finished"},
              {"kind", l.value("command", std::string("command"))}, {"station", station},
              {"utc", l.value("time", utc_now_iso())}, {"exit_code", l.value("exit_code", 0)},
              {"result", l.value("result", json())}, {"result_json", line},
              {"command", "orvexctl " + l.value("command", std::string(""))}};
    e["operation"] = e["uuid"];
    if (l.contains("camera") && l["camera"].is_object())
        for (const auto& [k, col] : {std::pair<const char*, const char*>{"node", "node"}, {"serial", "usb_serial"},
                                     {"usb_path", "usb_path"}})
            if (l["camera"].contains(k)) e[col] = l["camera"][k];
    b.events.push_back(e);
}

void add_text(Batch& b, const std::string& text, const std::string& name, const std::string& station) {
    json whole = json::parse(text, nullptr, false);
    if (whole.is_object() && whole.value("format", "") == "orvex-backup") return add_backup(b, whole, name, station);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        ++b.lines;
        json l = json::parse(line, nullptr, false);
        if (l.is_object() && l.contains("event") && l["event"].is_object() && l["event"].contains("uuid"))
            b.events.push_back(l["event"]);
        else if (l.is_object() && l.contains("calibration") && l["calibration"].is_object())
            b.calibrations.push_back(l["calibration"]);
        else if (l.is_object() && l.contains("command") && l.contains("exit_code") && l.contains("time"))
            add_log_line(b, l, line, station);
        else
            ++b.unknown;
    }
}

std::string slurp(const std::string& path) {
    Bytes b = read_file(path);
    return std::string(b.begin(), b.end());
}

}  // namespace

}  // namespace orvex_factory

using namespace orvex_factory;

extern "C" {

int OrvexFactory_ArchiveExport(const char* where, const char* file, OrvexFactoryResult** out) {
    return run(nullptr, out, [&] {
        if (!file || !*file) throw Failure(USAGE, "no file to export to");
        auto a = open_named_archive(where);
        std::string text;
        long events = 0, calibrations = 0;
        try {
            for (const json& row : a->dump()) {
                (row.contains("event") ? events : calibrations)++;
                text += row.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
            }
        } catch (const ArchiveError& e) {
            throw Failure(FILE_ERROR, e.what());
        }
        write_file(file, text);
        return json{{"file", file}, {"events", events}, {"calibrations", calibrations}};
    });
}

int OrvexFactory_ArchiveImport(const char* where, const char* path, OrvexFactoryResult** out) {
    return run(nullptr, out, [&] {
        if (!path || !*path) throw Failure(USAGE, "no file or folder to import");
        auto a = open_named_archive(where);
        std::vector<std::string> files;
        struct stat st;
        if (::stat(path, &st) != 0) throw Failure(FILE_ERROR, std::string("cannot read ") + path);
        if (S_ISDIR(st.st_mode)) {
            // A backup folder: every regular file in it, in name order.
            DIR* d = opendir(path);
            if (!d) throw Failure(FILE_ERROR, std::string("cannot read folder ") + path);
            while (dirent* e = readdir(d)) {
                std::string f = std::string(path) + "/" + e->d_name;
                if (e->d_name[0] != '.' && ::stat(f.c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(f);
            }
            closedir(d);
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(path);
        }
        Batch b;
        json skipped = json::array();
        for (const std::string& f : files) {
            try {
                add_text(b, slurp(f), f, a->station());
            } catch (const Failure& e) {
                // A damaged backup among good ones is named and passed over.
                skipped.push_back({{"file", f}, {"why", e.what()}});
            }
        }
        int added = 0;
        try {
            added = a->append(b.events, b.calibrations);
        } catch (const ArchiveError& e) {
            throw Failure(FILE_ERROR, e.what());
        }
        return json{{"path", path},
                    {"files", files.size()},
                    {"events", b.events.size()},
                    {"calibrations", b.calibrations.size()},
                    {"added", added},
                    {"already_there", static_cast<long>(b.events.size() + b.calibrations.size()) - added},
                    {"unknown_lines", b.unknown},
                    {"skipped", skipped}};
    });
}

}

// Trace files as JSON lines. The raw records ("kind": "query" / "sleep")
// come first and are what a reader loads back; the decoded conversation of
// each camera follows ("kind": "event", with a "type"), for readers that
// want the meaning without decoding the queries themselves.
#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

#include "vcam.h"

namespace vcam {
namespace {

using json = nlohmann::json;

json query_json(const QueryRecord& q) {
    return {{"kind", "query"},     {"camera", q.camera},     {"pid", q.pid},
            {"unit", q.unit},      {"selector", q.selector}, {"request", q.request},
            {"size", q.size},      {"sent", q.sent},         {"returned", q.returned},
            {"result", q.result},  {"errno", q.error},       {"at_us", q.at_us}};
}

json reg_json(const RegisterAccess& a) {
    return {{"write", a.write}, {"addr", a.addr}, {"value", a.value}, {"ok", a.ok}};
}

json event_json(const DeviceEvent& e) {
    json j = {{"kind", "event"}, {"camera", e.camera}, {"text", e.str()}};
    switch (e.kind) {
    case DeviceEvent::REGISTER:
        j["type"] = "register";
        j.update(reg_json(e.reg));
        break;
    case DeviceEvent::SPI_MODE:
        j["type"] = "spi_mode";
        j["on"] = e.reg.value != 0;
        break;
    case DeviceEvent::SPI_FRAME:
        j["type"] = "spi_frame";
        j["opcode"] = e.frame.opcode();
        j["sent"] = e.frame.sent();
        j["received"] = e.frame.received();
        j["closed"] = e.frame.closed;
        break;
    case DeviceEvent::SPI_STEP:
        j["type"] = "spi_step";
        break;
    case DeviceEvent::FLASH:
        j["type"] = "flash";
        j["read"] = e.flash.read;
        j["addr"] = e.flash.addr;
        j["len"] = e.flash.len;
        j["data"] = e.flash.data;
        j["ok"] = e.flash.ok;
        break;
    case DeviceEvent::ROM:
        j["type"] = "rom";
        j["addr"] = e.rom.addr;
        j["count"] = e.rom.count;
        j["data"] = e.rom.data;
        j["ok"] = e.rom.ok;
        break;
    case DeviceEvent::I2C:
        j["type"] = "i2c";
        j["slave"] = e.i2c.slave;
        j["read"] = e.i2c.read;
        j["sent"] = e.i2c.sent;
        j["received"] = e.i2c.received;
        j["finished"] = e.i2c.finished;
        j["failed"] = e.i2c.failed;
        j["ok"] = e.i2c.ok;
        break;
    case DeviceEvent::SLEEP:
        j["type"] = "sleep";
        j["us"] = e.sleep_us;
        break;
    case DeviceEvent::QUERY:
        j["type"] = "query";
        j["selector"] = e.query.selector;
        j["request"] = e.query.request;
        j["sent"] = e.query.sent;
        j["errno"] = e.query.error;
        break;
    }
    return j;
}

bool parse_line(const std::string& line, std::vector<TraceEvent>* out, std::string* error) {
    json j = json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("kind")) {
        *error = "not a trace record: " + line;
        return false;
    }
    try {
        const std::string kind = j.at("kind").get<std::string>();
        TraceEvent e;
        if (kind == "sleep") {
            e.kind = TraceEvent::SLEEP;
            e.sleep_us = j.at("us").get<uint64_t>();
        } else if (kind == "query") {
            QueryRecord& q = e.query;
            q.camera = j.at("camera").get<int>();
            q.pid = j.at("pid").get<int>();
            q.unit = j.at("unit").get<uint8_t>();
            q.selector = j.at("selector").get<uint8_t>();
            q.request = j.at("request").get<uint8_t>();
            q.size = j.at("size").get<uint16_t>();
            q.sent = j.at("sent").get<std::vector<uint8_t>>();
            q.returned = j.at("returned").get<std::vector<uint8_t>>();
            q.result = j.at("result").get<int>();
            q.error = j.at("errno").get<int>();
            q.at_us = j.at("at_us").get<uint64_t>();
        } else if (kind == "event") {
            return true;  // derived from the records; decoded again on demand
        } else {
            *error = "unknown record kind: " + kind;
            return false;
        }
        out->push_back(std::move(e));
        return true;
    } catch (const json::exception& x) {
        *error = std::string("malformed trace record: ") + x.what();
        return false;
    }
}

}  // namespace

bool write_trace_file(const std::string& path, const Trace& t, const std::map<int, int>& arch_of) {
    std::ofstream f(path, std::ios::trunc);
    if (!f) return false;
    std::set<int> cameras;
    for (const TraceEvent& e : t.events()) {
        if (e.kind == TraceEvent::SLEEP) {
            f << json{{"kind", "sleep"}, {"us", e.sleep_us}}.dump() << '\n';
        } else {
            f << query_json(e.query).dump() << '\n';
            cameras.insert(e.query.camera);
        }
    }
    for (int cam : cameras) {
        auto it = arch_of.find(cam);
        for (const DeviceEvent& e : t.conversation(it == arch_of.end() ? 0 : it->second, cam))
            if (e.kind != DeviceEvent::SLEEP) f << event_json(e).dump() << '\n';  // sleeps: above
    }
    f.flush();
    return static_cast<bool>(f);
}

bool read_trace_file(const std::string& path, Trace* out, std::string* error) {
    std::ifstream f(path);
    if (!f) {
        *error = "cannot read trace file " + path;
        return false;
    }
    std::vector<TraceEvent> events;
    std::string line;
    while (std::getline(f, line)) {
        if (line.empty()) continue;
        if (!parse_line(line, &events, error)) return false;
    }
    if (f.bad()) {
        *error = "cannot read trace file " + path;
        return false;
    }
    out->assign(std::move(events));
    return true;
}

}  // namespace vcam

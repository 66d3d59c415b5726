#include "spi_trace.h"

#include <cstdio>

#include "parts.h"

namespace orvex_test {
namespace {

struct Access {
    enum { W, R, SLEEP } kind;
    uint16_t addr = 0;
    uint8_t value = 0;
    bool ok = true;
    uint64_t us = 0;
};

// Register accesses and sleeps in trace order.
std::vector<Access> accesses() {
    std::vector<Access> out;
    bool pending = false;
    Access read{};
    for (const auto& e : vcam::trace().events()) {
        if (e.kind == vcam::TraceEvent::SLEEP) {
            Access s{};
            s.kind = Access::SLEEP;
            s.us = e.sleep_us;
            out.push_back(s);
            continue;
        }
        const vcam::QueryRecord& q = e.query;
        if (q.selector != 1 || q.size != 4) continue;
        if (q.request == vcam::REQ_SET_CUR && q.sent.size() == 4) {
            if (pending) {
                read.ok = false;
                out.push_back(read);
                pending = false;
            }
            Access a{};
            a.addr = static_cast<uint16_t>(q.sent[0] | (q.sent[1] << 8));
            a.ok = q.result == 0;
            if (q.sent[3] == 0xFF) {
                a.kind = Access::R;
                if (a.ok) {
                    read = a;
                    pending = true;
                } else {
                    out.push_back(a);
                }
            } else {
                a.kind = Access::W;
                a.value = q.sent[2];
                out.push_back(a);
            }
        } else if (q.request == vcam::REQ_GET_CUR && pending) {
            read.ok = q.result == 0;
            if (read.ok && q.returned.size() == 4) read.value = q.returned[2];
            out.push_back(read);
            pending = false;
        }
    }
    if (pending) {
        read.ok = false;
        out.push_back(read);
    }
    return out;
}

std::string hex(uint8_t v) {
    char b[4];
    std::snprintf(b, sizeof b, "%02X", v);
    return b;
}

std::string reg(const Access& a) {
    char b[16];
    if (a.kind == Access::W)
        std::snprintf(b, sizeof b, "W %04X=%02X", a.addr, a.value);
    else
        std::snprintf(b, sizeof b, "R %04X", a.addr);
    return b;
}

}  // namespace

std::vector<std::string> spi_log(int arch) {
    const vcam::ArchMap& m = vcam::arch_map(arch);
    std::vector<std::string> log;
    uint8_t data = 0;
    bool bad = false;  // a failed step inside the byte being sent
    for (const Access& a : accesses()) {
        std::string mark = a.ok ? "" : " !";
        if (a.kind == Access::SLEEP) {
            log.push_back("sleep " + std::to_string(a.us));
        } else if (a.kind == Access::W && a.addr == m.sf_mode) {
            log.push_back("mode " + std::to_string(a.value) + mark);
        } else if (a.kind == Access::W && a.addr == m.sf_cs && (a.value == 0 || a.value == 1)) {
            log.push_back(std::string(a.value ? "rel" : "sel") + mark);
        } else if (a.kind == Access::W && a.addr == m.sf_write_data) {
            data = a.value;
            bad = !a.ok;
            if (bad) log.push_back("tx " + hex(data) + " !");  // its trigger folds into this
        } else if (a.kind == Access::W && a.addr == m.sf_read_data && a.value == 0) {
            bad = !a.ok;
        } else if (a.kind == Access::W && a.addr == m.sf_trigger && a.value == 1) {
            if (!bad) log.push_back("tx " + hex(data) + (a.ok ? "" : " !"));
            bad = false;
        } else if (a.kind == Access::W && a.addr == m.sf_trigger && a.value == 2) {
            if (!a.ok) log.push_back("rx !");
        } else if (a.kind == Access::R && a.addr == m.sf_ready) {
            if (!a.ok) log.push_back("ready !");
        } else if (a.kind == Access::R && a.addr == m.sf_read_data) {
            log.push_back("rx " + (a.ok ? hex(a.value) : std::string("!")));
        } else {
            log.push_back(reg(a) + mark);
        }
    }
    return log;
}

std::vector<std::string> spi_frames(int arch) {
    std::vector<std::string> out;
    std::string frame;
    bool open = false;
    for (const std::string& s : spi_log(arch)) {
        if (s.rfind("sleep", 0) == 0) continue;
        if (s == "mode 1" || s == "mode 0") {
            out.push_back(s == "mode 1" ? "M1" : "M0");
        } else if (s == "sel") {
            if (open)
                frame += " |";
            open = true;
        } else if (s == "rel") {
            if (open) out.push_back(frame.size() && frame[0] == ' ' ? frame.substr(1) : frame);
            frame.clear();
            open = false;
        } else if (s.rfind("tx ", 0) == 0) {
            frame += " " + s.substr(3);
        } else if (s.rfind("rx ", 0) == 0) {
            frame += " <" + s.substr(3) + ">";
        } else {
            out.push_back(s);
        }
    }
    if (open) out.push_back((frame.size() && frame[0] == ' ' ? frame.substr(1) : frame) + " ...");
    return out;
}

size_t sleep_count(unsigned long us) {
    size_t n = 0;
    for (uint64_t s : vcam::trace().sleeps()) n += s == us;
    return n;
}

}  // namespace orvex_test

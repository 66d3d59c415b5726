#include "vcam.h"

namespace vcam {

Trace& trace() {
    static Trace t;
    return t;
}

void Trace::record_query(const QueryRecord& q) {
    TraceEvent e;
    e.kind = TraceEvent::QUERY;
    e.query = q;
    events_.push_back(std::move(e));
}

void Trace::record_sleep(uint64_t us) {
    TraceEvent e;
    e.kind = TraceEvent::SLEEP;
    e.sleep_us = us;
    events_.push_back(std::move(e));
}

std::vector<QueryRecord> Trace::queries() const {
    std::vector<QueryRecord> out;
    for (const auto& e : events_)
        if (e.kind == TraceEvent::QUERY) out.push_back(e.query);
    return out;
}

size_t Trace::query_count() const {
    size_t n = 0;
    for (const auto& e : events_) n += e.kind == TraceEvent::QUERY;
    return n;
}

std::vector<uint64_t> Trace::sleeps() const {
    std::vector<uint64_t> out;
    for (const auto& e : events_)
        if (e.kind == TraceEvent::SLEEP) out.push_back(e.sleep_us);
    return out;
}

std::vector<RegisterAccess> Trace::register_accesses() const {
    std::vector<RegisterAccess> out;
    bool pending_read = false;
    RegisterAccess read;
    for (const auto& e : events_) {
        if (e.kind != TraceEvent::QUERY) continue;
        const QueryRecord& q = e.query;
        if (q.selector != 1 || q.size != 4) continue;
        if (q.request == REQ_SET_CUR && q.sent.size() == 4) {
            if (pending_read) {  // a read whose GET_CUR never came
                read.ok = false;
                out.push_back(read);
            }
            pending_read = false;
            RegisterAccess a;
            a.addr = static_cast<uint16_t>(q.sent[0] | (q.sent[1] << 8));
            if (q.sent[3] == 0xFF) {
                a.write = false;
                a.ok = q.result == 0;
                read = a;
                pending_read = a.ok;
                if (!a.ok) out.push_back(a);
            } else {
                a.write = true;
                a.value = q.sent[2];
                a.ok = q.result == 0;
                out.push_back(a);
            }
        } else if (q.request == REQ_GET_CUR && pending_read) {
            read.ok = q.result == 0;
            if (read.ok && q.returned.size() == 4) read.value = q.returned[2];
            out.push_back(read);
            pending_read = false;
        }
    }
    if (pending_read) {
        read.ok = false;
        out.push_back(read);
    }
    return out;
}

std::vector<RegisterAccess> Trace::register_writes() const {
    std::vector<RegisterAccess> out;
    for (const auto& a : register_accesses())
        if (a.write) out.push_back(a);
    return out;
}

}  // namespace vcam

// Recording the trace: the device side calls these for every query it
// serves and every sleep a program takes.
#include "vcam.h"

namespace vcam {

Trace& trace() {
    static Trace t;
    return t;
}

QueryRecord query_record(int camera, uint8_t unit, uint8_t selector, uint8_t request,
                         uint16_t size, const uint8_t* data) {
    QueryRecord q;
    q.camera = camera;
    q.unit = unit;
    q.selector = selector;
    q.request = request;
    q.size = size;
    if (request == REQ_SET_CUR && data) q.sent.assign(data, data + size);
    return q;
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

size_t Trace::sleep_count(uint64_t us) const {
    size_t n = 0;
    for (const auto& e : events_) n += e.kind == TraceEvent::SLEEP && e.sleep_us == us;
    return n;
}

}  // namespace vcam

// Results and their C accessors.
#include "result.h"

#include <new>

namespace orvex_factory {

namespace {

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

void store(OrvexFactoryResult** out, OrvexFactoryResult r) {
    if (!out) return;
    *out = new (std::nothrow) OrvexFactoryResult(std::move(r));
}

}  // namespace

int run(Session* s, OrvexFactoryResult** out, const std::function<json()>& op) {
    if (out) *out = nullptr;
    OrvexFactoryResult r;
    json doc;
    if (s) {
        s->notes.clear();
        s->cancel = 0;
    }
    try {
        doc = op();
        if (!doc.is_object()) doc = json::object();
    } catch (const Failure& f) {
        r.status = f.status;
        r.message = failure_text(f);
        r.err = f.err;
        r.address = f.address;
        doc = f.partial.is_object() ? f.partial : json::object();
        if (!f.recovery.empty()) doc["recovery"] = f.recovery;
    } catch (const std::bad_alloc&) {
        r.status = FILE_ERROR;
        r.message = "out of memory";
    } catch (const std::exception& e) {
        r.status = FILE_ERROR;
        r.message = e.what();
    }
    try {
        if (r.status != OK) {
            doc["ok"] = false;
            doc["status"] = r.status;
            doc["error"] = r.message;
            if (r.address >= 0) doc["address"] = r.address;
        }
        if (s && !s->notes.empty()) doc["notes"] = s->notes;
        r.json_text = dump(doc);
    } catch (...) {
        r.json_text = "{}";
    }
    int status = r.status;
    store(out, std::move(r));
    return status;
}

namespace {
std::string trimmed(std::string t) {
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
    return t;
}
}  // namespace

std::string failure_text(const Failure& f) {
    std::string t = trimmed(f.what());
    if (f.status == TRANSFER) {
        std::string why = driver_reason(f.err);
        if (!why.empty() && t.find(why) == std::string::npos) t += ": " + why;
    }
    if (!f.state.empty()) t += "; " + f.state + ".";
    std::string rec = trimmed(f.recovery);
    if (!rec.empty()) t += "\n" + rec;
    return t;
}

const char* driver_reason(int err) {
    // What uvcvideo's extension-unit query answers with: ENOENT before any
    // USB traffic for a unit or selector the camera does not describe,
    // ENOBUFS when the size differs from the control's (EINVAL for a
    // request it does not know), EOVERFLOW when the camera sent more than
    // asked, EPIPE when the camera stalled, ENODEV once it is unplugged.
    switch (err) {
    case ENOENT: return "the camera has no such extension unit or selector (ENOENT)";
    case ENOBUFS: return "the size differs from the control's size (ENOBUFS)";
    case EINVAL: return "the driver refused the request or its size (EINVAL)";
    case EOVERFLOW: return "the camera answered with more bytes than the control's size (EOVERFLOW)";
    case EPIPE: return "the camera stalled the request (EPIPE)";
    case ENODEV: return "the camera is gone: unplugged or reset (ENODEV)";
    case ETIMEDOUT: return "the camera did not answer in time (ETIMEDOUT)";
    case EIO: return "input/output error on the USB transfer (EIO)";
    default: return "";
    }
}

}  // namespace orvex_factory

extern "C" {

const char* OrvexFactory_TransferReason(int err) { return orvex_factory::driver_reason(err); }
int OrvexFactory_ResultStatus(const OrvexFactoryResult* r) { return r ? r->status : ORVEX_FACTORY_USAGE; }
const char* OrvexFactory_ResultMessage(const OrvexFactoryResult* r) { return r ? r->message.c_str() : ""; }
const char* OrvexFactory_ResultJson(const OrvexFactoryResult* r) { return r ? r->json_text.c_str() : "{}"; }
LONG OrvexFactory_ResultAddress(const OrvexFactoryResult* r) { return r ? r->address : -1; }
int OrvexFactory_ResultErrno(const OrvexFactoryResult* r) { return r ? r->err : 0; }
void OrvexFactory_ResultFree(OrvexFactoryResult* r) { delete r; }

}

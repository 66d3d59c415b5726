// The session the commands share, and how a result becomes the tool's.
#include "factory_client.h"

#include <new>

#include "SFData/type_names.h"
#include "commands.h"

namespace orvexctl {

struct FactorySession::Bars {
    std::string phase;
    std::unique_ptr<Progress> bar;
    std::function<void(const char*)> hook;
    void report(const char* name, long done, long total) {
        if (hook && done == 0) hook(name);
        // A phase that has finished, restated at its end, draws nothing.
        if (!bar && phase == name && done > 0) return;
        if (!bar || phase != name || done == 0) {
            if (bar && phase == name && done == 0) return;  // the same phase restated
            if (bar) bar->finish();
            phase = name;
            bar = std::make_unique<Progress>(name, static_cast<uint64_t>(total > 0 ? total : 0));
        }
        bar->update(total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0);
        if (total > 0 && done >= total) {
            bar->finish();
            bar.reset();
        }
    }
    void drop() {
        // A phase that failed is never shown as done.
        bar.reset();
    }
};

namespace {
void on_log(void*, int level, const char* message) {
    if (level == ORVEX_FACTORY_LOG_NOTE)
        note(message);
    else
        info(message);
}
void on_progress(void* ctx, const char* phase, LONG done, LONG total) {
    try {
        static_cast<FactorySession::Bars*>(ctx)->report(phase, done, total);
    } catch (...) {
        // Called from inside the library: nothing may unwind through it.
    }
}
}  // namespace

FactorySession::FactorySession() : bars_(std::make_unique<Bars>()) {
    s_ = OrvexFactory_New(g_opt.device);
    if (!s_) throw std::bad_alloc();
    OrvexFactory_SetLog(s_, on_log, nullptr);
    OrvexFactory_SetProgress(s_, on_progress, bars_.get());
    OrvexFactory_SetWait(s_, g_opt.wait_s);
    // Phases count the queries this process issues (query_count.cpp).
    OrvexFactory_SetQueryCounter(
        s_, [](void*) { return static_cast<LONG>(queries_issued()); }, nullptr);
    OrvexFactory_SetBackupDir(s_, g_opt.backup_dir.c_str());
    OrvexFactory_SetCommand(s_, ("orvexctl" + g_opt.command).c_str());
    OrvexFactory_SetArchive(s_, archive_location().c_str());
    OrvexFactory_SetLineArchive(s_, line_location().c_str());
}

FactorySession::~FactorySession() { OrvexFactory_Free(s_); }

void FactorySession::on_phase(std::function<void(const char*)> fn) { bars_->hook = std::move(fn); }

int FactorySession::take_any(int status, OrvexFactoryResult*& r, json* doc, std::string* message) {
    if (status != ORVEX_FACTORY_OK) bars_->drop();
    *doc = json::parse(OrvexFactory_ResultJson(r), nullptr, false);
    if (doc->is_discarded()) *doc = json::object();
    *message = OrvexFactory_ResultMessage(r);
    errno = OrvexFactory_ResultErrno(r);
    OrvexFactory_ResultFree(r);
    r = nullptr;
    if (doc->contains("notes")) doc->erase("notes");
    for (const auto& b : doc->value("backups_written", json::array())) g_opt.backups_written.push_back(b);
    return status;
}

json FactorySession::take(int status, OrvexFactoryResult*& r) {
    json doc;
    std::string message;
    take_any(status, r, &doc, &message);
    if (status != ORVEX_FACTORY_OK) {
        // The result's errno is the failed transfer's; the message already
        // names the driver's reason.
        throw Failure(status, message, status == ORVEX_FACTORY_NOT_OURS || message.rfind("cannot open", 0) == 0);
    }
    return doc;
}

void check_flash_type(const std::string& name) {
    OrvexFactorySession* s = OrvexFactory_New(0);
    bool ok = s && OrvexFactory_SetFlashType(s, name.c_str());
    OrvexFactory_Free(s);
    if (ok) return;
    std::string all;
    for (int i = 1; i < orvex::kFlashTypeCount; ++i) all += std::string(i > 1 ? ", " : "") + orvex::flash_type_name(i);
    throw Failure(EXIT_USAGE, "unknown flash type '" + name + "' (one of auto, " + all + ")");
}

}  // namespace orvexctl

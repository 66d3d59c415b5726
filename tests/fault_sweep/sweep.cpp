#include "sweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

#include "orvex_test.h"

namespace sweep {
namespace {

constexpr uint32_t kSector = 0x1000;

// Standard output goes to /dev/null for the duration: the libraries print
// a line for every failed query, thousands in a sweep.
// (and standard error, where every refused open is reported).
class Silence {
public:
    Silence() {
        fflush(stdout);
        fflush(stderr);
        saved_out_ = dup(1);
        saved_err_ = dup(2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        close(null);
    }
    ~Silence() {
        fflush(stdout);
        fflush(stderr);
        dup2(saved_out_, 1);
        dup2(saved_err_, 2);
        close(saved_out_);
        close(saved_err_);
    }

private:
    int saved_out_, saved_err_;
};

struct Outcome {
    std::string cls;
    long queries = 0;
    std::vector<std::string> failures;
};

Outcome run_once(const Operation& op, std::map<std::string, std::vector<uint8_t>>& memo, Fault f,
                 long k) {
    orvex_test::reset_library_globals();
    vcam::reset();
    vcam::Camera& cam = vcam::attach(0, op.profile);
    Check check;
    if (op.open_first) check.expect(OrvexTac_Init(0) == 1, "the camera opens");
    if (op.prepare) op.prepare(cam);
    std::vector<uint8_t> before = cam.flash();
    long base = cam.query_count();
    switch (f) {
    case Fault::NONE: break;
    case Fault::FAIL:
        cam.faults().fail_query_n = base + k;
        cam.faults().fail_query_errno = EIO;
        break;
    case Fault::STALL:
        cam.faults().fail_query_n = base + k;
        cam.faults().fail_query_errno = EPIPE;
        break;
    case Fault::UNPLUG: cam.faults().unplug_after = base + k - 1; break;
    }
    Outcome o;
    {
        Silence quiet;
        Ctx r{cam, before, f == Fault::NONE, memo, check};
        o.cls = op.run(r);
    }
    o.queries = cam.query_count() - base;
    if (!op.whole_flash) {
        for (uint32_t s : changed_sectors(before, cam.flash())) {
            bool allowed = std::find(op.target_sectors.begin(), op.target_sectors.end(), s) !=
                           op.target_sectors.end();
            char buf[64];
            std::snprintf(buf, sizeof buf, "sector 0x%05X changed", s);
            check.expect(allowed, buf);
        }
    }
    if (camera_init) OrvexTac_UnInit();
    check.expect(vcam::open_descriptor_count() == 0, "no descriptor left open");
    o.failures = check.failures();
    return o;
}

}  // namespace

const char* fault_name(Fault f) {
    switch (f) {
    case Fault::NONE: return "none";
    case Fault::FAIL: return "EIO";
    case Fault::STALL: return "EPIPE";
    case Fault::UNPLUG: return "unplug";
    }
    return "?";
}

std::vector<uint8_t> bytes(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

std::vector<uint32_t> changed_sectors(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    std::vector<uint32_t> out;
    for (uint32_t s = 0; s + kSector <= a.size() && s + kSector <= b.size(); s += kSector)
        if (!std::equal(a.begin() + s, a.begin() + s + kSector, b.begin() + s)) out.push_back(s);
    return out;
}

Summary sweep(const Operation& op) {
    auto fail = [](const std::string& msg) { ADD_FAILURE() << msg; };
    Summary s;
    std::map<std::string, std::vector<uint8_t>> memo;
    Outcome clean = run_once(op, memo, Fault::NONE, 0);
    s.n = clean.queries;
    s.classes[Fault::NONE][clean.cls]++;
    for (const auto& f : clean.failures) fail(op.name + ", healthy run: " + f);
    EXPECT_GT(s.n, 0) << op.name;
    for (Fault f : {Fault::FAIL, Fault::STALL, Fault::UNPLUG}) {
        for (long k = 1; k <= s.n; ++k) {
            Outcome o = run_once(op, memo, f, k);
            s.classes[f][o.cls]++;
            for (const auto& msg : o.failures)
                fail(op.name + ", " + fault_name(f) + " at query " + std::to_string(k) + " of " +
                     std::to_string(s.n) + ": " + msg + " (outcome: " + o.cls + ")");
        }
    }
    orvex_test::reset_library_globals();
    vcam::reset();
    return s;
}

std::string describe(const std::string& name, const Summary& s) {
    std::ostringstream os;
    os << name << ": N=" << s.n;
    for (const auto& f : s.classes) {
        if (f.first == Fault::NONE) continue;
        os << "; " << fault_name(f.first) << ":";
        const char* sep = " ";
        for (const auto& c : f.second) {
            os << sep << c.first << " x" << c.second;
            sep = ", ";
        }
    }
    return os.str();
}

void report(const Operation& op) {
    Summary s = sweep(op);
    std::fprintf(stderr, "%s\n", describe(op.name, s).c_str());
}

}  // namespace sweep

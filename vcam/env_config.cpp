// Configuration of the virtual cameras, from one string:
//
//   ORVEX_VCAM="INDEX[:key=value,...][;INDEX...]"
//
// Camera keys: profile=NAME, chip=0xNN, unit=3|4, state=FILE (load the
// flash image if the file exists, save it back when the camera is closed,
// at unplug and at exit), fresh (flash all 0xFF), noid (no identification
// block: the calibration store leaves the camera alone), id2 (the block at
// its second location only), protected (flash starts write-protected),
// metadata (the driver's metadata node at INDEX+1 as well, as a UVC camera
// has it; only where no camera is configured at INDEX+1).
// Identity: serial=TEXT, usb=BUSPATH (e.g. 1-1.2), vid=0xNNNN, pid=0xNNNN;
// noserial (a USB device without a serial string, as many cheap ones are).
// Faults: unplug_after=N (queries, then ENODEV), fail_query=N[/ERRNO] (the
// Nth query fails), fail_match=KIND[/ERRNO] (every query of that kind
// fails; KIND is get, set, selN or regXXXX, joined with '+'),
// stuck=ADDR/MASK (bits of MASK at flash address ADDR stay 1 when
// programmed; repeatable), unerasable=ADDR (the 4 KiB
// sector holding ADDR survives erases). ERRNO is a number or a name such
// as EIO or EPIPE.
// Device-wide keys (any camera may carry them): latency_us=N (per query),
// real_time (queries and sleeps take wall-clock time), trace=FILE (the
// trace as JSON lines, trace.h, written when the device stops).
// An empty value attaches the default camera as /dev/video0.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "internal.h"
#include "env_config.h"
#include "images/identification.h"

namespace vcam {
namespace {

// A function-local static: a namespace-scope string would be initialised
// only after the load-time constructor has set it, and so emptied.
std::string& trace_file() {
    static std::string path;
    return path;
}

bool parse_number(const std::string& s, long* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 0);
    if (*end || errno) return false;
    *out = v;
    return true;
}

// "ADDR/MASK": an address inside the flash and a non-zero 8-bit mask.
bool parse_stuck(const std::string& s, std::map<uint32_t, uint8_t>* out) {
    size_t slash = s.find('/');
    long addr = 0, mask = 0;
    if (slash == std::string::npos || !parse_number(s.substr(0, slash), &addr) ||
        !parse_number(s.substr(slash + 1), &mask))
        return false;
    if (addr < 0 || addr >= static_cast<long>(kFlashSize) || mask <= 0 || mask > 0xFF) return false;
    (*out)[static_cast<uint32_t>(addr)] |= static_cast<uint8_t>(mask);
    return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::string cur;
    std::istringstream in(s);
    while (std::getline(in, cur, sep))
        if (!cur.empty()) parts.push_back(cur);
    return parts;
}

bool parse_errno(const std::string& s, int* out) {
    static const struct {
        const char* name;
        int value;
    } names[] = {{"EIO", EIO},       {"EPIPE", EPIPE},     {"ENODEV", ENODEV},
                 {"ETIMEDOUT", ETIMEDOUT}, {"EPROTO", EPROTO}, {"EBUSY", EBUSY},
                 {"EINVAL", EINVAL}, {"ENOENT", ENOENT},   {"EACCES", EACCES},
                 {"EAGAIN", EAGAIN}, {"EOVERFLOW", EOVERFLOW}, {"EILSEQ", EILSEQ}};
    for (const auto& n : names)
        if (s == n.name) {
            *out = n.value;
            return true;
        }
    long v;
    if (!parse_number(s, &v) || v <= 0 || v > 4095) return false;
    *out = static_cast<int>(v);
    return true;
}

// "VALUE[/ERRNO]": the value and, when given, the errno after the slash.
bool split_errno(const std::string& s, std::string* value, int* err) {
    size_t slash = s.find('/');
    *value = s.substr(0, slash);
    return slash == std::string::npos || parse_errno(s.substr(slash + 1), err);
}

}  // namespace

bool parse_query_kind(const std::string& kind, std::function<bool(const QueryRecord&)>* out) {
    int request = -1, selector = -1;
    long reg = -1;
    for (const std::string& t : split(kind, '+')) {
        long n;
        if (t == "set") request = REQ_SET_CUR;
        else if (t == "get") request = REQ_GET_CUR;
        else if (t.compare(0, 3, "sel") == 0 && parse_number(t.substr(3), &n) && n >= 0 && n < 256)
            selector = static_cast<int>(n);
        else if (t.compare(0, 3, "reg") == 0 && t.size() > 3 &&
                 parse_number("0x" + t.substr(3), &n) && n >= 0 && n <= 0xFFFF)
            reg = n;
        else
            return false;
    }
    if (request < 0 && selector < 0 && reg < 0) return false;
    // A register access starts with the SET_CUR on selector 1 that names
    // the address; failing that query fails the access.
    *out = [request, selector, reg](const QueryRecord& q) {
        if (request >= 0 && q.request != request) return false;
        if (selector >= 0 && q.selector != selector) return false;
        if (reg >= 0) {
            if (q.selector != 1 || q.request != REQ_SET_CUR || q.sent.size() < 2) return false;
            if ((q.sent[0] | (q.sent[1] << 8)) != reg) return false;
        }
        return true;
    };
    return true;
}

void write_configured_trace() {
    if (trace_file().empty()) return;
    std::map<int, int> arch_of;
    for (int index : camera_indexes()) arch_of[index] = camera(index)->profile().arch;
    if (!write_trace_file(trace_file(), trace(), arch_of))
        std::fprintf(stderr, "orvex-vcam: cannot write trace file %s\n", trace_file().c_str());
}

const std::vector<std::string>& config_keys() {
    static const std::vector<std::string> keys = {
        "profile", "chip", "unit", "state", "fresh", "noid", "id2", "protected", "metadata", "serial", "noserial", "usb",
        "vid", "pid", "unplug_after", "fail_query", "fail_match", "stuck", "unerasable",
        "latency_us", "real_time", "trace"};
    return keys;
}

namespace {

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
    return out;
}

// "0002" for camera 1.
std::string index_serial(long index) {
    char b[16];
    std::snprintf(b, sizeof b, "%04ld", index + 1);
    return b;
}

bool known_key(const std::string& key) {
    for (const auto& k : config_keys())
        if (k == key) return true;
    return false;
}

}  // namespace

bool configure_from_string(const std::string& config, std::string* error) {
    std::vector<std::string> cams = split(config, ';');
    if (cams.empty()) cams.push_back("0");
    for (const std::string& cam_spec : cams) {
        std::string index_part = cam_spec.substr(0, cam_spec.find(':'));
        std::string opts = cam_spec.find(':') == std::string::npos
                               ? std::string()
                               : cam_spec.substr(cam_spec.find(':') + 1);
        long index;
        if (!parse_number(index_part, &index) || index < 0 || index > 0xFFFF) {
            *error = "bad camera index '" + index_part +
                     "': each camera is INDEX[:key=value,...], cameras joined by ';'";
            return false;
        }
        Profile p = default_profile();
        Faults faults;
        std::string state;
        bool fresh = false;
        enum { ID_AS_BUILT, ID_NONE, ID_SECOND } id = ID_AS_BUILT;
        // The profile may come after identity keys; those win.
        std::vector<std::pair<std::string, std::string>> identity;
        for (const std::string& kv : split(opts, ',')) {
            std::string key = kv.substr(0, kv.find('='));
            std::string val = kv.find('=') == std::string::npos ? "" : kv.substr(kv.find('=') + 1);
            long n = 0;
            std::string v;
            bool ok = true;
            if (key == "profile") {
                if (!find_profile(val, &p)) {
                    *error = "unknown profile '" + val + "' (profiles: " + joined(profile_names()) + ")";
                    return false;
                }
            } else if (key == "chip" && parse_number(val, &n)) {
                p.chip_id = static_cast<uint8_t>(n);
            } else if (key == "unit" && parse_number(val, &n)) {
                p.unit_id = static_cast<uint8_t>(n);
            } else if (key == "state") {
                state = val;
            } else if (key == "fresh") {
                fresh = true;
            } else if (key == "noid") {
                id = ID_NONE;
            } else if (key == "id2") {
                id = ID_SECOND;
            } else if (key == "protected") {
                p.start_protected = true;
            } else if (key == "metadata") {
                p.metadata_node = true;
            } else if (key == "noserial") {
                identity.emplace_back(key, "");
            } else if (key == "serial" || key == "usb" || key == "vid" || key == "pid") {
                ok = !val.empty() && (key == "serial" || key == "usb" ||
                                      (parse_number(val, &n) && n >= 0 && n <= 0xFFFF));
                identity.emplace_back(key, val);
            } else if (key == "unplug_after" && parse_number(val, &n) && n >= 0) {
                faults.unplug_after = n;
            } else if (key == "fail_query") {
                ok = split_errno(val, &v, &faults.fail_query_errno) && parse_number(v, &n) && n > 0;
                faults.fail_query_n = n;
            } else if (key == "fail_match") {
                ok = split_errno(val, &v, &faults.fail_if_errno) &&
                     parse_query_kind(v, &faults.fail_if);
            } else if (key == "stuck") {
                if (!parse_stuck(val, &faults.stuck_bits)) {
                    *error = "bad stuck bits '" + val + "' (ADDR/MASK)";
                    return false;
                }
            } else if (key == "unerasable") {
                ok = parse_number(val, &n) && n >= 0 && n < static_cast<long>(kFlashSize);
                if (ok) faults.unerasable_sectors.push_back(static_cast<uint32_t>(n));
            } else if (key == "latency_us" && parse_number(val, &n) && n >= 0) {
                set_query_latency_us(static_cast<uint64_t>(n));
            } else if (key == "real_time") {
                set_real_time(true);
            } else if (key == "trace") {
                trace_file() = val;
            } else {
                ok = false;
            }
            if (!ok && !known_key(key)) {
                *error = "unknown key '" + key + "' (keys: " + joined(config_keys()) + ")";
                return false;
            }
            if (!ok) {
                *error = "bad option '" + kv + "'";
                return false;
            }
        }
        // No two cameras share a USB port, and few share a serial: one that
        // names neither gets its own from its index (camera 0 keeps the
        // profile's), as the next port of the same bus.
        const UsbIdentity usb_default;
        if (index > 0 && p.usb.serial == usb_default.serial) p.usb.serial = index_serial(index);
        if (index > 0 && p.usb.bus_path == usb_default.bus_path) p.usb.bus_path = "1-" + std::to_string(index + 1);
        for (const auto& kv : identity) {
            long n = 0;
            if (kv.first == "serial" || kv.first == "noserial") p.usb.serial = kv.second;
            else if (kv.first == "usb") p.usb.bus_path = kv.second;
            else if (parse_number(kv.second, &n) && kv.first == "vid") p.usb.vendor_id = static_cast<uint16_t>(n);
            else p.usb.product_id = static_cast<uint16_t>(n);
        }
        if (fresh) p.flash.assign(kFlashSize, 0xFF);
        if (id != ID_AS_BUILT) clear_identification(p.flash);
        if (id == ID_SECOND) write_identification(p.flash, 2, "OF", "000042");
        for (int other : camera_indexes()) {
            if (other != index && camera(other)->profile().usb.bus_path == p.usb.bus_path) {
                *error = "cameras " + std::to_string(other) + " and " + std::to_string(index) +
                         " are both on USB path " + p.usb.bus_path + " (usb=PATH tells them apart)";
                return false;
            }
        }
        Camera& cam = attach(static_cast<int>(index), p);
        cam.faults() = faults;
        if (!state.empty()) {
            FILE* f = std::fopen(state.c_str(), "rb");
            if (f) {
                std::fclose(f);
                if (!cam.load_state(state)) {
                    *error = "cannot read flash image " + state;
                    return false;
                }
            }
            set_state_file(static_cast<int>(index), state);
        }
    }
    return true;
}

}  // namespace vcam

// Answers the UVC class requests that reach the gadget: the extension unit's
// from the device model (vcam::Camera::query, the same entry the syscall
// interposer uses), the streaming interface's probe and commit controls
// from a stored record, and everything else with a stall.
//
// The UVC function hands requests over with wIndex rewritten: its low byte
// is 0 for the control interface and 1 for the streaming interface, the
// high byte is the entity (unit or terminal) id.
#ifndef ORVEX_E2E_RESPONDER_H
#define ORVEX_E2E_RESPONDER_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "vcam.h"

namespace gadget {

struct Setup {
    uint8_t bRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

// What to send back for a SETUP: a stall, the bytes of an IN data stage, or
// (for an OUT request) acceptance of wLength bytes that then arrive as a
// data event.
struct Reply {
    bool stall = false;
    std::vector<uint8_t> data;  // IN: the bytes; OUT: empty
    int accept = 0;             // OUT: bytes to receive
};

class Responder {
public:
    // now_us: a monotonic clock in microseconds. The model's busy times
    // run on its virtual clock, which here follows real time, since the
    // host program's sleeps happen in another process.
    Responder(vcam::Camera& cam, std::function<uint64_t()> now_us, FILE* log = nullptr);

    Reply setup(const Setup& s);
    // The payload of the OUT request last accepted.
    void data(const uint8_t* bytes, size_t n);

    // Requests served, refused, and model refusals of SET_CUR payloads
    // (which cannot be stalled any more once the data has arrived).
    long served() const { return served_; }
    long stalled() const { return stalled_; }
    long late_refusals() const { return late_refusals_; }

    static constexpr uint8_t kControlInterface = 0;
    static constexpr uint8_t kStreamingInterface = 1;
    static constexpr size_t kMaxPayload = 60;

private:
    Reply stall(const Setup& s, const char* why);
    Reply extension_unit(const Setup& s);
    Reply streaming(const Setup& s);
    void sync_clock();

    vcam::Camera& cam_;
    std::function<uint64_t()> now_us_;
    FILE* log_;
    uint64_t last_us_ = 0;
    bool clock_started_ = false;
    bool out_pending_ = false;
    Setup pending_;
    uint8_t probe_[48] = {};
    uint8_t commit_[48] = {};
    long served_ = 0, stalled_ = 0, late_refusals_ = 0;
};

}  // namespace gadget

#endif

#include "responder.h"

#include <cstring>

namespace gadget {
namespace {

constexpr uint8_t kTypeMask = 0x60, kTypeClass = 0x20, kDirIn = 0x80;
constexpr uint8_t kProbeControl = 1, kCommitControl = 2;

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

Responder::Responder(vcam::Camera& cam, std::function<uint64_t()> now_us, FILE* log)
    : cam_(cam), now_us_(std::move(now_us)), log_(log) {
    // Streaming parameters of the one format and frame the gadget offers:
    // format 1, frame 1, 15 frames/s, 640x360 YUYV frames.
    probe_[0] = 0x01;               // bmHint: frame interval fixed
    probe_[2] = 1;                  // bFormatIndex
    probe_[3] = 1;                  // bFrameIndex
    put32(&probe_[4], 666666);      // dwFrameInterval, 100 ns units
    put32(&probe_[18], 460800);     // dwMaxVideoFrameSize
    put32(&probe_[22], 1024);       // dwMaxPayloadTransferSize
    put32(&probe_[26], 48000000);   // dwClockFrequency
    std::memcpy(commit_, probe_, sizeof probe_);
}

void Responder::sync_clock() {
    uint64_t now = now_us_();
    if (clock_started_ && now > last_us_) vcam::advance_us(now - last_us_);
    clock_started_ = true;
    last_us_ = now;
}

Reply Responder::stall(const Setup& s, const char* why) {
    ++stalled_;
    if (log_)
        std::fprintf(log_, "orvex-gadget: stall %02x %02x wValue %04x wIndex %04x len %u: %s\n",
                     s.bRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength, why);
    Reply r;
    r.stall = true;
    return r;
}

Reply Responder::setup(const Setup& s) {
    out_pending_ = false;
    if ((s.bRequestType & kTypeMask) != kTypeClass) return stall(s, "not a class request");
    if (s.wLength > kMaxPayload) return stall(s, "longer than a request can carry");
    uint8_t interface = s.wIndex & 0xFF;
    uint8_t entity = s.wIndex >> 8;
    if (interface == kStreamingInterface) return streaming(s);
    if (interface != kControlInterface) return stall(s, "unknown interface");
    // Entity 0 is the interface itself; its request-error-code control is
    // what the driver asks after a stall. Stalling it too makes the driver
    // report the original stall as EPIPE.
    if (entity == 0) return stall(s, "interface control");
    if (entity != cam_.profile().unit_id) return stall(s, "no controls on this entity");
    return extension_unit(s);
}

Reply Responder::extension_unit(const Setup& s) {
    uint8_t unit = s.wIndex >> 8, selector = s.wValue >> 8;
    if (!(s.bRequestType & kDirIn)) {
        if (s.bRequest != vcam::REQ_SET_CUR) return stall(s, "unknown OUT request");
        out_pending_ = true;
        pending_ = s;
        ++served_;
        Reply r;
        r.accept = s.wLength;
        return r;
    }
    std::vector<uint8_t> buf(s.wLength, 0);
    sync_clock();
    int err = cam_.query(unit, selector, s.bRequest, s.wLength, buf.data());
    if (err) return stall(s, std::strerror(err));
    ++served_;
    Reply r;
    r.data = std::move(buf);
    return r;
}

void Responder::data(const uint8_t* bytes, size_t n) {
    if (!out_pending_) return;
    out_pending_ = false;
    const Setup& s = pending_;
    uint8_t interface = s.wIndex & 0xFF;
    if (interface == kStreamingInterface) {
        uint8_t* dst = (s.wValue >> 8) == kCommitControl ? commit_ : probe_;
        std::memcpy(dst, bytes, n < sizeof probe_ ? n : sizeof probe_);
        return;
    }
    std::vector<uint8_t> buf(bytes, bytes + n);
    buf.resize(s.wLength, 0);
    sync_clock();
    int err = cam_.query(s.wIndex >> 8, s.wValue >> 8, vcam::REQ_SET_CUR, s.wLength, buf.data());
    if (err) {
        // The status stage has gone by the time the payload arrives, so the
        // host sees this SET_CUR succeed.
        ++late_refusals_;
        if (log_)
            std::fprintf(log_, "orvex-gadget: SET_CUR unit %u selector %u refused by the model: %s\n",
                         s.wIndex >> 8, s.wValue >> 8, std::strerror(err));
    }
}

Reply Responder::streaming(const Setup& s) {
    uint8_t cs = s.wValue >> 8;
    if (cs != kProbeControl && cs != kCommitControl) return stall(s, "unknown streaming control");
    uint8_t* rec = cs == kCommitControl ? commit_ : probe_;
    Reply r;
    switch (s.bRequest) {
    case vcam::REQ_SET_CUR:
        if (s.bRequestType & kDirIn) return stall(s, "SET_CUR with IN direction");
        out_pending_ = true;
        pending_ = s;
        r.accept = s.wLength;
        break;
    case vcam::REQ_GET_CUR: case vcam::REQ_GET_DEF: case vcam::REQ_GET_MIN: case vcam::REQ_GET_MAX:
        if (s.wLength > sizeof probe_) return stall(s, "probe longer than the record");
        r.data.assign(rec, rec + s.wLength);
        break;
    case vcam::REQ_GET_LEN:
        if (s.wLength != 2) return stall(s, "GET_LEN size");
        r.data = {34, 0};
        break;
    case vcam::REQ_GET_INFO:
        if (s.wLength != 1) return stall(s, "GET_INFO size");
        r.data = {0x03};
        break;
    default:
        return stall(s, "unknown streaming request");
    }
    ++served_;
    return r;
}

}  // namespace gadget

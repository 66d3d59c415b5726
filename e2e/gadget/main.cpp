// orvex-gadget: runs inside the end-to-end guest. It builds a UVC gadget
// whose extension unit is answered by the virtual camera's device model,
// binds it to the dummy UDC, and serves the class requests that the host
// side's uvcvideo driver sends, until it is killed.
//
//   orvex-gadget [--profile NAME] [--udc NAME] [--node /dev/videoN] [--verbose]
//
// SIGUSR1 prints the request counters ("orvex-gadget: served N ...") to
// standard error: the guest reads them before and after a command to learn
// how many extension-unit queries it cost on the wire.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <endian.h>
#include <linux/usb/ch9.h>
#include <linux/usb/g_uvc.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "configfs.h"
#include "responder.h"
#include "vcam.h"

namespace {

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_report = 0;
void on_signal(int) { g_stop = 1; }
void on_report(int) { g_report = 1; }

uint64_t monotonic_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

int usage() {
    std::fprintf(stderr, "usage: orvex-gadget [--profile NAME] [--udc NAME] [--node /dev/videoN] [--verbose]\n");
    return 2;
}

bool send(int fd, const gadget::Reply& r) {
    uvc_request_data resp;
    std::memset(&resp, 0, sizeof resp);
    if (r.stall) {
        resp.length = -EL2HLT;
    } else if (r.accept) {
        resp.length = r.accept;
    } else {
        resp.length = static_cast<int32_t>(r.data.size());
        std::memcpy(resp.data, r.data.data(), r.data.size());
    }
    if (ioctl(fd, UVCIOC_SEND_RESPONSE, &resp) < 0) {
        std::fprintf(stderr, "orvex-gadget: UVCIOC_SEND_RESPONSE: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string profile_name = "unit4", node;
    gadget::GadgetConfig cfg;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--verbose") {
            verbose = true;
        } else if ((a == "--profile" || a == "--udc" || a == "--node") && i + 1 < argc) {
            std::string v = argv[++i];
            if (a == "--profile") profile_name = v;
            else if (a == "--udc") cfg.udc = v;
            else node = v;
        } else {
            return usage();
        }
    }
    vcam::Profile profile;
    if (!vcam::find_profile(profile_name, &profile)) {
        std::fprintf(stderr, "orvex-gadget: unknown profile '%s'\n", profile_name.c_str());
        return 2;
    }
    vcam::Camera& cam = vcam::attach(0, profile);

    std::string error;
    if (!gadget::build_gadget(cfg, &error)) {
        std::fprintf(stderr, "orvex-gadget: %s\n", error.c_str());
        return 1;
    }
    if (node.empty()) node = gadget::find_gadget_node(cfg.udc);
    if (node.empty()) {
        std::fprintf(stderr, "orvex-gadget: no video node below %s\n", cfg.udc.c_str());
        return 1;
    }
    int fd = open(node.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        std::fprintf(stderr, "orvex-gadget: open %s: %s\n", node.c_str(), std::strerror(errno));
        return 1;
    }
    // Subscribing to SETUP connects the function to the bus, so the data
    // events must be subscribed first.
    const unsigned events[] = {UVC_EVENT_CONNECT, UVC_EVENT_DISCONNECT, UVC_EVENT_STREAMON,
                               UVC_EVENT_STREAMOFF, UVC_EVENT_DATA, UVC_EVENT_SETUP};
    for (unsigned type : events) {
        v4l2_event_subscription sub;
        std::memset(&sub, 0, sizeof sub);
        sub.type = type;
        if (ioctl(fd, VIDIOC_SUBSCRIBE_EVENT, &sub) < 0) {
            std::fprintf(stderr, "orvex-gadget: subscribe %#x: %s\n", type, std::strerror(errno));
            return 1;
        }
    }
    std::fprintf(stderr, "orvex-gadget: serving profile %s (unit %u) on %s\n", profile.name.c_str(),
                 profile.unit_id, node.c_str());

    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    // Without SA_RESTART, so that the signal ends the poll and the report
    // follows at once.
    struct sigaction report {};
    report.sa_handler = on_report;
    sigemptyset(&report.sa_mask);
    sigaction(SIGUSR1, &report, nullptr);
    gadget::Responder responder(cam, monotonic_us, verbose ? stderr : nullptr);
    while (!g_stop) {
        if (g_report) {
            g_report = 0;
            std::fprintf(stderr, "orvex-gadget: served %ld stalled %ld\n", responder.served(),
                         responder.stalled());
        }
        pollfd p = {fd, POLLPRI, 0};
        int n = poll(&p, 1, 1000);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "orvex-gadget: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (n <= 0) continue;
        v4l2_event ev;
        std::memset(&ev, 0, sizeof ev);
        if (ioctl(fd, VIDIOC_DQEVENT, &ev) < 0) continue;
        auto* uev = reinterpret_cast<uvc_event*>(&ev.u.data);
        switch (ev.type) {
        case UVC_EVENT_SETUP: {
            gadget::Setup s;
            s.bRequestType = uev->req.bRequestType;
            s.bRequest = uev->req.bRequest;
            s.wValue = le16toh(uev->req.wValue);
            s.wIndex = le16toh(uev->req.wIndex);
            s.wLength = le16toh(uev->req.wLength);
            send(fd, responder.setup(s));
            break;
        }
        case UVC_EVENT_DATA: {
            int32_t len = uev->data.length;
            if (len < 0) len = 0;
            if (len > static_cast<int32_t>(sizeof uev->data.data)) len = sizeof uev->data.data;
            responder.data(uev->data.data, static_cast<size_t>(len));
            break;
        }
        case UVC_EVENT_CONNECT:
            if (verbose) std::fprintf(stderr, "orvex-gadget: connected\n");
            break;
        case UVC_EVENT_DISCONNECT:
            if (verbose) std::fprintf(stderr, "orvex-gadget: disconnected\n");
            break;
        default:
            break;
        }
    }
    std::fprintf(stderr, "orvex-gadget: %ld requests served, %ld stalled, %ld SET_CUR payloads refused late\n",
                 responder.served(), responder.stalled(), responder.late_refusals());
    close(fd);
    return 0;
}

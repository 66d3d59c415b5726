#include "device_client.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "device_protocol.h"
#include "internal.h"

namespace vcam {
namespace {

// One connection per process. A forked child opens its own: sharing the
// parent's would mix the two programs' replies.
struct Connection {
    std::mutex lock;
    std::string path;
    int fd = -1;
    pid_t owner = 0;

    bool connect_now() {
        if (fd >= 0 && owner == getpid()) return true;
        bool inherited = owner != 0 && owner != getpid();
        if (fd >= 0) ::close(fd);  // the parent's, inherited
        fd = -1;
        sockaddr_un addr{};
        if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) return false;
        if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(s);
            return false;
        }
        fd = s;
        owner = getpid();
        if (inherited) adopt_inherited();
        return true;
    }

    // This process's share of the descriptors a fork handed it.
    void adopt_inherited() {
        for (int index : bound_indexes()) {
            DeviceRequest rq{};
            rq.op = DeviceOp::ADOPT;
            rq.index = index;
            rq.pid = static_cast<int32_t>(getpid());
            DeviceReply rp{};
            if (!exchange(rq, nullptr, &rp, nullptr)) return;
        }
    }

    bool exchange(const DeviceRequest& rq, const uint8_t* out, DeviceReply* rp, uint8_t* in) {
        bool ok = send_message(fd, &rq, sizeof rq, out, out ? rq.size : 0) &&
                  recv_message(fd, rp, sizeof *rp, in, in ? rq.size : 0,
                               [](const void* h) -> size_t { return static_cast<const DeviceReply*>(h)->size; });
        if (!ok) {
            ::close(fd);
            fd = -1;
        }
        return ok;
    }

    // One round trip; false when the device cannot be reached.
    bool call(const DeviceRequest& rq, const uint8_t* out, DeviceReply* rp, uint8_t* in) {
        std::lock_guard<std::mutex> g(lock);
        return connect_now() && exchange(rq, out, rp, in);
    }
};

Connection& connection() {
    static Connection* c = new Connection;  // outlives every exit handler
    return *c;
}

DeviceRequest request(DeviceOp op, int index) {
    DeviceRequest rq{};
    rq.op = op;
    rq.index = index;
    rq.pid = static_cast<int32_t>(getpid());
    return rq;
}

}  // namespace

void set_device_socket(const std::string& path) {
    Connection& c = connection();
    std::lock_guard<std::mutex> g(c.lock);
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
    c.path = path;
}

bool device_is_remote() { return !connection().path.empty(); }

void connection_before_fork() { connection().lock.lock(); }

void connection_after_fork(bool in_child) {
    Connection& c = connection();
    if (!in_child) {
        c.lock.unlock();
        return;
    }
    new (&c.lock) std::mutex;  // the parent's thread held it
    // Connect now when the child holds a camera open: its share counts
    // from the fork, whatever it does first.
    if (!c.path.empty() && c.owner != 0 && !bound_indexes().empty()) {
        std::lock_guard<std::mutex> g(c.lock);
        c.connect_now();
    }
}

int remote_open(int index, int flags) {
    DeviceRequest rq = request(DeviceOp::OPEN, index);
    rq.flags = flags;
    DeviceReply rp{};
    if (!connection().call(rq, nullptr, &rp, nullptr)) return ENOENT;
    return rp.error;
}

int remote_close(int index) {
    DeviceReply rp{};
    if (!connection().call(request(DeviceOp::CLOSE, index), nullptr, &rp, nullptr)) return 0;
    return rp.error;
}

int remote_query(int index, uint8_t unit, uint8_t selector, uint8_t request_code, uint16_t size,
                 uint8_t* data) {
    DeviceRequest rq = request(DeviceOp::QUERY, index);
    rq.unit = unit;
    rq.selector = selector;
    rq.request = request_code;
    rq.size = size;
    // A null buffer travels as its size alone: the device makes the checks
    // that come before the copy and then answers EFAULT, as the driver does.
    if (!data) rq.flags = QUERY_NULL_BUFFER;
    DeviceReply rp{};
    if (!connection().call(rq, data, &rp, data)) return ENODEV;
    if (rp.flags & REPLY_SLEEP_LOCALLY) real_sleep_us(rp.wait_us);
    return rp.error;
}

void remote_sleep(uint64_t us) {
    DeviceRequest rq = request(DeviceOp::SLEEP, -1);
    rq.us = us;
    DeviceReply rp{};
    if (!connection().call(rq, nullptr, &rp, nullptr) || (rp.flags & REPLY_SLEEP_LOCALLY))
        real_sleep_us(us);
}

}  // namespace vcam

#include "device_server.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <vector>

#include "device_protocol.h"
#include "internal.h"

namespace vcam {
namespace {

int g_signal_pipe[2] = {-1, -1};

void on_signal(int sig) {
    int saved = errno;
    char b = static_cast<char>(sig);
    (void)!write(g_signal_pipe[1], &b, 1);
    errno = saved;
}

// Video indexes a connected program holds open, with their counts: what
// the kernel would release when the program ends without closing them.
using Opens = std::map<int, int>;

void release_all(Opens& opens) {
    for (auto& o : opens)
        for (int i = 0; i < o.second; ++i) device_release(o.first);
    opens.clear();
}

// Serves one request; false when the program has gone.
bool serve_request(int fd, Opens& opens) {
    DeviceRequest rq{};
    // The largest body a request can carry; a query's answer comes back in
    // the same buffer.
    static std::vector<uint8_t> data(UINT16_MAX);
    if (!recv_message(fd, &rq, sizeof rq, data.data(), data.size(), [](const void* h) -> size_t {
            const DeviceRequest* r = static_cast<const DeviceRequest*>(h);
            bool no_buffer = r->op == DeviceOp::QUERY && (r->flags & QUERY_NULL_BUFFER);
            return no_buffer ? 0 : r->size;
        }))
        return false;
    bool null_buffer = rq.op == DeviceOp::QUERY && (rq.flags & QUERY_NULL_BUFFER);
    DeviceReply rp{};
    switch (rq.op) {
    case DeviceOp::OPEN:
        rp.error = device_open(rq.index, rq.flags);
        if (rp.error == 0) ++opens[rq.index];
        break;
    case DeviceOp::CLOSE:
        rp.error = device_close(rq.index);
        // A close of a descriptor this program did not open here (inherited
        // across fork) is the parent's; its count stays.
        if (rp.error == 0 && opens[rq.index] > 0 && --opens[rq.index] == 0) opens.erase(rq.index);
        break;
    case DeviceOp::ADOPT:
        // One more holder of an open file: released at its last close.
        rp.error = device_adopt(rq.index);
        if (rp.error == 0) ++opens[rq.index];
        break;
    case DeviceOp::QUERY:
        // In real time each camera is its own bus: the latency is waited by
        // the program that asked, not here, where it would stall the others.
        defer_real_waits(real_time());
        rp.error = device_query(rq.index, rq.pid, rq.unit, rq.selector, rq.request, rq.size,
                                null_buffer ? nullptr : data.data());
        defer_real_waits(false);
        rp.wait_us = static_cast<uint32_t>(take_deferred_us());
        if (rp.wait_us) rp.flags |= REPLY_SLEEP_LOCALLY;
        if (rp.error == 0 && rq.request == REQ_GET_CUR) rp.size = rq.size;
        break;
    case DeviceOp::SLEEP:
        // In real time the program waits itself: the device goes on
        // serving the others meanwhile.
        if (real_time()) {
            trace().record_sleep(rq.us);
            rp.flags = REPLY_SLEEP_LOCALLY;
        } else {
            device_sleep(rq.us);
        }
        break;
    default:
        rp.error = EINVAL;
    }
    return send_message(fd, &rp, sizeof rp, data.data(), rp.size);
}

}  // namespace

// Programs and scripts start the moment the socket file appears, and bind()
// creates it before listen() accepts anyone: a program connecting between
// the two would be refused. So the socket is bound and listening under a
// temporary name first, then renamed into place (unless that name would
// not fit a socket address).
int listen_device_socket(const std::string& path, std::string* error) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        *error = "socket path too long: " + path;
        return -1;
    }
    std::string bound = path + ".new" + std::to_string(getpid());
    if (bound.size() >= sizeof addr.sun_path) bound = path;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, bound.c_str(), bound.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    unlink(bound.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0 ||
        (bound != path && rename(bound.c_str(), path.c_str()) != 0)) {
        *error = "cannot listen on " + path + ": " + std::strerror(errno);
        if (bound != path) unlink(bound.c_str());
        close(fd);
        return -1;
    }
    return fd;
}

void serve_device(int listen_fd) {
    if (pipe2(g_signal_pipe, O_CLOEXEC) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &sa, nullptr);
        sigaddset(&stop_signals, sig);
    }
    signal(SIGPIPE, SIG_IGN);
    // A launcher blocks them until this point (a stop asked for earlier is
    // taken now, through the handler).
    sigprocmask(SIG_UNBLOCK, &stop_signals, nullptr);

    std::map<int, Opens> clients;
    for (;;) {
        std::vector<pollfd> fds = {{g_signal_pipe[0], POLLIN, 0}, {listen_fd, POLLIN, 0}};
        for (auto& c : clients) fds.push_back({c.first, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents) break;
        if (fds[1].revents & POLLIN) {
            int c = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) clients[c];
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            int c = fds[i].fd;
            if (!serve_request(c, clients[c])) {
                release_all(clients[c]);
                clients.erase(c);
                close(c);
            }
        }
    }
    for (auto& c : clients) {
        release_all(c.second);
        close(c.first);
    }
    persist_all();
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
    close(g_signal_pipe[0]);
    close(g_signal_pipe[1]);
}

}  // namespace vcam

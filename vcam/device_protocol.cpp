#include "device_protocol.h"

#include <cerrno>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace vcam {
namespace {

// The iovecs covering [from, end) of head followed by body.
int remaining(iovec* iov, void* head, size_t head_n, void* body, size_t body_n, size_t from) {
    int n = 0;
    if (from < head_n) {
        iov[n++] = {static_cast<char*>(head) + from, head_n - from};
        from = head_n;
    }
    if (body_n > from - head_n) iov[n++] = {static_cast<char*>(body) + (from - head_n), body_n - (from - head_n)};
    return n;
}

}  // namespace

bool send_message(int fd, const void* head, size_t head_n, const void* body, size_t body_n) {
    for (size_t sent = 0; sent < head_n + body_n;) {
        iovec iov[2];
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(
            remaining(iov, const_cast<void*>(head), head_n, const_cast<void*>(body), body_n, sent));
        ssize_t w = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        sent += static_cast<size_t>(w);
    }
    return true;
}

bool recv_message(int fd, void* head, size_t head_n, void* body, size_t body_cap,
                  size_t (*body_len)(const void* head)) {
    size_t got = 0, want = 0;
    bool known = false;
    while (!known || got < want) {
        iovec iov[2];
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(remaining(iov, head, head_n, body, known ? want - head_n : body_cap, got));
        ssize_t r = ::recvmsg(fd, &msg, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
        if (!known && got >= head_n) {
            size_t b = body_len(head);
            if (b > body_cap) return false;
            want = head_n + b;
            known = true;
        }
        if (known && got > want) return false;
    }
    return true;
}

}  // namespace vcam

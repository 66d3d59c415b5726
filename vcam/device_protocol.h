// Messages between a program's interposer and the device process, over a
// Unix stream socket. Both ends are built from this tree and run on one
// machine, so the structs travel as they are in memory. Each request gets
// exactly one reply; the device serves requests one at a time, in the order
// they reach it, which is how queries of several programs interleave.
#ifndef ORVEX_VCAM_DEVICE_PROTOCOL_H
#define ORVEX_VCAM_DEVICE_PROTOCOL_H

#include <cstddef>
#include <cstdint>

namespace vcam {

// Environment of a program served by a device process.
constexpr const char* kSocketEnv = "ORVEX_VCAM_SOCKET";
constexpr const char* kRootEnv = "ORVEX_VCAM_ROOT";

enum class DeviceOp : uint32_t {
    OPEN = 1,   // index, flags
    CLOSE = 2,  // index
    QUERY = 3,  // index, unit, selector, request, size + data
    SLEEP = 4,  // us
    ADOPT = 5,  // index: a forked child holds a descriptor its parent opened
};

struct DeviceRequest {
    DeviceOp op;
    int32_t index;
    int32_t pid;
    int32_t flags;
    uint64_t us;
    uint8_t unit, selector, request;
    uint16_t size;  // bytes of data that follow
};

enum : int32_t {
    QUERY_NULL_BUFFER = 1,  // QUERY flags: the program passed no buffer
};

enum : uint32_t {
    REPLY_SLEEP_LOCALLY = 1,  // real time: the program waits (SLEEP: its sleep; QUERY: wait_us)
};

struct DeviceReply {
    int32_t error;   // 0 or an errno (OPEN: ENXIO, no virtual camera there)
    uint32_t flags;
    uint16_t size;   // bytes of data that follow (QUERY)
    uint32_t wait_us;  // QUERY with REPLY_SLEEP_LOCALLY: the transfer's latency, waited here
};

// Whole-message I/O on a stream socket; false when the peer is gone.
// A message is a fixed header and the body its header announces, written
// with one system call and usually read with one: a query's cost is mostly
// these calls and the switches between the two processes.
bool send_message(int fd, const void* head, size_t head_n, const void* body, size_t body_n);
// body_len(head) gives the body's length once the header is in; a body
// longer than body_cap, or bytes beyond the message, fail. Each side waits
// for the answer before it sends again, so nothing follows a message.
bool recv_message(int fd, void* head, size_t head_n, void* body, size_t body_cap,
                  size_t (*body_len)(const void* head));

}  // namespace vcam

#endif

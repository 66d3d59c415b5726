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
bool send_all(int fd, const void* data, size_t n);
bool recv_all(int fd, void* data, size_t n);

}  // namespace vcam

#endif

// Counts the extension-unit queries this process issues, so a burn can say
// what each phase cost in the unit that matters on USB (each query is one
// control transfer, about a millisecond on real hardware). The libraries'
// ioctl calls resolve to this definition first; it counts the UVC
// extension-unit queries and hands every call on unchanged.
#include <dlfcn.h>
#include <linux/uvcvideo.h>

#include <atomic>
#include <cstdarg>

#include "orvexctl.h"

namespace {
std::atomic<uint64_t> g_queries{0};
using ioctl_fn = int (*)(int, unsigned long, void*);
}  // namespace

uint64_t orvexctl::queries_issued() { return g_queries.load(std::memory_order_relaxed); }

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (request == UVCIOC_CTRL_QUERY) g_queries.fetch_add(1, std::memory_order_relaxed);
    static const ioctl_fn next = reinterpret_cast<ioctl_fn>(dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, arg);
}

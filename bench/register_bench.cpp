// CPU cost of one register read and write through the library against the
// virtual camera, beside the same queries issued as bare ioctl calls. The
// difference is what the library adds on top of the transport.
#include <benchmark/benchmark.h>
#include <linux/uvcvideo.h>
#include <sys/ioctl.h>

#include "OrvexTac.h"
#include "vcam.h"

namespace {

void open_default() {
    if (camera_init) OrvexTac_UnInit();
    vcam::reset();
    vcam::attach(0);
    OrvexTac_Init(0);
}

int bare_query(uint8_t request, uint8_t* data) {
    uvc_xu_control_query q{};
    q.unit = 3;
    q.selector = 1;
    q.query = request;
    q.size = 4;
    q.data = data;
    return ioctl(fd, UVCIOC_CTRL_QUERY, &q);
}

void BM_LibraryRegisterRead(benchmark::State& state) {
    open_default();
    BYTE v;
    for (auto _ : state) {
        OV_ReadFromASIC(0x101F, &v);
        benchmark::DoNotOptimize(v);
        vcam::trace().clear();
    }
}
BENCHMARK(BM_LibraryRegisterRead);

void BM_BareIoctlRegisterRead(benchmark::State& state) {
    open_default();
    for (auto _ : state) {
        uint8_t d[4] = {0x1F, 0x10, 0x00, 0xFF};
        bare_query(0x01, d);
        bare_query(0x81, d);
        benchmark::DoNotOptimize(d[2]);
        vcam::trace().clear();
    }
}
BENCHMARK(BM_BareIoctlRegisterRead);

void BM_LibraryRegisterWrite(benchmark::State& state) {
    open_default();
    for (auto _ : state) {
        OV_WriteToASIC(0x2000, 0x5A);
        vcam::trace().clear();
    }
}
BENCHMARK(BM_LibraryRegisterWrite);

void BM_BareIoctlRegisterWrite(benchmark::State& state) {
    open_default();
    for (auto _ : state) {
        uint8_t d[4] = {0x00, 0x20, 0x5A, 0x00};
        bare_query(0x01, d);
        vcam::trace().clear();
    }
}
BENCHMARK(BM_BareIoctlRegisterWrite);

}  // namespace

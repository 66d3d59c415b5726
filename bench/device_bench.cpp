// Cost of one register read through the library when the camera is in the
// program's own process, beside the same read forwarded to a device
// process over its socket (the launcher's default). The ratio of the two is
// what sharing one device between programs costs per query.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "OrvexTac.h"
#include "device_client.h"
#include "device_server.h"
#include "vcam.h"

namespace {

void BM_InProcessRegisterRead(benchmark::State& state) {
    if (camera_init) OrvexTac_UnInit();
    vcam::reset();
    vcam::attach(0);
    OrvexTac_Init(0);
    BYTE v;
    for (auto _ : state) {
        OV_ReadFromASIC(0x101F, &v);
        benchmark::DoNotOptimize(v);
        vcam::trace().clear();
    }
    OrvexTac_UnInit();
}
BENCHMARK(BM_InProcessRegisterRead);

void BM_ForwardedRegisterRead(benchmark::State& state) {
    if (camera_init) OrvexTac_UnInit();
    vcam::reset();
    std::string socket = "/tmp/orvex-bench-" + std::to_string(getpid()) + ".sock", error;
    int listen_fd = vcam::listen_device_socket(socket, &error);
    if (listen_fd < 0) {
        state.SkipWithError(error.c_str());
        return;
    }
    pid_t device = fork();
    if (device == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives a benchmark that was stopped
        vcam::attach(0);
        vcam::serve_device(listen_fd);
        _exit(0);
    }
    close(listen_fd);
    vcam::set_device_socket(socket);
    OrvexTac_Init(0);
    BYTE v;
    for (auto _ : state) {
        OV_ReadFromASIC(0x101F, &v);
        benchmark::DoNotOptimize(v);
    }
    OrvexTac_UnInit();
    vcam::set_device_socket("");
    kill(device, SIGTERM);
    waitpid(device, nullptr, 0);
    unlink(socket.c_str());
}
BENCHMARK(BM_ForwardedRegisterRead);

}  // namespace

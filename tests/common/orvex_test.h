// Shared fixture of the test executables: every test starts with a fresh
// default camera at /dev/video0 (unless it attaches its own), the library's
// globals at their initial values and an empty trace.
#ifndef ORVEX_TEST_H
#define ORVEX_TEST_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OrvexTac.h"
#include "vcam.h"

namespace orvex_test {

// Puts every exported global of libOrvexBase back to its initial value,
// closing a camera left open by an earlier test first.
void reset_library_globals();

// Captures standard output and standard error of a piece of code.
struct Output {
    std::string out;
    std::string err;
};
template <class F> Output capture(F&& f) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    f();
    Output o;
    fflush(stdout);
    fflush(stderr);
    o.out = ::testing::internal::GetCapturedStdout();
    o.err = ::testing::internal::GetCapturedStderr();
    return o;
}

// What a query means, for fault predicates (fail_if), by the trace's own
// decoders: a register access (a write of value, when value >= 0), a flash
// program, a ROM fetch at an address.
inline bool accesses_register(const vcam::QueryRecord& q, uint16_t addr, int value = -1) {
    vcam::RegisterAccess a;
    if (!vcam::as_register_access(q, &a) || a.addr != addr) return false;
    return value < 0 || (a.write && a.value == value);
}
inline bool programs_flash(const vcam::QueryRecord& q) {
    vcam::FlashTransfer f;
    return vcam::as_flash_request(q, &f) && !f.read;
}
inline bool fetches_rom(const vcam::QueryRecord& q, uint16_t addr) {
    vcam::RomFetch r;
    return vcam::as_rom_request(q, &r) && r.addr == addr;
}

// Output of programs started through the emulator (cross builds: commands
// prefixed with ORVEX_RUN_PREFIX) without the lines in which the host's
// loader, starting the emulator itself, refuses the target's preloaded
// virtual-camera library. The emulated program does load it. Natively the
// output is returned unchanged.
std::string without_emulator_noise(const std::string& out);

// Runs a shell command; its standard output, and its wait status in STATUS.
std::string run_shell(const std::string& cmd, int* status);

// True in cross builds, where the test programs run under qemu-user. The
// emulator this suite runs under spins in the target's C library as soon
// as a target program forks or starts a thread; tests that need either
// are run by the native and sanitizer builds (and the ARM guest covers the
// tool on the real driver).
inline bool emulated() { return *ORVEX_RUN_PREFIX != 0; }

class CameraTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Attaches a camera at /dev/video0 with this profile (replacing the
    // default one) and opens it through the library.
    vcam::Camera& open_camera(const vcam::Profile& p = vcam::default_profile());
    vcam::Camera& cam() { return *vcam::camera(0); }
};

}  // namespace orvex_test

#endif

// A program's side of a shared device: the interposer forwards opens,
// closes, queries and sleeps on virtual cameras to the device process whose
// socket ORVEX_VCAM_SOCKET names.
#ifndef ORVEX_VCAM_DEVICE_CLIENT_H
#define ORVEX_VCAM_DEVICE_CLIENT_H

#include <cstdint>
#include <string>

namespace vcam {

// Use the device process at path from now on ("" returns to in-process
// cameras). Set from the environment when the library loads.
void set_device_socket(const std::string& path);
bool device_is_remote();

// As device_open and friends, answered by the device process. A device
// that cannot be reached answers as a camera that is gone: ENOENT on open,
// ENODEV on a query.
int remote_open(int index, int flags);
int remote_close(int index);
int remote_query(int index, uint8_t unit, uint8_t selector, uint8_t request, uint16_t size,
                 uint8_t* data);
void remote_sleep(uint64_t us);

// Fork handlers (called from the model's, registry.cpp, in that order).
// A child starts with an unlocked connection of its own and tells the
// device process about every descriptor it inherited: the kernel counts a
// forked child among the holders of an open file, so the camera stays open
// until the last of them closes it or ends.
void connection_before_fork();
void connection_after_fork(bool in_child);

}  // namespace vcam

#endif

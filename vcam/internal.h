// Pieces of the virtual camera shared between its own files.
#ifndef ORVEX_VCAM_INTERNAL_H
#define ORVEX_VCAM_INTERNAL_H

#include <mutex>

#include "vcam.h"

namespace vcam {

void reset_clock();
void real_sleep_us(uint64_t us);  // wall-clock wait, whatever the mode
// While deferred, real-time waits add up instead of blocking: the device
// process hands a query's latency back to the program that asked, so one
// camera's transfer never holds up another camera's.
void defer_real_waits(bool on);
uint64_t take_deferred_us();
// Saves every camera that has a state file (exit, signals).
void persist_all();

// One lock for the model and the descriptor table of this process: a
// program's threads reach the interposer at once (a progress thread asks
// the terminal's width while the main thread opens and queries cameras),
// and the kernel serialises a device's requests the same way. Recursive,
// since a device call may persist or close through the same table. Held
// across fork by the fork handlers, so a child never inherits it locked
// (registry.cpp). Set up when the library loads.
std::recursive_mutex& model_lock();

// Camera behind an open descriptor, or null.
Camera* camera_for_fd(int fd);
void bind_fd(int fd, int index);
void unbind_fd(int fd);
bool is_virtual_fd(int fd);
int index_for_fd(int fd);
int descriptors_of(int index);  // open descriptors bound to this camera
std::vector<int> bound_indexes();  // camera of each open descriptor

// Called when the last descriptor of a camera closes and at process exit:
// saves the flash image when the camera was configured with a state file.
void persist(Camera& cam);
void set_state_file(int index, const std::string& path);

}  // namespace vcam

#endif

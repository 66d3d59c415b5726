// The device process: owns the cameras attached in this process and serves
// every program whose interposer connects to its socket.
#ifndef ORVEX_VCAM_DEVICE_SERVER_H
#define ORVEX_VCAM_DEVICE_SERVER_H

#include <string>

namespace vcam {

// A listening Unix socket at path (an old socket file there is replaced);
// the file appears only once the socket accepts connections.
// Returns the descriptor, or -1 with *error set.
int listen_device_socket(const std::string& path, std::string* error);

// Serves the cameras until SIGINT, SIGTERM or SIGHUP arrives, then saves
// every camera's state file and returns. Each request is served whole
// before the next is read, from whichever program sent it.
void serve_device(int listen_fd);

}  // namespace vcam

#endif

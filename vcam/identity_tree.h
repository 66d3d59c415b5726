// Where a Linux tool finds a camera's identity, written out as a small
// directory tree that the interposer lays over the real paths:
//
//   sys/class/video4linux/videoN -> ../../devices/platform/vcam_hcd.0/usbB/B-P/B-P:1.0/video4linux/videoN
//     name, index, dev, device -> ../../../B-P:1.0 (the control interface)
//   sys/devices/platform/vcam_hcd.0/usbB/B-P: idVendor, idProduct, serial,
//     manufacturer, product, busnum, devnum, devpath, speed
//   dev/v4l/by-id/usb-<manufacturer>_<product>_<serial>-video-index0 -> ../../videoN
//   dev/v4l/by-path/platform-vcam_hcd.0-usb-0:<ports>:1.0-video-index0 -> ../../videoN
//
// The names and contents are those the kernel's UVC driver and udev's
// rules give a real camera, with the host controller a platform device as
// in the end-to-end run. All links are relative, so paths through them
// resolve inside the tree.
#ifndef ORVEX_VCAM_IDENTITY_TREE_H
#define ORVEX_VCAM_IDENTITY_TREE_H

#include <string>

namespace vcam {

// The tree of the device process listening at socket.
std::string identity_root(const std::string& socket);

// The camera lock's folder of a device process's programs, inside its
// tree (the library takes it from kLockDirEnv).
constexpr const char* kLockDirEnv = "ORVEX_LOCK_DIR";
inline std::string lock_folder(const std::string& root) { return root + "/locks"; }

// Writes the tree of every attached camera under root (created; an old tree
// there is replaced). False with *error when it cannot be written.
bool write_identity_tree(const std::string& root, std::string* error);
void remove_identity_tree(const std::string& root);

// The tree the interposer lays over /sys/class/video4linux, the fake host
// controller's /sys/devices directory and /dev/v4l ("" for none). The
// program's own view: only the virtual cameras are listed there.
void set_identity_root(const std::string& root);

// A tree for cameras in this process, made by MAKE (returning its root, ""
// for none) the first time a laid-over path is asked for: a program that
// never reads an identity never writes one.
void lay_identity_tree_on_demand(std::string (*make)());

// When path lies under one of the laid-over directories, sets *out to its
// place inside the tree and returns true.
bool redirect_path(const char* path, std::string* out);
// A path inside the tree as the program should see it (realpath's answer).
std::string unredirect_path(const std::string& path);

}  // namespace vcam

#endif

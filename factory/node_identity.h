// Internal: what sysfs and udev say about a video node, and choosing a
// camera the way people name it: a video index, a /dev/videoN node, a udev
// link under /dev/v4l (by-id, by-path), or the USB serial number or bus
// path. Indices change on every re-plug; serials and ports do not.
#ifndef ORVEX_FACTORY_NODE_IDENTITY_H
#define ORVEX_FACTORY_NODE_IDENTITY_H

#include "core.h"

namespace orvex_factory {

// What sysfs and udev say about /dev/video<index> ("" where nothing does).
struct NodeIdentity {
    int index = 0;
    std::string node, name, node_index, serial, usb_path, vendor, product, driver, by_id, by_path;
};
NodeIdentity node_identity(int index);
json node_identity_json(const NodeIdentity& n);
// Video indices present in /dev and sysfs; with probe_low also 0..63,
// which a container or the virtual camera may serve without an entry.
std::vector<int> video_indices(bool probe_low);
struct Selector {
    std::string device;  // N, /dev/videoN or a /dev/v4l link
    std::string serial, usb_path;
};
// The video index the selector names; throws USAGE or NO_DEVICE.
int resolve_device(const Selector& s);
// The selection option that still names this camera after a re-plug, for
// recovery advice: "--serial S" when S names one camera only, else
// "--usb-path P", and "-d N" only when the node has neither (indices
// change on every re-plug).
std::string camera_option(int index);

}  // namespace orvex_factory

#endif

// What the driver and the camera do for the system calls a program makes
// on a video node, independent of where the program runs.
#include <cerrno>
#include <fcntl.h>

#include "internal.h"

namespace vcam {

int device_open(int index, int flags) {
    Camera* cam = camera(index);
    if (!cam) {
        // A metadata node goes with its camera: gone at unplug.
        Camera* video = metadata_node_of(index);
        if (!video) return ENXIO;
        if (video->unplugged()) return ENOENT;
        return (flags & O_ACCMODE) != O_RDWR && (flags & O_ACCMODE) != O_RDONLY ? EINVAL : 0;
    }
    // The driver unregisters the node on disconnect; it lingers (and
    // refuses to open) only while someone still holds it open.
    if (cam->unplugged()) return cam->open_count_ > 0 ? ENODEV : ENOENT;
    if (cam->faults().open_errno) return cam->faults().open_errno;
    if ((flags & O_ACCMODE) != O_RDWR && (flags & O_ACCMODE) != O_RDONLY) return EINVAL;
    ++cam->open_count_;
    return 0;
}

int device_close(int index) {
    Camera* cam = camera(index);
    if (!cam) return 0;  // detached while open: nothing left to release
    // A failed close leaves the descriptor open, as the caller is told.
    if (cam->faults().close_errno) return cam->faults().close_errno;
    if (cam->open_count_ > 0 && --cam->open_count_ == 0) persist(*cam);
    return 0;
}

int device_adopt(int index) {
    Camera* cam = camera(index);
    if (!cam) return metadata_node_of(index) ? 0 : ENODEV;
    ++cam->open_count_;
    return 0;
}

void device_release(int index) {
    Camera* cam = camera(index);
    if (cam && cam->open_count_ > 0 && --cam->open_count_ == 0) persist(*cam);
}

int device_query(int index, int pid, uint8_t unit, uint8_t selector, uint8_t request,
                 uint16_t size, uint8_t* data) {
    QueryRecord rec = query_record(index, unit, selector, request, size, data);
    rec.pid = pid;
    rec.at_us = now_us();
    Camera* cam = camera(index);
    // The driver's metadata node has video ioctls only: no extension unit.
    int err = cam ? cam->query(unit, selector, request, size, data) : metadata_node_of(index) ? ENOTTY : ENODEV;
    if (err == 0 && request == REQ_GET_CUR && data) rec.returned.assign(data, data + size);
    rec.result = err ? -1 : 0;
    rec.error = err;
    trace().record_query(rec);
    return err;
}

void device_sleep(uint64_t us) {
    trace().record_sleep(us);
    advance_us(us);
}

}  // namespace vcam

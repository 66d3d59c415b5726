// The one kernel call everything ends in: the UVC driver's extension-unit
// control query on the open video node.
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "../OVOptDev.h"
#include "../OrvexTac.h"
#include "node_lock.h"

namespace {

// A null buffer with a size is refused here as the kernel would refuse it
// (EFAULT), without a query reaching the camera.
int query(BYTE unit, BYTE selector, BYTE request, USHORT size, BYTE* data) {
    if (!data && size > 0) {
        errno = EFAULT;
        return -1;
    }
    struct uvc_xu_control_query q = {};
    q.unit = unit;
    q.selector = selector;
    q.query = request;
    q.size = size;
    q.data = data;
    return ioctl(fd, UVCIOC_CTRL_QUERY, &q);
}

}  // namespace

extern "C" {

BOOL OV_OpenCamera(char* devPath) {
    if (!devPath) return 0;
    fd = open(devPath, O_RDWR | O_NONBLOCK);
    if (fd < 0) return 0;
    orvex_node_lock_open(devPath);
    return 1;
}

BOOL OV_CloseCamera(void) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!camera_init) return 0;
    if (close(fd) != 0) {
        perror("Fail to close fd");
        return 0;
    }
    orvex_node_lock_close();
    return 1;
}

int OV_Get_Cur(BYTE xu_unit, BYTE xu_selector, USHORT xu_size, BYTE* xu_data) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    return query(xu_unit, xu_selector, UVC_GET_CUR, xu_size, xu_data);
}

int OV_Set_Cur(BYTE xu_unit, BYTE xu_selector, USHORT xu_size, BYTE* xu_data) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    return query(xu_unit, xu_selector, UVC_SET_CUR, xu_size, xu_data);
}

// The driver sees only the low 16 bits of the length.
BOOL OV_Read(unsigned char* pData, unsigned int length, BYTE unitID, BYTE cs) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!pData && length > 0) return 0;
    return OV_Get_Cur(unitID, cs, static_cast<USHORT>(length), pData) >= 0 ? 1 : 0;
}

BOOL OV_Write(unsigned char* pData, unsigned int length, BYTE unitID, BYTE cs) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!pData && length > 0) return 0;
    return OV_Set_Cur(unitID, cs, static_cast<USHORT>(length), pData) >= 0 ? 1 : 0;
}

}

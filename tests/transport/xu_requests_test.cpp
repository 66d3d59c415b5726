// Extension-unit requests other than GET_CUR/SET_CUR, as the driver passes
// them through UVCIOC_CTRL_QUERY: GET_LEN and GET_INFO describe a control,
// the limits stall, and an unknown request code is refused before sizes
// are compared.
#include <cerrno>
#include <fcntl.h>
#include <linux/uvcvideo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "orvex_test.h"

namespace {

using orvex_test::CameraTest;

class XuRequests : public CameraTest {
protected:
    int query(uint8_t selector, uint8_t request, uint16_t size, uint8_t* data) {
        uvc_xu_control_query q = {};
        q.unit = 3;
        q.selector = selector;
        q.query = request;
        q.size = size;
        q.data = data;
        int r = ioctl(fd, UVCIOC_CTRL_QUERY, &q);
        return r < 0 ? errno : 0;
    }
};

TEST_F(XuRequests, AnswersAsTheDriverDoes) {
    ASSERT_EQ(OrvexTac_Init(0), 1);
    struct Case {
        uint8_t selector, request;
        uint16_t size;
        int err;
        std::vector<uint8_t> reply;
    } cases[] = {
        {1, vcam::REQ_GET_LEN, 2, 0, {4, 0}},
        {3, vcam::REQ_GET_LEN, 2, 0, {11, 0}},
        {1, vcam::REQ_GET_INFO, 1, 0, {0x03}},
        {5, vcam::REQ_GET_INFO, 1, 0, {0x01}},  // read only
        {1, vcam::REQ_GET_LEN, 4, ENOBUFS, {}},
        {1, vcam::REQ_GET_INFO, 4, ENOBUFS, {}},
        {1, vcam::REQ_GET_MIN, 4, EPIPE, {}},
        {3, vcam::REQ_GET_DEF, 11, EPIPE, {}},
        {1, 0x42, 4, EINVAL, {}},
        {1, 0x42, 9, EINVAL, {}},  // the request code is checked before the size
        {2, vcam::REQ_GET_LEN, 2, ENOENT, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << int(c.selector) << " " << std::hex << int(c.request));
        uint8_t buf[16] = {};
        EXPECT_EQ(query(c.selector, c.request, c.size, buf), c.err);
        if (c.err == 0) {
            EXPECT_EQ(std::vector<uint8_t>(buf, buf + c.size), c.reply);
        }
    }
}

}  // namespace

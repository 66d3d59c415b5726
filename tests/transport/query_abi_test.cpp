// The extension-unit query as the UVC driver takes it, laid out by hand:
// request 0xC0107521 (_IOWR('u', 0x21, 16 bytes)) and a 16-byte record
// {u8 unit, u8 selector, u8 query, pad, u16 size, pad[2], u8* data}. The
// virtual camera answers only that request, so a target whose headers,
// padding or pointer size differ fails here and not on a real camera.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/uvcvideo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "orvex_test.h"

namespace {

constexpr unsigned long kQueryRequest = 0xC0107521ul;

// Chip-id register read on the ASIC selector: {addr lo, addr hi, value, op}.
struct HandRecord {
    unsigned char bytes[16];
    unsigned char payload[4] = {0x1F, 0x10, 0x00, 0xFF};

    explicit HandRecord(unsigned char query) {
        memset(bytes, 0xA5, sizeof bytes);  // padding is ignored, whatever it holds
        bytes[0] = 3;                       // unit
        bytes[1] = 1;                       // selector
        bytes[2] = query;
        bytes[4] = sizeof payload;          // size, little-endian
        bytes[5] = 0;
        unsigned char* data = payload;
        memcpy(bytes + 8, &data, sizeof data);
    }
};

class QueryRecordByHand : public orvex_test::CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        node = ::open("/dev/video0", O_RDWR | O_NONBLOCK);
        ASSERT_GE(node, 0);
        vcam::trace().clear();
    }
    void TearDown() override {
        if (node >= 0) ::close(node);
        CameraTest::TearDown();
    }
    int node = -1;
};

TEST(QueryAbi, RequestNumberEncodesReadWriteUvcTypeAndRecordSize) {
    EXPECT_EQ(_IOC_DIR(kQueryRequest), unsigned(_IOC_READ | _IOC_WRITE));
    EXPECT_EQ(_IOC_TYPE(kQueryRequest), unsigned('u'));
    EXPECT_EQ(_IOC_NR(kQueryRequest), 0x21u);
    EXPECT_EQ(_IOC_SIZE(kQueryRequest), 16u);
    EXPECT_EQ(sizeof(void*), 8u) << "the record's data pointer sits at offset 8";
}

TEST_F(QueryRecordByHand, HandLaidRecordIsServedFieldByField) {
    HandRecord set(vcam::REQ_SET_CUR);
    ASSERT_EQ(::ioctl(node, kQueryRequest, set.bytes), 0) << strerror(errno);
    HandRecord get(vcam::REQ_GET_CUR);
    ASSERT_EQ(::ioctl(node, kQueryRequest, get.bytes), 0) << strerror(errno);
    EXPECT_EQ(get.payload[2], cam().profile().chip_id);

    auto q = vcam::trace().queries();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0].request, vcam::REQ_SET_CUR);
    EXPECT_EQ(q[1].request, vcam::REQ_GET_CUR);
    for (const auto& r : q) {
        EXPECT_EQ(r.unit, 3);
        EXPECT_EQ(r.selector, 1);
        EXPECT_EQ(r.size, 4);
    }
    EXPECT_EQ(q[0].sent, (std::vector<uint8_t>{0x1F, 0x10, 0x00, 0xFF}));
}

TEST_F(QueryRecordByHand, OtherRequestNumbersAreNotTheQuery) {
    struct Case {
        const char* what;
        unsigned long request;
    } cases[] = {
        {"record of 24 bytes", 0xC0187521ul},
        {"record of 12 bytes", 0xC00C7521ul},
        {"the mapping request next to it", 0xC0607520ul},
        {"write-only direction", 0x40107521ul},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HandRecord rec(vcam::REQ_GET_CUR);
        errno = 0;
        EXPECT_EQ(::ioctl(node, c.request, rec.bytes), -1);
        EXPECT_EQ(errno, ENOTTY);
    }
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

}  // namespace

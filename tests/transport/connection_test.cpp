// Opening and closing the camera, raw extension-unit queries.
#include <cerrno>
#include <fcntl.h>
#include <linux/uvcvideo.h>

#include "orvex_test.h"

using orvex_test::capture;

namespace {

class Connection : public orvex_test::CameraTest {};

// Taken while the test program loads, before any fixture resets them.
const struct {
    int fd = ::fd;
    BOOL open = camera_init;
    BYTE unit = g_curExtendUnitID;
} kAtLoad;

TEST(LibraryStart, ClosedWithDescriptorZeroOnUnitThree) {
    EXPECT_EQ(kAtLoad.fd, 0);
    EXPECT_EQ(kAtLoad.open, 0);
    EXPECT_EQ(kAtLoad.unit, 3);
}

TEST_F(Connection, InitOpensTheNodeReadWriteAndUnInitClosesIt) {
    ASSERT_EQ(OrvexTac_Init(0), 1);
    EXPECT_EQ(camera_init, 1);
    EXPECT_GT(fd, 2);
    EXPECT_EQ(vcam::open_descriptor_count(), 1);
    int old = fd;
    EXPECT_EQ(OrvexTac_UnInit(), 1);
    EXPECT_EQ(camera_init, 0);
    EXPECT_EQ(fd, old) << "closing keeps the old number";
    EXPECT_EQ(vcam::open_descriptor_count(), 0);
}

TEST_F(Connection, SecondInitKeepsTheFirstNode) {
    vcam::attach(5);
    ASSERT_EQ(OrvexTac_Init(0), 1);
    int first = fd;
    EXPECT_EQ(OrvexTac_Init(5), 1);
    EXPECT_EQ(fd, first);
    EXPECT_EQ(vcam::open_descriptor_count(), 1);
    BYTE v;
    vcam::trace().clear();
    ASSERT_EQ(OV_ReadFromASIC(0x101F, &v), 1);
    EXPECT_EQ(vcam::trace().queries()[0].camera, 0);
}

TEST_F(Connection, UnInitWhenClosedDoesNothing) {
    auto o = capture([] { EXPECT_EQ(OrvexTac_UnInit(), 0); });
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    ASSERT_EQ(OrvexTac_Init(0), 1);
    ASSERT_EQ(OrvexTac_UnInit(), 1);
    EXPECT_EQ(OrvexTac_UnInit(), 0);
}

TEST_F(Connection, FailedOpenLeavesFdMinusOneAndSaysSoOnStderr) {
    struct Case {
        int index;
        int open_errno;
    } cases[] = {{7, 0}, {-1, 0}, {0, ENOENT}, {0, EACCES}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        if (c.open_errno) vcam::camera(0)->faults().open_errno = c.open_errno;
        auto o = capture([&] { EXPECT_EQ(OrvexTac_Init(c.index), 0); });
        EXPECT_EQ(o.err, "Open video device failed\n");
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(camera_init, 0);
    }
}

TEST_F(Connection, NegativeIndexIsFormattedIntoThePath) {
    vcam::attach(-1);
    EXPECT_EQ(OrvexTac_Init(-1), 1);
    BYTE v;
    vcam::trace().clear();
    ASSERT_EQ(OV_ReadFromASIC(0x101F, &v), 1);
    EXPECT_EQ(vcam::trace().queries()[0].camera, -1);
}

TEST_F(Connection, CloseFailureKeepsTheCameraOpenAndReportsThroughPerror) {
    ASSERT_EQ(OrvexTac_Init(0), 1);
    vcam::camera(0)->faults().close_errno = EIO;
    auto o = capture([] { EXPECT_EQ(OrvexTac_UnInit(), 0); });
    EXPECT_EQ(o.err, "Fail to close fd: Input/output error\n");
    EXPECT_EQ(camera_init, 1);
    vcam::camera(0)->faults().close_errno = 0;
    EXPECT_EQ(OrvexTac_UnInit(), 1);
}

TEST_F(Connection, ReopenAfterUnInitUsesTheNewIndex) {
    vcam::attach(2);
    ASSERT_EQ(OrvexTac_Init(0), 1);
    ASSERT_EQ(OrvexTac_UnInit(), 1);
    ASSERT_EQ(OrvexTac_Init(2), 1);
    unsigned char b[4] = {0x1F, 0x10, 0, 0xFF};
    vcam::trace().clear();
    EXPECT_EQ(OrvexTac_XuWrite(b, 4, 3, 1), 1);
    EXPECT_EQ(vcam::trace().queries()[0].camera, 2);
}

TEST_F(Connection, CloseCameraRefusesWhenNotOpen) { EXPECT_EQ(OV_CloseCamera(), 0); }

TEST_F(Connection, RawQueriesNeedAnOpenCamera) {
    unsigned char b[4] = {};
    EXPECT_EQ(OrvexTac_XuRead(b, 4, 3, 1), 0);
    EXPECT_EQ(OrvexTac_XuWrite(b, 4, 3, 1), 0);
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

TEST_F(Connection, RawQueriesUseTheCallersUnitAndSelector) {
    ASSERT_EQ(OrvexTac_Init(0), 1);
    vcam::trace().clear();
    unsigned char set[4] = {0x1F, 0x10, 0x00, 0xFF};
    unsigned char get[4] = {};
    ASSERT_EQ(OrvexTac_XuWrite(set, 4, 3, 1), 1);
    ASSERT_EQ(OrvexTac_XuRead(get, 4, 3, 1), 1);
    EXPECT_EQ(get[2], vcam::camera(0)->profile().chip_id);
    auto q = vcam::trace().queries();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0].request, vcam::REQ_SET_CUR);
    EXPECT_EQ(q[1].request, vcam::REQ_GET_CUR);
    EXPECT_EQ(q[1].unit, 3);
    EXPECT_EQ(q[1].selector, 1);
}

TEST_F(Connection, DriverRefusalsBecomeZeroSilently) {
    ASSERT_EQ(OrvexTac_Init(0), 1);
    unsigned char b[16] = {};
    struct Case {
        unsigned length;
        BYTE unit, sel;
        int err;
    } cases[] = {
        {4, 3, 2, ENOENT},   // unknown selector
        {4, 9, 1, ENOENT},   // not the camera's unit
        {8, 3, 1, ENOBUFS},  // size differs from the control's length
    };
    for (const auto& c : cases) {
        vcam::trace().clear();
        auto o = capture([&] { EXPECT_EQ(OrvexTac_XuRead(b, c.length, c.unit, c.sel), 0); });
        EXPECT_EQ(o.out, "");
        ASSERT_EQ(vcam::trace().queries().size(), 1u);
        EXPECT_EQ(vcam::trace().queries()[0].error, c.err);
    }
}

TEST_F(Connection, LengthIsNarrowedToSixteenBits) {
    ASSERT_EQ(OrvexTac_Init(0), 1);
    vcam::trace().clear();
    unsigned char b[4] = {};
    EXPECT_EQ(OrvexTac_XuRead(b, 65536, 3, 1), 0);
    EXPECT_EQ(OrvexTac_XuRead(b, 65536 + 4, 3, 1), 1);
    auto q = vcam::trace().queries();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0].size, 0);
    EXPECT_EQ(q[1].size, 4);
}

TEST_F(Connection, GetAndSetReturnTheKernelResult) {
    ASSERT_EQ(OrvexTac_Init(0), 1);
    BYTE b[4] = {0x1F, 0x10, 0, 0xFF};
    EXPECT_EQ(OV_Set_Cur(3, 1, 4, b), 0);
    EXPECT_EQ(OV_Get_Cur(3, 1, 4, b), 0);
    EXPECT_EQ(OV_Get_Cur(3, 1, 5, b), -1);
    EXPECT_EQ(errno, ENOBUFS);
    EXPECT_EQ(OV_Read(b, 4, 3, 1), 1);
    EXPECT_EQ(OV_Write(b, 4, 4, 1), 0);
}

TEST_F(Connection, UnpluggedCameraFailsEveryQueryWithNoDevice) {
    ASSERT_EQ(OrvexTac_Init(0), 1);
    vcam::camera(0)->faults().unplug_after = 2;
    unsigned char b[4] = {0x1F, 0x10, 0, 0xFF};
    EXPECT_EQ(OrvexTac_XuWrite(b, 4, 3, 1), 1);
    EXPECT_EQ(OrvexTac_XuRead(b, 4, 3, 1), 1);
    EXPECT_EQ(OrvexTac_XuRead(b, 4, 3, 1), 0);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(OrvexTac_XuWrite(b, 4, 3, 1), 0);
}

// The query record and request number the driver expects on this platform.
TEST(QueryAbi, RequestNumberAndRecordLayout) {
    EXPECT_EQ(static_cast<unsigned long>(UVCIOC_CTRL_QUERY), 0xC0107521ul);
    EXPECT_EQ(sizeof(struct uvc_xu_control_query), 16u);
    EXPECT_EQ(offsetof(struct uvc_xu_control_query, unit), 0u);
    EXPECT_EQ(offsetof(struct uvc_xu_control_query, selector), 1u);
    EXPECT_EQ(offsetof(struct uvc_xu_control_query, query), 2u);
    EXPECT_EQ(offsetof(struct uvc_xu_control_query, size), 4u);
    EXPECT_EQ(offsetof(struct uvc_xu_control_query, data), 8u);
    EXPECT_EQ(sizeof(BOOL), 4u);
    EXPECT_EQ(sizeof(LONG), 8u);
}

}  // namespace

// ASIC register access: payloads, failure messages, block operations.
#include <cerrno>

#include "orvex_test.h"

using orvex_test::capture;

namespace {

class Registers : public orvex_test::CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        open_camera();
    }
    // Fails the SET_CUR (or GET_CUR) of every register query from now on.
    void fail_requests(uint8_t request) {
        cam().faults().fail_if = [request](const vcam::QueryRecord& q) {
            return q.selector == 1 && q.request == request;
        };
    }
};

TEST_F(Registers, PayloadBytesOfReadAndWrite) {
    ASSERT_EQ(OV_WriteToASIC(0x1081, 0x5A), 1);
    BYTE v = 0;
    ASSERT_EQ(OV_ReadFromASIC(0x101F, &v), 1);
    auto q = vcam::trace().queries();
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[0].sent, (std::vector<uint8_t>{0x81, 0x10, 0x5A, 0x00}));
    EXPECT_EQ(q[0].request, vcam::REQ_SET_CUR);
    EXPECT_EQ(q[1].sent, (std::vector<uint8_t>{0x1F, 0x10, 0x00, 0xFF}));
    EXPECT_EQ(q[2].request, vcam::REQ_GET_CUR);
    for (const auto& x : q) {
        EXPECT_EQ(x.unit, 3);
        EXPECT_EQ(x.selector, 1);
        EXPECT_EQ(x.size, 4);
    }
    EXPECT_EQ(v, cam().profile().chip_id);
    EXPECT_EQ(cam().regs().raw(0x1081), 0x5A);
}

TEST_F(Registers, QueriesGoToTheCurrentUnit) {
    vcam::Profile p = vcam::default_profile();
    p.unit_id = 4;
    open_camera(p);
    BYTE v = 0;
    capture([&] { EXPECT_EQ(OV_ReadFromASIC(0x101F, &v), 0); });
    g_curExtendUnitID = 4;
    EXPECT_EQ(OV_ReadFromASIC(0x101F, &v), 1);
    EXPECT_EQ(vcam::trace().queries().back().unit, 4);
}

TEST_F(Registers, FailedSetPrintsOneLineWithTrailingBlankAndSkipsTheGet) {
    fail_requests(vcam::REQ_SET_CUR);
    BYTE v = 0x77;
    auto o = capture([&] { EXPECT_EQ(OV_ReadFromASIC(0x101F, &v), 0); });
    EXPECT_EQ(o.out, "ioctl(UVCIOC_CTRL_SET) FAILED (-1) \n");
    EXPECT_EQ(v, 0x77);
    EXPECT_EQ(vcam::trace().query_count(), 1u);
    o = capture([&] { EXPECT_EQ(OV_WriteToASIC(0x1000, 1), 0); });
    EXPECT_EQ(o.out, "ioctl(UVCIOC_CTRL_SET) FAILED (-1) \n");
}

TEST_F(Registers, FailedGetPrintsWithoutBlankAndLeavesValue) {
    fail_requests(vcam::REQ_GET_CUR);
    BYTE v = 0x77;
    auto o = capture([&] { EXPECT_EQ(OV_ReadFromASIC(0x101F, &v), 0); });
    EXPECT_EQ(o.out, "ioctl(UVCIOC_CTRL_GET) FAILED (-1)\n");
    EXPECT_EQ(v, 0x77);
}

TEST_F(Registers, BitTest) {
    struct Case {
        uint8_t reg;
        BYTE bit;
        BYTE expect;
    } cases[] = {{0x80, 7, 0x80}, {0xFE, 0, 0}, {0x01, 0, 1}, {0x10, 4, 0x10}, {0xFF, 8, 0}};
    for (const auto& c : cases) {
        cam().regs().raw(0x1084) = c.reg;
        EXPECT_EQ(OV_ReadBitFormAsic(0x1084, c.bit), c.expect) << int(c.reg) << " bit " << int(c.bit);
    }
    cam().regs().raw(0x1084) = 0x01;
    EXPECT_EQ(OV_ReadBitFormAsic(0x71084, 0), 1) << "address narrowed to 16 bits";
}

TEST_F(Registers, BitTestOfUnreadableRegisterIsClear) {
    cam().regs().raw(0x1084) = 0xFF;
    fail_requests(vcam::REQ_GET_CUR);
    capture([] { EXPECT_EQ(OV_ReadBitFormAsic(0x1084, 0), 0); });
}

TEST_F(Registers, MemoryTypeIsByteTwoOfSelectorFive) {
    vcam::Profile p = vcam::default_profile();
    p.mem_type = 2;
    open_camera(p);
    BYTE m = 0;
    ASSERT_EQ(OV_GetMemType(&m), 1);
    EXPECT_EQ(m, 2);
    auto q = vcam::trace().queries();
    ASSERT_EQ(q.size(), 1u) << "no SET_CUR comes first";
    EXPECT_EQ(q[0].selector, 5);
    EXPECT_EQ(q[0].size, 11);
    EXPECT_EQ(q[0].request, vcam::REQ_GET_CUR);
    cam().faults().fail_query_n = cam().query_count() + 1;
    m = 9;
    auto o = capture([&] { EXPECT_EQ(OV_GetMemType(&m), 0); });
    EXPECT_EQ(o.out, "ioctl(UVCIOC_CTRL_GET) FAILED (-1)\n");
    EXPECT_EQ(m, 9);
}

TEST_F(Registers, BlockReadWrapsFromTopToZero) {
    cam().regs().raw(0xFFFF) = 0xAB;
    cam().regs().raw(0x0000) = 0xCD;
    unsigned char d[2] = {};
    ASSERT_EQ(OrvexTac_AsicRegisterRead(0xFFFF, d, 2), 1);
    EXPECT_EQ(d[0], 0xAB);
    EXPECT_EQ(d[1], 0xCD);
    EXPECT_EQ(vcam::trace().register_log(), (std::vector<std::string>{"R FFFF", "R 0000"}));
}

TEST_F(Registers, BlockWriteGoesUpwardsAndWraps) {
    unsigned char d[3] = {1, 2, 3};
    ASSERT_EQ(OrvexTac_AsicRegisterWrite(0xFFFE, d, 3), 1);
    EXPECT_EQ(vcam::trace().register_log(), (std::vector<std::string>{"W FFFE=01", "W FFFF=02", "W 0000=03"}));
}

TEST_F(Registers, BlockReadStopsAtTheFailingElement) {
    for (int i = 0; i < 4; ++i) cam().regs().raw(0x2000 + i) = 0x10 + i;
    unsigned char d[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    // Element 2 is the 5th query (two per register read).
    cam().faults().fail_query_n = cam().query_count() + 5;
    auto o = capture([&] { EXPECT_EQ(OrvexTac_AsicRegisterRead(0x2000, d, 4), 0); });
    EXPECT_EQ(o.out, "ioctl(UVCIOC_CTRL_SET) FAILED (-1) \n");
    EXPECT_EQ(d[0], 0x10);
    EXPECT_EQ(d[1], 0x11);
    EXPECT_EQ(d[2], 0xEE);
    EXPECT_EQ(d[3], 0xEE);
}

TEST_F(Registers, BlockWriteStopsAtTheFailingElement) {
    unsigned char d[4] = {1, 2, 3, 4};
    cam().faults().fail_query_n = cam().query_count() + 2;
    capture([&] { EXPECT_EQ(OrvexTac_AsicRegisterWrite(0x3000, d, 4), 0); });
    EXPECT_EQ(cam().regs().raw(0x3000), 1);
    EXPECT_EQ(cam().regs().raw(0x3001), 0);
    EXPECT_EQ(vcam::trace().query_count(), 2u);
}

TEST_F(Registers, EmptyOrNegativeLengthSucceedsWithoutQueries) {
    unsigned char d[1] = {};
    for (long len : {0L, -1L, -100L}) {
        EXPECT_EQ(OrvexTac_AsicRegisterRead(0x1000, d, len), 1);
        EXPECT_EQ(OrvexTac_AsicRegisterWrite(0x1000, d, len), 1);
    }
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

TEST_F(Registers, BlockOperationsNeedAnOpenCamera) {
    ASSERT_EQ(OrvexTac_UnInit(), 1);
    vcam::trace().clear();
    unsigned char d[2] = {};
    for (long len : {0L, 2L}) {
        EXPECT_EQ(OrvexTac_AsicRegisterRead(0x1000, d, len), 0);
        EXPECT_EQ(OrvexTac_AsicRegisterWrite(0x1000, d, len), 0);
    }
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

}  // namespace

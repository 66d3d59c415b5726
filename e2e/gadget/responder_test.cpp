// The gadget responder against the device model, without a kernel: the
// class requests the UVC function hands over, as uvcvideo sends them.
#include <gtest/gtest.h>

#include <cerrno>

#include "responder.h"
#include "vcam.h"

namespace {

constexpr uint8_t kIn = 0xA1, kOut = 0x21;  // class request to an interface
constexpr uint8_t kUnit = 4;

gadget::Setup xu(uint8_t type, uint8_t request, uint8_t selector, uint16_t length,
                 uint8_t entity = kUnit) {
    gadget::Setup s;
    s.bRequestType = type;
    s.bRequest = request;
    s.wValue = static_cast<uint16_t>(selector << 8);
    s.wIndex = static_cast<uint16_t>(entity << 8);  // control interface: low byte 0
    s.wLength = length;
    return s;
}

class Responder : public ::testing::Test {
protected:
    void SetUp() override {
        vcam::reset();
        vcam::Profile p;
        ASSERT_TRUE(vcam::find_profile("unit4", &p));
        cam = &vcam::attach(0, p);
        responder = std::make_unique<gadget::Responder>(*cam, [this] { return clock_us; });
    }
    void TearDown() override { vcam::reset(); }

    // A SET_CUR as the host sends it: SETUP, then the data stage.
    void set_cur(uint8_t selector, std::vector<uint8_t> payload) {
        gadget::Reply r = responder->setup(xu(kOut, vcam::REQ_SET_CUR, selector,
                                              static_cast<uint16_t>(payload.size())));
        ASSERT_FALSE(r.stall);
        ASSERT_EQ(r.accept, static_cast<int>(payload.size()));
        responder->data(payload.data(), payload.size());
    }

    vcam::Camera* cam = nullptr;
    std::unique_ptr<gadget::Responder> responder;
    uint64_t clock_us = 1000;
};

TEST_F(Responder, DescribesEachControlFromTheModel) {
    struct Case {
        uint8_t selector;
        uint16_t length;
        uint8_t info;
    } cases[] = {{1, 4, 0x03}, {3, 11, 0x03}, {5, 11, 0x01}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.selector));
        gadget::Reply len = responder->setup(xu(kIn, vcam::REQ_GET_LEN, c.selector, 2));
        ASSERT_FALSE(len.stall);
        EXPECT_EQ(len.data, (std::vector<uint8_t>{static_cast<uint8_t>(c.length), 0}));
        gadget::Reply info = responder->setup(xu(kIn, vcam::REQ_GET_INFO, c.selector, 1));
        ASSERT_FALSE(info.stall);
        EXPECT_EQ(info.data, std::vector<uint8_t>{c.info});
    }
}

TEST_F(Responder, StallsWhatTheCameraDoesNotHave) {
    gadget::Setup standard = xu(0x80, 0x06, 1, 4);  // a standard request
    gadget::Setup too_long = xu(kIn, vcam::REQ_GET_CUR, 1, 61);
    gadget::Setup streaming_other = xu(kIn, vcam::REQ_GET_CUR, 9, 34, 0);
    streaming_other.wIndex = 1;
    const gadget::Setup cases[] = {
        xu(kIn, vcam::REQ_GET_LEN, 2, 2),       // selector not in the unit
        xu(kIn, vcam::REQ_GET_INFO, 1, 1, 1),   // camera terminal
        xu(kIn, vcam::REQ_GET_INFO, 1, 1, 2),   // processing unit
        xu(kIn, vcam::REQ_GET_CUR, 2, 1, 0),    // request error code
        xu(kIn, vcam::REQ_GET_MIN, 1, 4),       // the firmware keeps no limits
        xu(kIn, vcam::REQ_GET_CUR, 1, 11),      // size the control does not have
        xu(kOut, 0x42, 1, 4),                   // unknown OUT request
        standard, too_long, streaming_other,
    };
    for (const auto& s : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << int(s.bRequest) << " " << s.wIndex);
        EXPECT_TRUE(responder->setup(s).stall);
    }
    EXPECT_EQ(responder->stalled(), static_cast<long>(std::size(cases)));
    EXPECT_EQ(responder->served(), 0);
}

TEST_F(Responder, RegisterWriteAndReadGoThroughTheModel) {
    set_cur(1, {0x00, 0x21, 0x5A, 0x00});  // write 0x5A to 0x2100
    EXPECT_EQ(cam->regs().raw(0x2100), 0x5A);
    set_cur(1, {0x1F, 0x10, 0x00, 0xFF});  // latch a read of the chip id
    gadget::Reply r = responder->setup(xu(kIn, vcam::REQ_GET_CUR, 1, 4));
    ASSERT_FALSE(r.stall);
    ASSERT_EQ(r.data.size(), 4u);
    EXPECT_EQ(r.data[2], cam->profile().chip_id);
    EXPECT_EQ(responder->late_refusals(), 0);
}

TEST_F(Responder, PayloadTheModelRefusesIsCountedNotLost) {
    // An unknown register operation: the firmware would stall, but the data
    // stage has already completed when the gadget sees the bytes.
    set_cur(1, {0x00, 0x21, 0x5A, 0x42});
    EXPECT_EQ(responder->late_refusals(), 1);
    EXPECT_EQ(cam->regs().raw(0x2100), 0x00);
}

TEST_F(Responder, DataWithoutAPendingRequestIsIgnored) {
    const uint8_t bytes[4] = {0x00, 0x21, 0x77, 0x00};
    responder->data(bytes, sizeof bytes);
    responder->setup(xu(kIn, vcam::REQ_GET_LEN, 1, 2));  // an IN request clears nothing pending
    responder->data(bytes, sizeof bytes);
    EXPECT_EQ(cam->regs().raw(0x2100), 0x00);
}

TEST_F(Responder, StreamingProbeAndCommitKeepWhatTheHostSets) {
    gadget::Setup def = xu(kIn, vcam::REQ_GET_DEF, 1, 34, 0);
    def.wIndex = gadget::Responder::kStreamingInterface;
    gadget::Reply r = responder->setup(def);
    ASSERT_FALSE(r.stall);
    ASSERT_EQ(r.data.size(), 34u);
    EXPECT_EQ(r.data[2], 1);  // format 1
    EXPECT_EQ(r.data[3], 1);  // frame 1

    std::vector<uint8_t> probe(r.data);
    probe[0] = 0x00;
    probe[4] = 0x12;
    gadget::Setup set = xu(kOut, vcam::REQ_SET_CUR, 1, 34, 0);
    set.wIndex = gadget::Responder::kStreamingInterface;
    ASSERT_EQ(responder->setup(set).accept, 34);
    responder->data(probe.data(), probe.size());

    gadget::Setup cur = def;
    cur.bRequest = vcam::REQ_GET_CUR;
    EXPECT_EQ(responder->setup(cur).data, probe);
    cur.wValue = 2 << 8;  // commit is a record of its own
    EXPECT_EQ(responder->setup(cur).data, r.data);
}

TEST_F(Responder, ModelClockFollowsTheRealClock) {
    responder->setup(xu(kIn, vcam::REQ_GET_LEN, 1, 2));
    uint64_t before = vcam::now_us();
    clock_us += 250000;
    responder->setup(xu(kIn, vcam::REQ_GET_LEN, 1, 2));
    EXPECT_EQ(vcam::now_us() - before, 250000u);
}

}  // namespace

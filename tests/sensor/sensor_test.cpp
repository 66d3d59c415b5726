// Image-sensor access over the I2C master: set-up bytes, data windows,
// completion polls, block splitting and address widths.
#include <climits>
#include <cstring>

#include "orvex_test.h"
#include "parts.h"

using orvex_test::capture;

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kWide = 0x6C;    // 16-bit register addresses
const uint8_t kNarrow = 0x42;  // 8-bit register addresses

vcam::Profile with_sensors(vcam::Profile p = vcam::default_profile()) {
    vcam::SensorProfile wide;
    wide.slave_id = kWide;
    wide.addr_bytes = 2;
    wide.registers = {{0x00FE, 0xA1}, {0x00FF, 0xA2}, {0x0100, 0xA3}, {0x0101, 0xA4},
                      {0x3000, 0x11}, {0x3001, 0x22}, {0x3002, 0x33}};
    vcam::SensorProfile narrow;
    narrow.slave_id = kNarrow;
    narrow.addr_bytes = 1;
    narrow.registers = {{0x10, 0x5A}, {0x11, 0xA5}};
    p.sensors = {wide, narrow};
    return p;
}

// One transaction as the trace shows it: its set-up byte and the five
// window bytes written.
struct Transaction {
    uint8_t setup;
    Bytes window;
    bool operator==(const Transaction& o) const { return setup == o.setup && window == o.window; }
};
std::ostream& operator<<(std::ostream& os, const Transaction& t) {
    os << std::hex << "setup " << int(t.setup) << " window";
    for (uint8_t b : t.window) os << " " << int(b);
    return os;
}

// The I2C master's transactions as the trace decodes them: set-up byte and
// data-window writes.
std::vector<Transaction> transactions(int arch = 0) {
    std::vector<Transaction> out;
    for (const auto& t : vcam::trace().i2c_transactions(arch)) out.push_back({t.setup, t.window});
    return out;
}

size_t count_reads(uint16_t addr) {
    size_t n = 0;
    for (const auto& a : vcam::trace().register_accesses()) n += !a.write && a.addr == addr;
    return n;
}

class Sensor : public orvex_test::CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        open_camera(with_sensors());
    }
    uint8_t sensor_reg(uint8_t slave, uint16_t addr) {
        return cam().part<vcam::SensorBus>()->reg(slave, addr);
    }
};

TEST(ByteLength, OfSignedValues) {
    const struct {
        LONG v;
        BYTE n;
    } cases[] = {{LONG_MIN, 1}, {-1, 1},        {0, 1},         {0xFF, 1},
                 {0x100, 2},    {0xFFFF, 2},    {0x10000, 3},   {0xFFFFFF, 3},
                 {0x1000000, 4}, {LONG_MAX, 4}};
    for (const auto& c : cases) EXPECT_EQ(GetByteLengthFormAddr(c.v), c.n) << c.v;
}

TEST_F(Sensor, WriteTransactionSequence) {
    unsigned char d[2] = {0x12, 0x34};
    ASSERT_EQ(OrvexTac_SensorRegisterCustomWrite(kWide, 0x3000, d, 2, 0), 1);
    EXPECT_EQ(vcam::trace().register_log(),
              (std::vector<std::string>{"W 10D9=01", "W 10D8=01", "R 10D0", "W 10D0=C0",
                                        "W 10D1=6C", "W 10D2=30", "W 10D3=00", "W 10D4=12",
                                        "W 10D5=34", "W 10D6=00", "W 10D7=10", "R 10D0"}));
    EXPECT_EQ(vcam::trace().sleeps(), (std::vector<uint64_t>{1000}));
    EXPECT_EQ(sensor_reg(kWide, 0x3000), 0x12);
    EXPECT_EQ(sensor_reg(kWide, 0x3001), 0x34);
}

TEST_F(Sensor, ReadTransactionSequence) {
    USHORT v = 0;
    ASSERT_EQ(OV_CustomReadFromSensor(kWide, 0x3001, 2, &v, 2, 0), 1);
    EXPECT_EQ(v, 0x2233);  // most significant byte first
    EXPECT_EQ(vcam::trace().register_log(),
              (std::vector<std::string>{
                  "W 10D9=01", "W 10D8=01", "R 10D0", "W 10D0=A0", "W 10D1=6C", "W 10D2=30",
                  "W 10D3=01", "W 10D4=00", "W 10D5=00", "W 10D6=00", "W 10D7=10", "R 10D0",
                  "W 10D9=01", "W 10D8=01", "R 10D0", "W 10D0=A2", "W 10D1=6C", "W 10D2=00",
                  "W 10D3=00", "W 10D4=00", "W 10D5=00", "W 10D6=00", "W 10D7=10", "R 10D0",
                  "R 10D2", "R 10D3", "R 10D4", "R 10D5", "R 10D6"}));
    EXPECT_EQ(vcam::trace().sleeps(), (std::vector<uint64_t>{1000, 1000}));
}

TEST_F(Sensor, SetupBytesAndWindows) {
    struct Case {
        BYTE abytes, dbytes;
        bool speed;
        uint8_t setup;
        Bytes window;
    } cases[] = {
        {1, 1, false, 0xA0, {0x34, 0xCD, 0, 0, 0}},
        {1, 1, true, 0xA1, {0x34, 0xCD, 0, 0, 0}},
        {2, 2, false, 0xC0, {0x12, 0x34, 0xAB, 0xCD, 0}},
        {2, 2, true, 0xC1, {0x12, 0x34, 0xAB, 0xCD, 0}},
        {2, 0, false, 0xA0, {0x12, 0x34, 0xCD, 0, 0}},  // the data byte is not counted
        {0, 1, false, 0x90, {0x34, 0xCD, 0, 0, 0}},
        {1, 2, false, 0xB0, {0x34, 0xAB, 0xCD, 0, 0}},
        {0, 3, false, 0xB0, {0x34, 0xAB, 0xCD, 0, 0}},  // counts as given: 0 + 3
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.abytes) << "+" << int(c.dbytes) << " speed " << c.speed);
        vcam::trace().clear();
        cam().regs().raw(0x10D0) = c.speed ? 0x01 : 0x00;
        EXPECT_EQ(OV_CustomWriteToSensor(kWide, 0x1234, c.abytes, 0xABCD, c.dbytes, 0), 1);
        EXPECT_EQ(transactions(), (std::vector<Transaction>{{c.setup, c.window}}));
    }
}

TEST_F(Sensor, ReadSetupsByWidth) {
    struct Case {
        BYTE abytes, dbytes;
        uint8_t addr_setup, data_setup;
        Bytes addr_window;
        USHORT value;
    } cases[] = {
        {2, 1, 0xA0, 0x92, {0x30, 0x00, 0, 0, 0}, 0x11},
        {2, 2, 0xA0, 0xA2, {0x30, 0x00, 0, 0, 0}, 0x1122},
        {2, 5, 0xA0, 0xA2, {0x30, 0x00, 0, 0, 0}, 0x1122},
        {3, 2, 0xA0, 0xA2, {0x30, 0x00, 0, 0, 0}, 0x1122},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.abytes) << "+" << int(c.dbytes));
        vcam::trace().clear();
        USHORT v = 0xEEEE;
        EXPECT_EQ(OV_CustomReadFromSensor(kWide, 0x3000, c.abytes, &v, c.dbytes, 0), 1);
        EXPECT_EQ(v, c.value);
        EXPECT_EQ(transactions(), (std::vector<Transaction>{{c.addr_setup, c.addr_window},
                                                            {c.data_setup, Bytes(5, 0)}}));
    }
    vcam::trace().clear();
    USHORT v = 0xEEEE;
    EXPECT_EQ(OV_CustomReadFromSensor(kWide, 0x3000, 2, &v, 0, 0), 0);
    EXPECT_EQ(v, 0xEEEE);
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

TEST_F(Sensor, CompletionPoll) {
    struct Case {
        int polls_to_finish;
        uint8_t slave;
        BOOL result;
        size_t status_reads;
    } cases[] = {
        {1, kWide, 1, 1},   {3, kWide, 1, 3},    {10, kWide, 1, 10},
        {11, kWide, 0, 10}, {1000, kWide, 0, 10}, {1, 0x50, 0, 1},  // nobody answers: failed bit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.polls_to_finish << " slave " << int(c.slave));
        cam().profile().i2c_polls_to_finish = c.polls_to_finish;
        vcam::trace().clear();
        EXPECT_EQ(OV_CustomWriteToSensor(c.slave, 0x3000, 2, 0x5555, 2, 0), c.result);
        EXPECT_EQ(count_reads(0x10D0), 1 + c.status_reads);  // one read before the set-up
        EXPECT_EQ(vcam::trace().sleeps(), std::vector<uint64_t>(c.status_reads, 1000));
    }
}

TEST_F(Sensor, SclPolling) {
    ASSERT_EQ(OV_CustomWriteToSensor(kWide, 0x3000, 2, 0, 0, 1), 1);
    auto log = vcam::trace().register_log();
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 4),
              (std::vector<std::string>{"W 10D9=01", "R 10D9", "W 10D9=03", "W 10D8=01"}));
    // A failed read-back of the mode counts as 0: 0x03 is written, and the
    // transaction goes on.
    vcam::trace().clear();
    cam().regs().raw(0x10D9) = 0x40;
    cam().faults().fail_if = [](const vcam::QueryRecord& q) {
        return q.request == vcam::REQ_GET_CUR && q.selector == 1 &&
               vcam::trace().register_accesses().back().addr == 0x10D9;
    };
    auto o = capture([&] { EXPECT_EQ(OV_CustomWriteToSensor(kWide, 0x3000, 2, 0, 0, 1), 1); });
    EXPECT_EQ(o.out, "ioctl(UVCIOC_CTRL_GET) FAILED (-1)\n");
    log = vcam::trace().register_log();
    EXPECT_EQ(log[2], "W 10D9=03");
}

TEST_F(Sensor, BlockReadSwitchesAddressWidthAt0x100) {
    unsigned char out[4] = {};
    ASSERT_EQ(OrvexTac_SensorRegisterCustomRead(kWide, 0xFE, out, 4, 0), 1);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xA1, 0xA2, 0xA3, 0xA4}));
    EXPECT_EQ(transactions(), (std::vector<Transaction>{{0x90, {0xFE, 0, 0, 0, 0}},
                                                        {0xA2, Bytes(5, 0)},
                                                        {0xA0, {0x01, 0x00, 0, 0, 0}},
                                                        {0xA2, Bytes(5, 0)}}));
}

TEST_F(Sensor, BlockLengthsOneAndThree) {
    unsigned char out[3] = {};
    ASSERT_EQ(OrvexTac_SensorRegisterCustomRead(kNarrow, 0x10, out, 1, 0), 1);
    EXPECT_EQ(out[0], 0x5A);
    EXPECT_EQ(transactions(), (std::vector<Transaction>{{0x90, {0x10, 0, 0, 0, 0}},
                                                        {0x92, Bytes(5, 0)}}));
    vcam::trace().clear();
    ASSERT_EQ(OrvexTac_SensorRegisterCustomRead(kWide, 0x3000, out, 3, 0), 1);
    EXPECT_EQ(Bytes(out, out + 3), (Bytes{0x11, 0x22, 0x33}));
    EXPECT_EQ(transactions(), (std::vector<Transaction>{{0xA0, {0x30, 0x00, 0, 0, 0}},
                                                        {0xA2, Bytes(5, 0)},
                                                        {0xA0, {0x30, 0x02, 0, 0, 0}},
                                                        {0x92, Bytes(5, 0)}}));
    vcam::trace().clear();
    unsigned char in[3] = {0xB1, 0xB2, 0xB3};
    ASSERT_EQ(OrvexTac_SensorRegisterCustomWrite(kWide, 0x2000, in, 3, 0), 1);
    EXPECT_EQ(transactions(), (std::vector<Transaction>{{0xC0, {0x20, 0x00, 0xB1, 0xB2, 0}},
                                                        {0xB0, {0x20, 0x02, 0xB3, 0, 0}}}));
    EXPECT_EQ(sensor_reg(kWide, 0x2002), 0xB3);
    vcam::trace().clear();
    ASSERT_EQ(OrvexTac_SensorRegisterCustomWrite(kNarrow, 0x20, in, 1, 0), 1);
    EXPECT_EQ(transactions(), (std::vector<Transaction>{{0xA0, {0x20, 0xB1, 0, 0, 0}}}));
    EXPECT_EQ(sensor_reg(kNarrow, 0x20), 0xB1);
}

// The read runs with SCL polling off whatever it is given; the write
// passes the caller's choice on.
TEST_F(Sensor, PollSclReachesOnlyTheWrite) {
    unsigned char d[2] = {};
    ASSERT_EQ(OrvexTac_SensorRegisterCustomRead(kWide, 0x3000, d, 2, 1), 1);
    EXPECT_EQ(count_reads(0x10D9), 0u);
    ASSERT_EQ(OrvexTac_SensorRegisterCustomWrite(kWide, 0x3000, d, 2, 1), 1);
    EXPECT_EQ(count_reads(0x10D9), 1u);
}

TEST_F(Sensor, ArgumentsRefusedOrTrivialWithoutDeviceAccess) {
    unsigned char d[8] = {};
    struct Case {
        long addr, len;
        BOOL result;
    } cases[] = {
        {0x3000, 0, 1},   {0x3000, -1, 1},  {0x3000, -2, 1},  {0x3000, -3, 1},
        {0x10000, 2, 0},  {0x12345, 1, 0},  {-2, 2, 0},       {0xFFFE, 4, 0},
        {0xFFFF, 3, 0},   {0xFFFE, 3, 0},   {0, 0x10002, 0},  {LONG_MAX, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.addr << " len " << std::dec << c.len);
        vcam::trace().clear();
        EXPECT_EQ(OrvexTac_SensorRegisterCustomRead(kWide, c.addr, d, c.len, 0), c.result);
        EXPECT_EQ(OrvexTac_SensorRegisterCustomWrite(kWide, c.addr, d, c.len, 0), c.result);
        EXPECT_EQ(vcam::trace().query_count(), 0u);
    }
    // The last register is reachable, also by a pair that starts there.
    EXPECT_EQ(OrvexTac_SensorRegisterCustomWrite(kWide, 0xFFFE, d, 2, 0), 1);
    EXPECT_EQ(OrvexTac_SensorRegisterCustomRead(kWide, 0xFFFF, d, 1, 0), 1);
    vcam::trace().clear();
    unsigned char top[2] = {0x5A, 0xA5};
    EXPECT_EQ(OrvexTac_SensorRegisterCustomWrite(kWide, 0xFFFF, top, 2, 0), 1);
    EXPECT_EQ(OrvexTac_SensorRegisterCustomRead(kWide, 0xFFFD, d, 4, 0), 1);
    EXPECT_EQ(transactions(), (std::vector<Transaction>{{0xC0, {0xFF, 0xFF, 0x5A, 0xA5, 0}},
                                                        {0xA0, {0xFF, 0xFD, 0, 0, 0}},
                                                        {0xA2, Bytes(5, 0)},
                                                        {0xA0, {0xFF, 0xFF, 0, 0, 0}},
                                                        {0xA2, Bytes(5, 0)}}));
    EXPECT_EQ(d[2], 0x5A);
}

TEST_F(Sensor, NeedsAnOpenCamera) {
    ASSERT_EQ(OrvexTac_UnInit(), 1);
    vcam::trace().clear();
    unsigned char d[2] = {};
    EXPECT_EQ(OrvexTac_SensorRegisterCustomRead(kWide, 0x3000, d, 2, 0), 0);
    EXPECT_EQ(OrvexTac_SensorRegisterCustomWrite(kWide, 0x3000, d, 2, 0), 0);
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

TEST_F(Sensor, BlockStopsAtTheFailingTransaction) {
    // Refuse the window write that carries the second pair's address.
    cam().faults().fail_if = [](const vcam::QueryRecord& q) {
        return q.selector == 1 && q.request == vcam::REQ_SET_CUR &&
               q.sent == Bytes{0xD3, 0x10, 0x02, 0x00};
    };
    unsigned char in[6] = {1, 2, 3, 4, 5, 6};
    capture([&] { EXPECT_EQ(OrvexTac_SensorRegisterCustomWrite(kWide, 0x3000, in, 6, 0), 0); });
    EXPECT_EQ(sensor_reg(kWide, 0x3000), 1);
    EXPECT_EQ(sensor_reg(kWide, 0x3001), 2);
    EXPECT_EQ(sensor_reg(kWide, 0x3002), 0x33);  // untouched
    EXPECT_EQ(transactions().size(), 2u);

    unsigned char out[6];
    std::memset(out, 0xEE, sizeof out);
    capture([&] { EXPECT_EQ(OrvexTac_SensorRegisterCustomRead(kWide, 0x3000, out, 6, 0), 0); });
    EXPECT_EQ(Bytes(out, out + 6), (Bytes{1, 2, 0xEE, 0xEE, 0xEE, 0xEE}));
}

// Sensor access uses the map in force; it does not identify the chip.
TEST_F(Sensor, SecondArchitectureMap) {
    vcam::Profile p;
    ASSERT_TRUE(vcam::find_profile("second-arch", &p));
    open_camera(with_sensors(p));
    unsigned char d[2] = {0x12, 0x34};
    // With the first map still in force nothing answers at 0x10D0.
    EXPECT_EQ(OrvexTac_SensorRegisterCustomWrite(kWide, 0x3000, d, 2, 0), 0);
    EXPECT_EQ(vcam::trace().sleeps().size(), 10u);
    ASSERT_EQ(LibUsb_SetAsicArchInfo(DAT_SECOND), 1);
    vcam::trace().clear();
    EXPECT_EQ(OrvexTac_SensorRegisterCustomWrite(kWide, 0x3000, d, 2, 0), 1);
    EXPECT_EQ(transactions(1),
              (std::vector<Transaction>{{0xC0, {0x30, 0x00, 0x12, 0x34, 0}}}));
    EXPECT_EQ(sensor_reg(kWide, 0x3001), 0x34);
}

}  // namespace

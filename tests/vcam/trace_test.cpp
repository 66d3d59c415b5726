// The trace's decoder and its files: a scripted conversation decodes into
// the events it means, real I2C traffic into its transactions, and a trace
// file reads back as written, or not at all.
#include <cstdio>
#include <fstream>

#include "orvex_test.h"
#include "parts.h"

namespace {

using Strings = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

vcam::TraceEvent query(uint8_t sel, uint8_t req, Bytes sent, Bytes returned = {}, int err = 0) {
    vcam::TraceEvent e;
    e.query.unit = 3;
    e.query.selector = sel;
    e.query.request = req;
    e.query.size = sel == vcam::SEL_REGISTER ? 4 : 11;
    e.query.sent = std::move(sent);
    if (req == vcam::REQ_SET_CUR) e.query.sent.resize(e.query.size, 0);
    e.query.returned = std::move(returned);
    e.query.result = err ? -1 : 0;
    e.query.error = err;
    return e;
}

// A program's side of the wire, written out query by query.
struct Script {
    std::vector<vcam::TraceEvent> ev;
    const vcam::ArchMap& m = vcam::arch_map(0);

    Script& w(uint16_t addr, uint8_t v, int err = 0) {
        ev.push_back(query(1, vcam::REQ_SET_CUR, {uint8_t(addr), uint8_t(addr >> 8), v, 0}, {}, err));
        return *this;
    }
    Script& r(uint16_t addr, uint8_t v, int get_err = 0) {
        Bytes req = {uint8_t(addr), uint8_t(addr >> 8), 0, 0xFF};
        ev.push_back(query(1, vcam::REQ_SET_CUR, req));
        req[2] = v;
        ev.push_back(query(1, vcam::REQ_GET_CUR, {}, get_err ? Bytes{} : req, get_err));
        return *this;
    }
    Script& tx(uint8_t v) { return w(m.sf_write_data, v).w(m.sf_trigger, 1).r(m.sf_ready, 0); }
    Script& rx(uint8_t v) {
        return w(m.sf_read_data, 0).w(m.sf_trigger, 2).r(m.sf_ready, 0).r(m.sf_read_data, v);
    }
    Script& sel() { return w(m.sf_cs, 0); }
    Script& rel() { return w(m.sf_cs, 1); }
    Script& sleep(uint64_t us) {
        vcam::TraceEvent e;
        e.kind = vcam::TraceEvent::SLEEP;
        e.sleep_us = us;
        ev.push_back(e);
        return *this;
    }
    Script& q(vcam::TraceEvent e) {
        ev.push_back(std::move(e));
        return *this;
    }
    vcam::Trace trace() const {
        vcam::Trace t;
        t.assign(ev);
        return t;
    }
};

TEST(TraceDecoder, ScriptedConversation) {
    Script s;
    const auto& m = s.m;
    s.w(m.sf_mode, 1).sel().tx(0x05).rx(0x03).sel().tx(0x05).rx(0x00).rel()
        .w(0x1006, 0x04)
        .sleep(1000)
        // Bank 3, read, 2 bytes; the answer carries them from byte 3 on.
        .q(query(3, vcam::REQ_SET_CUR, {0x08, 0x00, 0xB2}))
        .q(query(3, vcam::REQ_GET_CUR, {}, {0x08, 0x00, 0xB2, 0xAA, 0xBB, 0, 0, 0, 0, 0, 0}))
        .q(query(3, vcam::REQ_SET_CUR, {0x00, 0x00, 0x01, 0x5A}, {}, EIO))
        .q(query(4, vcam::REQ_SET_CUR, {0xF8, 0x9F, 0x02}))
        .q(query(4, vcam::REQ_GET_CUR, {}, {0xF8, 0x9F, 0x02, '2', '2', 0, 0, 0, 0, 0, 0}))
        .q(query(5, vcam::REQ_GET_CUR, {}, {}, EPIPE))
        .r(0x101F, 0x15, EIO)
        .w(m.sf_mode, 0)
        .sel().tx(0x06);
    EXPECT_EQ(vcam::strs(s.trace().conversation()),
              (Strings{"M1", "05 <03> | 05 <00>", "W 1006=04", "sleep 1000", "FR 30008 [2] AA BB",
                       "FW 00000 [1] 5A !", "ROM 9FF8 [2] 32 32", "Q sel 5 81 size 11 -> 32",
                       "R 101F !", "M0", "06 ..."}));
    vcam::Trace t = s.trace();
    EXPECT_EQ(t.spi_frames(), (Strings{"M1", "05 <03> | 05 <00>", "W 1006=04", "R 101F !", "M0",
                                       "06 ..."}));
    std::vector<vcam::DeviceEvent> conv = t.conversation();
    EXPECT_EQ(conv[1].frame.opcode(), 0x05);
    EXPECT_EQ(conv[1].frame.received(), (Bytes{0x03, 0x00}));
}

// Steps that fail stay visible, each where the program met the failure.
TEST(TraceDecoder, FailedSteps) {
    struct Case {
        const char* what;
        Script script;
        Strings log;
    };
    const auto& m = vcam::arch_map(0);
    std::vector<Case> cases;
    cases.push_back({"data write fails", Script().sel().w(m.sf_write_data, 0x05, EIO).w(m.sf_trigger, 1),
                     {"sel", "tx 05 !"}});
    cases.push_back({"trigger fails", Script().sel().w(m.sf_write_data, 0x05).w(m.sf_trigger, 1, EIO),
                     {"sel", "tx 05 !"}});
    cases.push_back({"read answer fails", Script().sel().w(m.sf_read_data, 0).w(m.sf_trigger, 2)
                                              .r(m.sf_read_data, 0, EIO),
                     {"sel", "rx !"}});
    cases.push_back({"ready poll fails", Script().sel().tx(0x06).r(m.sf_ready, 0, EIO),
                     {"sel", "tx 06", "ready !"}});
    cases.push_back({"release fails", Script().sel().w(m.sf_cs, 1, EIO), {"sel", "rel !"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.script.trace().spi_log(), c.log);
    }
    // A read whose GET_CUR never comes failed.
    Script unanswered;
    unanswered.q(query(1, vcam::REQ_SET_CUR, {0x1F, 0x10, 0, 0xFF}));
    EXPECT_EQ(unanswered.trace().register_log(), (Strings{"R 101F !"}));
}

class TraceOfTheLibrary : public orvex_test::CameraTest {};

// I2C transactions decode from the traffic the library really sends.
TEST_F(TraceOfTheLibrary, SensorWriteIsOneTransaction) {
    vcam::Profile p = vcam::default_profile();
    vcam::SensorProfile sensor;
    sensor.addr_bytes = 2;
    p.sensors.push_back(sensor);
    open_camera(p);
    unsigned char d[2] = {0x12, 0x34};
    ASSERT_EQ(OrvexTac_SensorRegisterCustomWrite(0x6C, 0x3000, d, 2, 0), 1);
    std::vector<vcam::I2cTransaction> t = vcam::trace().i2c_transactions();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].str(), "I2C 6C W [4] 30 00 12 34 polls 1");
    EXPECT_TRUE(t[0].finished);
    EXPECT_FALSE(t[0].failed);

    // No sensor answers 0x42: the transaction shows it failed.
    vcam::trace().clear();
    EXPECT_EQ(OrvexTac_SensorRegisterCustomWrite(0x42, 0x3000, d, 2, 0), 0);
    t = vcam::trace().i2c_transactions();
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t[0].slave, 0x42);
    EXPECT_TRUE(t[0].failed);
}

TEST_F(TraceOfTheLibrary, FileReadsBackAsWritten) {
    open_camera();
    unsigned char d[8];
    ASSERT_EQ(OrvexTac_SerialFlashRead(0x30000, d, 8), 1);
    vcam::device_sleep(250);
    const std::string path = ::testing::TempDir() + "trace_roundtrip.jsonl";
    ASSERT_TRUE(vcam::write_trace_file(path, vcam::trace(), {{0, 0}}));
    vcam::Trace back;
    std::string error;
    ASSERT_TRUE(vcam::read_trace_file(path, &back, &error)) << error;
    EXPECT_EQ(vcam::strs(back.conversation()), vcam::strs(vcam::trace().conversation()));
    EXPECT_EQ(back.query_count(), vcam::trace().query_count());
    EXPECT_EQ(back.sleeps(), (std::vector<uint64_t>{250}));
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("\"type\":\"flash\""), std::string::npos) << "decoded events follow";
    std::remove(path.c_str());
}

TEST(TraceFile, MissingOrMalformedIsAnError) {
    const std::string dir = ::testing::TempDir();
    struct Case {
        const char* name;
        const char* contents;  // null: no file
    } cases[] = {
        {"missing.jsonl", nullptr},
        {"text.jsonl", "query video0 unit 3 sel 1 SET size 4\n"},
        {"unknown.jsonl", "{\"kind\":\"gossip\"}\n"},
        {"short.jsonl", "{\"kind\":\"query\",\"camera\":0}\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir + c.name;
        std::remove(path.c_str());
        if (c.contents) std::ofstream(path) << c.contents;
        vcam::Trace t;
        std::string error;
        EXPECT_FALSE(vcam::read_trace_file(path, &t, &error));
        EXPECT_FALSE(error.empty());
        std::remove(path.c_str());
    }
}

}  // namespace

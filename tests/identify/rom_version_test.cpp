// Mask-ROM identification: the selector-4 protocol, the search order and its
// tie-breaking, failed reads, and the register probes that refine a match.
#include <cstring>

#include "orvex_test.h"


namespace {

using Bytes = std::vector<uint8_t>;

Bytes rom_string(const char* model, uint8_t version, uint8_t b6 = 0, uint8_t b7 = 0) {
    return {uint8_t(model[0]), uint8_t(model[1]), uint8_t(model[2]), 'R', '0', version, b6, b7};
}

// A camera whose ROM holds the given strings and nothing else.
vcam::Profile rom(std::map<uint16_t, Bytes> strings, uint8_t chip_id = 0x15) {
    vcam::Profile p = vcam::default_profile();
    p.chip_id = chip_id;
    auto first = strings.begin();
    p.rom_string_addr = first->first;
    std::memcpy(p.rom_string, first->second.data(), 8);
    strings.erase(first);
    p.rom_bytes = strings;
    return p;
}

// ROM addresses requested on selector 4, in order.
std::vector<uint16_t> rom_reads() {
    std::vector<uint16_t> out;
    for (const vcam::RomFetch& f : vcam::trace().rom_fetches()) out.push_back(f.addr);
    return out;
}

const std::vector<uint16_t> kAllAddresses = {0x9FF8, 0xD2B2, 0xDFF8, 0xBFF8, 0xC7F8, 0xAFF8};

class RomVersion : public orvex_test::CameraTest {};

TEST_F(RomVersion, ReadRequestAndReply) {
    open_camera(rom({{0x1234, {1, 2, 3, 4, 5, 6, 7, 8}}}));
    BYTE data[8] = {};
    ASSERT_EQ(OV_ReadFromROM(0x71234, data), 1);  // only 16 address bits are sent
    auto q = vcam::trace().queries();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0].request, vcam::REQ_SET_CUR);
    EXPECT_EQ(q[0].sent, (Bytes{0x34, 0x12, 0x08, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(q[1].request, vcam::REQ_GET_CUR);
    for (const auto& x : q) {
        EXPECT_EQ(x.selector, 4);
        EXPECT_EQ(x.size, 11);
        EXPECT_EQ(x.unit, 3);
    }
    EXPECT_EQ(Bytes(data, data + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(RomVersion, FailedReadIsSilentAndLeavesTheBuffer) {
    open_camera();
    for (uint8_t request : {vcam::REQ_SET_CUR, vcam::REQ_GET_CUR}) {
        vcam::trace().clear();
        cam().faults().fail_if = [request](const vcam::QueryRecord& q) {
            return q.selector == 4 && q.request == request;
        };
        BYTE data[8];
        std::memset(data, 0xEE, sizeof data);
        auto o = orvex_test::capture([&] { EXPECT_EQ(OV_ReadFromROM(0xBFF8, data), 0); });
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(Bytes(data, data + 8), Bytes(8, 0xEE));
        EXPECT_EQ(vcam::trace().query_count(), request == vcam::REQ_SET_CUR ? 1u : 2u);
    }
}

struct MatchCase {
    const char* what;
    std::map<uint16_t, Bytes> strings;
    BOOL result;
    unsigned row;           // uiRomID after the call (0x7F: left alone)
    size_t addresses_read;  // how many of the six addresses were asked
};

TEST_F(RomVersion, SearchOrderDecidesTies) {
    const MatchCase cases[] = {
        {"230 v02 at DFF8 is the exact row", {{0xDFF8, rom_string("230", 2)}}, 1, ROM230V2, 3},
        {"230 v03 at DFF8", {{0xDFF8, rom_string("230", 3, 0, 3)}}, 1, ROM230V3, 3},
        {"230 v07 at DFF8", {{0xDFF8, rom_string("230", 7)}}, 1, ROM230V3, 3},
        {"230 v01 lives at D2B2 only", {{0xDFF8, rom_string("230", 1)}}, 0, 0x7F, 6},
        {"230 v01 at D2B2", {{0xD2B2, rom_string("230", 1)}}, 1, ROM230V1, 2},
        {"230 v02 at D2B2 is not exact", {{0xD2B2, rom_string("230", 2)}}, 0, 0x7F, 6},
        {"first address stops the search", {{0x9FF8, rom_string("220", 1)}}, 1, ROM220, 1},
        {"at-least row accepts newer", {{0x9FF8, rom_string("225", 9)}}, 1, ROM225, 1},
        {"at-least row refuses older", {{0x9FF8, rom_string("225", 2)}}, 0, 0x7F, 6},
        {"250 v01 exact before at-least v02", {{0x9FF8, rom_string("250", 1)}}, 1, ROM250V1, 1},
        {"250 v05", {{0x9FF8, rom_string("250", 5)}}, 1, ROM250V2, 1},
        {"236 v01 exact", {{0xBFF8, rom_string("236", 1)}}, 1, ROM236V1, 4},
        {"bytes 4, 6, 7 are not compared",
         {{0xBFF8, {'2', '1', '5', 'R', 'x', 0x04, 0xAB, 0xCD}}}, 1, ROM215V1, 4},
        {"236 v03", {{0xBFF8, rom_string("236", 3)}}, 1, ROM236V2, 4},
        {"288 shadows 289", {{0xBFF8, rom_string("288", 1, 0x42, 0x21)}}, 1, ROM288V1, 4},
        {"292 sits at 9FF8", {{0x9FF8, rom_string("292", 1)}}, 1, ROM292, 1},
        {"283 at AFF8 is last", {{0xAFF8, rom_string("283", 1)}}, 1, ROM283, 6},
        {"231 at DFF8 wins over BFF8",
         {{0xDFF8, rom_string("231", 1)}, {0xBFF8, rom_string("231", 2)}}, 1, ROM231V1, 3},
        {"231 v02 at BFF8 alone", {{0xBFF8, rom_string("231", 2, 0x10, 1)}}, 1, ROM231V2, 4},
        {"275 at BFF8 wins over AFF8",
         {{0xBFF8, rom_string("275", 1)}, {0xAFF8, rom_string("275", 1)}}, 1, ROM275V1, 4},
        {"275 at AFF8 alone", {{0xAFF8, rom_string("275", 1)}}, 1, ROM275V2, 6},
        {"286 at AFF8 alone", {{0xAFF8, rom_string("286", 1)}}, 1, ROM286, 6},
        {"string at an unsearched address", {{0xBFF0, rom_string("215", 1)}}, 0, 0x7F, 6},
        {"model digits must agree", {{0xBFF8, rom_string("214", 1)}}, 0, 0x7F, 6},
    };
    for (const MatchCase& c : cases) {
        SCOPED_TRACE(c.what);
        orvex_test::reset_library_globals();
        open_camera(rom(c.strings));
        uiRomID = 0x7F;
        BYTE data[8];
        std::memset(data, 0xEE, sizeof data);
        EXPECT_EQ(KS_DefGetAsicRomVersion(data), c.result);
        EXPECT_EQ(uiRomID, c.row);
        EXPECT_EQ(rom_reads(), std::vector<uint16_t>(kAllAddresses.begin(),
                                                     kAllAddresses.begin() + c.addresses_read));
        if (c.result) {
            // The device's bytes come back, including its version byte.
            uint16_t at = kAllAddresses[c.addresses_read - 1];
            EXPECT_EQ(Bytes(data, data + 8), c.strings.at(at));
        } else {
            EXPECT_EQ(Bytes(data, data + 8), Bytes(8, 0xEE));
        }
    }
}

// A read that fails must not let the previous address's bytes be matched
// against this address's rows: "230R0 02" at D2B2 matches nothing there but
// would pass for ROM230V2 at DFF8.
TEST_F(RomVersion, FailedReadCannotMatchWithStaleBytes) {
    open_camera(rom({{0xD2B2, rom_string("230", 2)}}));
    cam().faults().fail_if = [](const vcam::QueryRecord& q) {
        return orvex_test::fetches_rom(q, 0xDFF8);
    };
    uiRomID = 0x7F;
    BYTE data[8];
    std::memset(data, 0xEE, sizeof data);
    EXPECT_EQ(OV_GetAsicRomVersion(data), 0);
    EXPECT_EQ(uiRomID, 0x7Fu);
    EXPECT_EQ(Bytes(data, data + 8), Bytes(8, 0xEE));
    EXPECT_EQ(rom_reads(), kAllAddresses);  // the search went on past the failure
}

TEST_F(RomVersion, FailedFirstReadStillFindsALaterAddress) {
    open_camera();  // 215R0 at BFF8
    cam().faults().fail_query_n = cam().query_count() + 1;
    BYTE data[8] = {};
    EXPECT_EQ(OV_GetAsicRomVersion(data), 1);
    EXPECT_EQ(uiRomID, unsigned(ROM215V1));
    EXPECT_EQ(Bytes(data, data + 5), (Bytes{'2', '1', '5', 'R', '0'}));
}

TEST_F(RomVersion, DefaultCameraIdentifies) {
    open_camera();
    BYTE data[8] = {};
    EXPECT_EQ(OV_GetAsicRomVersion(data), 1);
    EXPECT_EQ(uiRomID, unsigned(ROM215V1));
    EXPECT_EQ(Bytes(data, data + 8), rom_string("215", 1));
    EXPECT_TRUE(vcam::trace().register_log().empty());  // no probe for this revision
}

struct ProbeCase {
    const char* what;
    const char* model;
    uint8_t chip_id;
    uint8_t pins;      // input levels of the undriven GPIO pins
    bool sticky;       // bits 4-6 of 0x1185 hold
    unsigned row;      // uiRomID afterwards
    char byte2, byte4; // refined model digit and variant
    uint8_t out, oe;   // GPIO output value and enable afterwards
};

TEST_F(RomVersion, RefinementProbes) {
    const uint8_t kOE = 0xFF;  // every pin starts driven
    const uint8_t kOut = 0x00; // and low
    const ProbeCase cases[] = {
        {"276 bits stick", "276", 0x15, 0, true, ROM276V1, '6', '1', kOut, kOE},
        {"276 bits drop", "276", 0x15, 0, false, ROM276V1, '6', '0', kOut, kOE},
        {"288 chip 89 is 289", "288", 0x89, 0x20, true, ROM289V1, '9', '0', kOut, kOE},
        {"288 pin 5 high", "288", 0x88, 0x20, true, ROM288V1, '8', '1', 0x20, 0xDF},
        {"288 pin 5 low", "288", 0x88, 0x00, true, ROM288V1, '8', '0', 0x00, 0xDF},
        {"271 pin 3 high", "271", 0x71, 0x08, true, ROM271V1, '1', '1', 0x00, 0xF7},
        {"271 as 270, pin 3 high", "271", 0x70, 0x08, true, ROM270V1, '0', '1', 0x00, 0xF7},
        {"271 pin 3 low, pin 4 high", "271", 0x71, 0x10, true, ROM271V1, '1', '0', 0x18, 0xE7},
        {"271 as 270, pins low", "271", 0x70, 0x00, true, ROM270V1, '0', '2', 0x08, 0xE7},
        {"271 pins low", "271", 0x71, 0x00, true, ROM271V1, '1', '0', 0x18, 0xE7},
        {"281 pin 3 high", "281", 0x81, 0x08, true, ROM281V1, '1', '1', 0x00, 0xF7},
        {"281 as 280, pin 3 low", "281", 0x80, 0x00, true, ROM280V1, '0', '0', 0x08, 0xF7},
        {"281 pin 3 low", "281", 0x81, 0x10, true, ROM281V1, '1', '0', 0x08, 0xF7},
    };
    for (const ProbeCase& c : cases) {
        SCOPED_TRACE(c.what);
        orvex_test::reset_library_globals();
        // The variant byte reads '0' in ROM; only the probes change it.
        vcam::Profile p = rom({{0xBFF8, rom_string(c.model, 1, 0x40, 0x06)}}, c.chip_id);
        p.gpio_input = c.pins;
        p.reg1185_sticky = c.sticky;
        vcam::Camera& camera = open_camera(p);
        camera.regs().raw(0x1007) = kOE;
        camera.regs().raw(0x1006) = kOut;
        camera.regs().raw(0x100A) = 0x5F;
        BYTE data[8] = {};
        EXPECT_EQ(OV_GetAsicRomVersion(data), 1);
        EXPECT_EQ(uiRomID, c.row);
        EXPECT_EQ(data[2], c.byte2);
        EXPECT_EQ(data[4], c.byte4);
        EXPECT_EQ(data[0], '2');
        EXPECT_EQ(data[3], 'R');
        EXPECT_EQ(camera.regs().raw(0x1006), c.out);
        EXPECT_EQ(camera.regs().raw(0x1007), c.oe);
        EXPECT_EQ(camera.regs().raw(0x100A), 0x5F);  // bit 4 restored
    }
}

// The probes use the first architecture's registers whatever map is in
// force, and the 271 probe's sequence is exactly this.
TEST_F(RomVersion, ProbeSequenceOf271) {
    open_camera(rom({{0xBFF8, rom_string("271", 1)}}, 0x70));
    cam().regs().raw(0x100A) = 0x13;
    cam().regs().raw(0x1007) = 0xFF;
    OV_SetAsicArchInfo(DAT_SECOND);
    BYTE data[8] = {};
    ASSERT_EQ(OV_GetAsicRomVersion(data), 1);
    EXPECT_EQ(vcam::trace().register_log(), (std::vector<std::string>{
                                  "R 100A", "W 100A=03", "R 101F", "W 100A=13",
                                  "R 1007", "R 1006", "W 1007=F7", "W 1006=08", "R 1005",
                                  "R 1007", "R 1006", "W 1007=E7", "W 1006=18", "R 1005",
                                  "W 1006=08"}));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 5), "270R2");
}

// Each query of an identification that probes fails in turn. A failed
// register access inside a probe decides nothing: the result is 0 with
// data and uiRomID as they were, and 0x100A gets its bit 4 back unless the
// restoring write is the one that failed. A failed ROM read at an address
// that holds no string changes nothing at all.
TEST_F(RomVersion, FailedProbeAccessLeavesTheIdentificationAsItWas) {
    struct Case {
        const char* model;
        uint8_t chip_id, pins;
    } cases[] = {{"276", 0x15, 0x00}, {"288", 0x89, 0x00}, {"288", 0x88, 0x00},
                 {"271", 0x70, 0x00}, {"271", 0x71, 0x08}, {"281", 0x80, 0x00}};
    const BYTE kSentinel[8] = {0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5};
    const unsigned kRowBefore = 7;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.model) + " chip " + std::to_string(c.chip_id));
        vcam::Profile p = rom({{0xBFF8, rom_string(c.model, 1, 0x40, 0x06)}}, c.chip_id);
        p.gpio_input = c.pins;
        auto open = [&] {
            vcam::Camera& camera = open_camera(p);
            camera.regs().raw(0x1007) = 0xFF;
            camera.regs().raw(0x100A) = 0x5F;
            return &camera;
        };
        open();
        BYTE clean[8] = {};
        ASSERT_EQ(OV_GetAsicRomVersion(clean), 1);
        const unsigned clean_row = uiRomID;
        const size_t n = vcam::trace().query_count();
        for (size_t k = 1; k <= n; ++k) {
            SCOPED_TRACE(k);
            vcam::Camera* camera = open();
            uiRomID = kRowBefore;
            BYTE data[8];
            std::memcpy(data, kSentinel, 8);
            camera->faults().fail_query_n = camera->query_count() + static_cast<long>(k);
            BOOL r = 0;
            orvex_test::capture([&] { r = OV_GetAsicRomVersion(data); });
            const vcam::QueryRecord failed = vcam::trace().queries()[k - 1];
            ASSERT_NE(failed.result, 0);
            if (failed.selector == 1) {
                EXPECT_EQ(r, 0);
            }
            if (r == 1) {
                EXPECT_EQ(0, std::memcmp(data, clean, 8));
                EXPECT_EQ(uiRomID, clean_row);
            } else {
                EXPECT_EQ(0, std::memcmp(data, kSentinel, 8));
                EXPECT_EQ(uiRomID, kRowBefore);
            }
            vcam::RegisterAccess a;
            const bool restore_failed = vcam::as_register_access(failed, &a) && a.write &&
                                        a.addr == 0x100A && a.value == 0x5F;
            if (!restore_failed) {
                EXPECT_EQ(camera->regs().raw(0x100A), 0x5F) << "bit 4 restored";
            }
        }
    }
}

// The chip id of a 271 ROM cannot be read: the probe stops, and the row
// does not silently become 271 on a 270 part (nor the version 271R...).
TEST_F(RomVersion, UnreadableChipIdInTheProbeIsNoRow) {
    open_camera(rom({{0xBFF8, rom_string("271", 1)}}, 0x70));
    cam().faults().fail_if = [](const vcam::QueryRecord& q) {
        return orvex_test::accesses_register(q, 0x101F);
    };
    cam().regs().raw(0x100A) = 0x13;
    uiRomID = 0;
    BYTE data[8] = {};
    orvex_test::capture([&] { EXPECT_EQ(OV_GetAsicRomVersion(data), 0); });
    EXPECT_EQ(uiRomID, 0u);
    EXPECT_EQ(data[0], 0);
    EXPECT_EQ(vcam::trace().register_log(), (std::vector<std::string>{"R 100A", "W 100A=03", "R 101F !",
                                                         "W 100A=13"}));
}

}  // namespace

// Firmware version query: the layout table row by row (the flash addresses
// actually read), the record and its output contract, and failures.
#include <cstring>

#include "images.h"
#include "orvex_test.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Read {
    uint32_t addr;
    unsigned len;
    bool operator==(const Read& o) const { return addr == o.addr && len == o.len; }
};
std::ostream& operator<<(std::ostream& os, const Read& r) {
    return os << std::hex << "0x" << r.addr << "/" << std::dec << r.len;
}

// Flash-data reads in the trace, as (address, length).
std::vector<Read> flash_reads() {
    std::vector<Read> out;
    for (const vcam::FlashTransfer& f : vcam::trace().flash_transfers())
        if (f.read) out.push_back({f.addr, f.len});
    return out;
}

// The reads of one query: three 10-byte fields split 8 + 2, then the code.
std::vector<Read> field_reads(uint32_t customer, uint32_t cus_ver, uint32_t day_ver,
                              uint32_t code) {
    return {{customer, 8}, {customer + 8, 2}, {cus_ver, 8}, {cus_ver + 8, 2},
            {day_ver, 8},  {day_ver + 8, 2},  {code, 5}};
}

// The record the factory image yields (see vcam/images/firmware.cpp).
Bytes record(uint8_t chip, unsigned rev, char layout = 'A') {
    char buf[64];
    std::snprintf(buf, sizeof buf, "V%02X%02uCV%02X.R%02u.%cORVEX-%02X-%c2024-06-%02X", chip, rev,
                  chip, rev, layout, chip, layout, chip);
    Bytes r(buf, buf + 35);
    r.resize(56, 0);
    return r;
}

vcam::Profile named(const char* name) {
    vcam::Profile p;
    EXPECT_TRUE(vcam::find_profile(name, &p)) << name;
    return p;
}

class FwVersion : public orvex_test::CameraTest {};

// Every profile with version fields; the addresses come from the model's
// layouts, the other side of the wire.
TEST_F(FwVersion, LayoutTableRowByRow) {
    const char* profiles[] = {"default", "chip-56", "chip-16",  "chip-25", "chip-32-r1",
                              "chip-32-r2", "chip-70", "chip-71", "chip-75", "chip-76",
                              "chip-83", "second-arch", "chip-90", "chip-92"};
    for (const char* name : profiles) {
        SCOPED_TRACE(name);
        orvex_test::reset_library_globals();
        const vcam::Profile p = named(name);
        const unsigned rev = p.rom_string[5];
        const vcam::FirmwareLayout* l = vcam::firmware_layout(p.chip_id, rev);
        ASSERT_NE(l, nullptr);
        open_camera(p);
        unsigned char out[56];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(OrvexTac_GetFWVersion(out, 56), 1);
        EXPECT_EQ(flash_reads(), field_reads(l->customer, l->cus_ver, l->day_ver, l->code));
        EXPECT_EQ(Bytes(out, out + 56), record(p.chip_id, rev));
    }
}

// The query identified the chip: its map is in force afterwards.
TEST_F(FwVersion, LeavesTheDetectedMapInForce) {
    open_camera(named("second-arch"));
    unsigned char out[56];
    ASSERT_EQ(OrvexTac_GetFWVersion(out, 56), 1);
    EXPECT_EQ(sfModeAddr, 0x8E00);
    EXPECT_EQ(uiRomID, unsigned(ROM256V1));
}

TEST_F(FwVersion, ChipsWithoutALayoutFail) {
    std::vector<vcam::Profile> profiles = {named("chip-32-r3"), named("chip-67"),
                                           named("chip-86")};
    for (uint8_t id : {0x22, 0x23, 0x33, 0x87, 0x88}) {
        vcam::Profile p = vcam::default_profile();
        p.chip_id = id;
        vcam::build_factory_image(p);
        profiles.push_back(p);
    }
    for (const vcam::Profile& p : profiles) {
        SCOPED_TRACE(testing::Message() << p.name << " chip " << int(p.chip_id));
        orvex_test::reset_library_globals();
        open_camera(p);
        unsigned char out[56];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(OrvexTac_GetFWVersion(out, 56), 0);
        for (int t = DRT_Unknow; t <= DRT_256K; ++t)
            EXPECT_EQ(OrvexTac_GetFWVersionEx(static_cast<DSP_ROM_TYPE>(t), out, 56), 0);
        EXPECT_EQ(Bytes(out, out + 56), Bytes(56, 0xEE));
        EXPECT_TRUE(flash_reads().empty());
    }
}

// A failed ROM version read makes the revision 0: fatal for the chips
// whose layout depends on it, harmless for the others.
TEST_F(FwVersion, FailedRomReadMakesRevisionZero) {
    struct Case {
        const char* profile;
        BOOL result;
    } cases[] = {{"chip-32-r1", 0}, {"chip-32-r2", 0}, {"chip-75", 0}, {"chip-76", 0},
                 {"default", 1},    {"chip-70", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        orvex_test::reset_library_globals();
        open_camera(named(c.profile));
        cam().faults().fail_if = [](const vcam::QueryRecord& q) { return q.selector == 4; };
        unsigned char out[56];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(OrvexTac_GetFWVersion(out, 56), c.result);
        if (!c.result) {
            EXPECT_EQ(Bytes(out, out + 56), Bytes(56, 0xEE));
        }
    }
}

TEST_F(FwVersion, ExChoosesTheLayoutOfChip75) {
    open_camera(named("chip-75"));
    auto reads_of = [](char letter) {
        const vcam::FirmwareLayout* l = vcam::firmware_layout(0x75, 1, letter);
        return field_reads(l->customer, l->cus_ver, l->day_ver, l->code);
    };
    unsigned char out[56];
    ASSERT_EQ(OrvexTac_GetFWVersionEx(DRT_64K, out, 56), 1);
    EXPECT_EQ(flash_reads(), reads_of('B'));
    EXPECT_EQ(Bytes(out, out + 56), record(0x75, 1, 'B'));

    vcam::trace().clear();
    ASSERT_EQ(OrvexTac_GetFWVersionEx(DRT_128K, out, 56), 1);
    EXPECT_EQ(flash_reads(), reads_of('A'));
    EXPECT_EQ(Bytes(out, out + 56), record(0x75, 1, 'A'));

    for (DSP_ROM_TYPE t : {DRT_Unknow, DRT_32K, DRT_256K}) {
        SCOPED_TRACE(t);
        vcam::trace().clear();
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(OrvexTac_GetFWVersionEx(t, out, 56), 0);
        EXPECT_EQ(Bytes(out, out + 56), Bytes(56, 0xEE));
        EXPECT_TRUE(flash_reads().empty());
    }
}

TEST_F(FwVersion, ExIgnoresRomTypeForOtherChips) {
    open_camera();
    for (int t = DRT_Unknow; t <= DRT_256K; ++t) {
        SCOPED_TRACE(t);
        unsigned char out[56] = {};
        EXPECT_EQ(OrvexTac_GetFWVersionEx(static_cast<DSP_ROM_TYPE>(t), out, 56), 1);
        EXPECT_EQ(Bytes(out, out + 56), record(0x15, 1));
    }
}

TEST_F(FwVersion, OutputLengths) {
    open_camera();
    const Bytes full = record(0x15, 1);
    struct Case {
        long len;
        size_t filled;  // bytes of the record delivered
    } cases[] = {{0, 0}, {1, 1}, {20, 20}, {35, 35}, {56, 56}, {100, 56}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.len);
        vcam::trace().clear();
        unsigned char out[128];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(OrvexTac_GetFWVersion(out, c.len), 1);
        EXPECT_EQ(flash_reads().size(), 7u);  // the device is read whatever the length
        Bytes expect(full.begin(), full.begin() + c.filled);
        expect.resize(static_cast<size_t>(c.len), 0);  // zeros beyond the record
        expect.resize(sizeof out, 0xEE);                // untouched beyond len
        EXPECT_EQ(Bytes(out, out + sizeof out), expect);
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(full.data()), 5), "V1501");
}

TEST_F(FwVersion, NegativeLengthFailsWithoutDeviceAccess) {
    open_camera();
    unsigned char out[8] = {};
    EXPECT_EQ(OrvexTac_GetFWVersion(out, -1), 0);
    EXPECT_EQ(OrvexTac_GetFWVersionEx(DRT_64K, out, -56), 0);
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

// Each of the four field reads failing fails the query, leaving the
// caller's buffer alone. The reads are transfers 1-2, 3-4, 5-6 and 7.
TEST_F(FwVersion, FailedFieldReadFailsTheQuery) {
    open_camera();
    for (int transfer : {1, 2, 3, 5, 7}) {
        SCOPED_TRACE(transfer);
        vcam::trace().clear();
        int seen = 0;
        cam().faults().fail_if = [&seen, transfer](const vcam::QueryRecord& q) {
            return q.selector == 3 && q.request == vcam::REQ_SET_CUR && ++seen == transfer;
        };
        unsigned char out[56];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(OrvexTac_GetFWVersion(out, 56), 0);
        EXPECT_EQ(Bytes(out, out + 56), Bytes(56, 0xEE));
        EXPECT_EQ(flash_reads().size(), static_cast<size_t>(transfer));
    }
}

TEST_F(FwVersion, FailedIdentificationLeavesTheBuffer) {
    open_camera();
    cam().faults().fail_if = [](const vcam::QueryRecord& q) { return q.selector == 1; };
    unsigned char out[56];
    std::memset(out, 0xEE, sizeof out);
    orvex_test::capture([&] { EXPECT_EQ(OrvexTac_GetFWVersion(out, 56), 0); });
    EXPECT_EQ(Bytes(out, out + 56), Bytes(56, 0xEE));
    EXPECT_TRUE(flash_reads().empty());
}

TEST_F(FwVersion, NeedsAnOpenCamera) {
    unsigned char out[56] = {};
    EXPECT_EQ(OrvexTac_GetFWVersion(out, 56), 0);
    EXPECT_EQ(OrvexTac_GetFWVersionEx(DRT_64K, out, 56), 0);
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

}  // namespace

// Flash data transfer over selector 3: control bytes, banks, chunking.
#include <algorithm>

#include "orvex_test.h"

namespace {

using Strings = std::vector<std::string>;

Strings transfers() {
    Strings out;
    for (const auto& f : vcam::trace().flash_transfers()) out.push_back(f.str());
    return out;
}

class FlashData : public orvex_test::CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        open_camera();
    }
    std::vector<vcam::QueryRecord> sets() {
        std::vector<vcam::QueryRecord> out;
        for (auto& q : vcam::trace().queries())
            if (q.request == vcam::REQ_SET_CUR) out.push_back(q);
        return out;
    }
};

TEST_F(FlashData, ControlByteAndAddressBytesByBank) {
    struct Case {
        long addr;
        int len;
        bool read;
        uint8_t b0, b1, b2;
    } cases[] = {
        {0x30000, 8, true, 0x00, 0x00, 0xB8},  {0x190C0, 8, false, 0xC0, 0x90, 0x18},
        {0x34000, 4, true, 0x00, 0x40, 0xB4},  {0x1234, 3, false, 0x34, 0x12, 0x03},
        {0x2FFFC, 8, true, 0xFC, 0xFF, 0xA8},  {0x40010, 8, true, 0x10, 0x00, 0xB8},
        {-8, 8, true, 0xF8, 0xFF, 0x88},       {0x10000, 1, false, 0x00, 0x00, 0x11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.addr);
        vcam::trace().clear();
        BYTE data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        if (c.read)
            ASSERT_EQ(OV_ReadDataFormFlash(c.addr, data, static_cast<BYTE>(c.len)), 1);
        else
            ASSERT_EQ(OV_WriteDataToFlash(c.addr, data, static_cast<BYTE>(c.len)), 1);
        auto q = vcam::trace().queries();
        ASSERT_EQ(q.size(), c.read ? 2u : 1u);
        EXPECT_EQ(q[0].selector, 3);
        EXPECT_EQ(q[0].size, 11);
        EXPECT_EQ(q[0].sent[0], c.b0);
        EXPECT_EQ(q[0].sent[1], c.b1);
        EXPECT_EQ(q[0].sent[2], c.b2);
        for (int i = 3; i < 11; ++i)
            EXPECT_EQ(q[0].sent[i], c.read || i >= 3 + c.len ? 0 : data[i - 3]) << i;
    }
}

// A transfer that starts in a bank's last bytes carries that bank's code,
// even when it runs on past the boundary; the flash holds a different byte
// at every bank's copy of an offset, so a wrong bank shows in the data too.
TEST_F(FlashData, TransfersAtTheEndOfABankUseThatBank) {
    std::vector<uint8_t>& flash = cam().flash();
    auto pattern = [](uint32_t a) { return static_cast<uint8_t>(a * 31 + (a >> 16) * 101); };
    const uint32_t starts[] = {0x0FFF8, 0x0FFFF, 0x1FFF8, 0x1FFFF, 0x2FFF8, 0x2FFFF};
    for (uint32_t addr : starts) {
        SCOPED_TRACE(addr);
        const uint8_t bank = static_cast<uint8_t>(addr >> 16);
        for (uint32_t a = 0; a < vcam::kFlashSize; ++a) flash[a] = pattern(a);
        vcam::trace().clear();
        BYTE got[8] = {};
        ASSERT_EQ(OV_ReadDataFormFlash(addr, got, 8), 1);
        auto q = vcam::trace().queries();
        ASSERT_FALSE(q.empty());
        EXPECT_EQ(q[0].sent[0], addr & 0xFF);
        EXPECT_EQ(q[0].sent[1], (addr >> 8) & 0xFF);
        EXPECT_EQ(q[0].sent[2], 0x88 | bank << 4);
        for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(got[i], pattern(addr + i)) << i;

        std::fill(flash.begin(), flash.end(), 0xFF);
        vcam::trace().clear();
        BYTE data[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x00};
        ASSERT_EQ(OV_WriteDataToFlash(addr, data, 8), 1);
        q = vcam::trace().queries();
        ASSERT_FALSE(q.empty());
        EXPECT_EQ(q[0].sent[2], 0x08 | bank << 4);
        for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(flash[addr + i], data[i]) << i;
        EXPECT_EQ(std::count(flash.begin(), flash.end(), 0xFF), static_cast<long>(vcam::kFlashSize) - 8);
    }
}

TEST_F(FlashData, HighAddressesFoldIntoTheLastBank) {
    std::vector<uint8_t>& flash = cam().flash();
    for (int i = 0; i < 8; ++i) flash[0x30010 + i] = static_cast<uint8_t>(0x40 + i);
    BYTE a[8], b[8];
    ASSERT_EQ(OV_ReadDataFormFlash(0x30010, a, 8), 1);
    ASSERT_EQ(OV_ReadDataFormFlash(0x40010, b, 8), 1);
    EXPECT_EQ(0, memcmp(a, b, 8));
    EXPECT_EQ(a[0], 0x40);
}

TEST_F(FlashData, WriteCutsLengthToEight) {
    BYTE data[20];
    for (int i = 0; i < 20; ++i) data[i] = static_cast<BYTE>(i);
    ASSERT_EQ(OV_WriteDataToFlash(0x1000, data, 20), 1);
    auto q = vcam::trace().queries();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0].sent[2], 0x08);
    EXPECT_EQ(std::vector<uint8_t>(q[0].sent.begin() + 3, q[0].sent.end()),
              std::vector<uint8_t>(data, data + 8));
}

TEST_F(FlashData, ReadLongerThanThePayloadIsRefusedWithoutQuery) {
    BYTE data[16];
    memset(data, 0xAA, sizeof data);
    EXPECT_EQ(OV_ReadDataFormFlash(0x1000, data, 9), 0);
    EXPECT_EQ(vcam::trace().query_count(), 0u);
    EXPECT_EQ(data[0], 0xAA);
}

TEST_F(FlashData, ProgrammingOnlyClearsBits) {
    cam().flash()[0x2000] = 0xF0;
    BYTE v = 0x3C;
    ASSERT_EQ(OV_WriteDataToFlash(0x2000, &v, 1), 1);
    EXPECT_EQ(cam().flash()[0x2000], 0x30);
}

TEST_F(FlashData, BlockReadChunksAndTail) {
    std::vector<uint8_t>& flash = cam().flash();
    for (int i = 0; i < 20; ++i) flash[0x30000 + i] = static_cast<uint8_t>(i);
    unsigned char d[20] = {};
    ASSERT_EQ(OrvexTac_SerialFlashRead(0x30000, d, 20), 1);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(d[i], i);
    EXPECT_EQ(transfers(), (Strings{"FR 30000 [8] 00 01 02 03 04 05 06 07",
                                    "FR 30008 [8] 08 09 0A 0B 0C 0D 0E 0F",
                                    "FR 30010 [4] 10 11 12 13"}));
    EXPECT_EQ(vcam::trace().query_count(), 6u);
}

TEST_F(FlashData, BlockProgramChunksAndTail) {
    unsigned char d[12];
    for (int i = 0; i < 12; ++i) d[i] = static_cast<unsigned char>(0x10 + i);
    // The default camera keeps its marker record here: program over erased
    // bytes.
    std::fill_n(cam().flash().begin() + 0x30000, 16, 0xFF);
    ASSERT_EQ(OrvexTac_SerialFlashWrite(0x30000, d, 12), 1);
    EXPECT_EQ(transfers(), (Strings{"FW 30000 [8] 10 11 12 13 14 15 16 17",
                                    "FW 30008 [4] 18 19 1A 1B"}));
    // On the wire the tail's unused data bytes are zero.
    auto s = sets();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(std::vector<uint8_t>(s[1].sent.begin() + 3, s[1].sent.end()),
              (std::vector<uint8_t>{0x18, 0x19, 0x1A, 0x1B, 0, 0, 0, 0}));
    for (int i = 0; i < 12; ++i) EXPECT_EQ(cam().flash()[0x30000 + i], d[i]);
    EXPECT_EQ(cam().flash()[0x3000C], 0xFF);
}

TEST_F(FlashData, BlockReadStopsAtTheFailingChunk) {
    unsigned char d[24];
    memset(d, 0xEE, sizeof d);
    std::vector<uint8_t>& flash = cam().flash();
    for (int i = 0; i < 24; ++i) flash[0x1000 + i] = static_cast<uint8_t>(i);
    cam().faults().fail_query_n = cam().query_count() + 5;  // third chunk's SET_CUR
    EXPECT_EQ(OrvexTac_SerialFlashRead(0x1000, d, 24), 0);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(d[i], i);
    for (int i = 16; i < 24; ++i) EXPECT_EQ(d[i], 0xEE);
}

TEST_F(FlashData, EmptyOrNegativeLengthsSucceedWithoutQueries) {
    unsigned char d[8] = {};
    for (long len : {0L, -1L, -9L}) {
        EXPECT_EQ(OrvexTac_SerialFlashRead(0x1000, d, len), 1);
        EXPECT_EQ(OrvexTac_SerialFlashWrite(0x1000, d, len), 1);
    }
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

TEST_F(FlashData, ExportedOperationsNeedAnOpenCamera) {
    ASSERT_EQ(OrvexTac_UnInit(), 1);
    vcam::trace().clear();
    unsigned char d[8] = {};
    EXPECT_EQ(OrvexTac_SerialFlashRead(0x1000, d, 8), 0);
    EXPECT_EQ(OrvexTac_SerialFlashWrite(0x1000, d, 8), 0);
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

}  // namespace

// Guarded regions: a write or erase that would touch the calibration
// records or an identification block's sector is refused unless the caller
// includes them, and a refusal leaves the flash byte-identical.
#include "factory_test.h"

namespace factory_test {
namespace {

class Regions : public FactoryTest {};

TEST_F(Regions, WritesIntoUnitDataAreRefusedUnlessIncluded) {
    struct Case {
        const char* name;
        long addr, len;
        bool guarded;
    } cases[] = {
        {"firmware only", 0x10000, 0x100, false},
        {"first byte of the records", 0x30000, 1, true},
        {"last byte before the records", 0x2FFFF, 1, false},
        {"across into the records", 0x2FFF0, 0x20, true},
        {"identification block 1 sector", 0x19000, 4, true},
        {"identification block 2 sector", 0x3FA00, 24, true},
        {"free area", 0x35000, 0x1000, false},
        {"end of the free area", 0x3EFFF, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes before = flash();
        Bytes data(static_cast<size_t>(c.len), 0x5A);
        OrvexFactoryResult* r = nullptr;
        Outcome o = take(OrvexFactory_FlashWrite(session(), c.addr, data.data(), c.len, 0, &r), r);
        if (c.guarded) {
            EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED) << o.message;
            EXPECT_NE(o.message.find("--include-calibration"), std::string::npos) << o.message;
            EXPECT_EQ(flash(), before);
            o = take(OrvexFactory_FlashWrite(session(), c.addr, data.data(), c.len,
                                             ORVEX_FACTORY_INCLUDE_CALIBRATION, &r),
                     r);
        }
        EXPECT_EQ(o.status, ORVEX_FACTORY_OK) << o.message;
        EXPECT_TRUE(std::equal(data.begin(), data.end(), flash().begin() + c.addr));
    }
}

TEST_F(Regions, EraseIsGuardedLikeAWrite) {
    Bytes before = flash();
    OrvexFactoryResult* r = nullptr;
    Outcome o = take(OrvexFactory_FlashErase(session(), 0x30000, 0x1000, 0, &r), r);
    EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED);
    EXPECT_EQ(flash(), before);
}

TEST_F(Regions, NamedRegions) {
    struct Case {
        const char* name;
        long from, to;
    } cases[] = {{"whole", 0, 0x40000},          {"firmware", 0, 0x30000},
                 {"calibration", 0x30000, 0x35000}, {"identification-2", 0x3F000, 0x40000}};
    for (const Case& c : cases) {
        LONG from = -1, to = -1;
        ASSERT_EQ(OrvexFactory_Region(c.name, &from, &to), 1) << c.name;
        EXPECT_EQ(from, c.from) << c.name;
        EXPECT_EQ(to, c.to) << c.name;
    }
    LONG from = 0, to = 0;
    EXPECT_EQ(OrvexFactory_Region("bogus", &from, &to), 0);
    // Every listed name resolves, inside the flash; the list ends in NULL.
    int n = 0;
    for (; OrvexFactory_RegionName(n); ++n) {
        SCOPED_TRACE(OrvexFactory_RegionName(n));
        ASSERT_EQ(OrvexFactory_Region(OrvexFactory_RegionName(n), &from, &to), 1);
        EXPECT_LT(from, to);
        EXPECT_LE(to, 0x40000);
    }
    EXPECT_EQ(n, 6);
    EXPECT_EQ(OrvexFactory_RegionName(-1), nullptr);
}

// A flash whose sector erase clears nothing is refused, never "written".
TEST_F(Regions, AFlashWhoseSectorEraseClearsNothingIsRefused) {
    Bytes before = flash();
    OrvexFactory_SetFlashType(session(), "ATMEL_AT45DB");
    Bytes data(16, 0x00);
    OrvexFactoryResult* r = nullptr;
    Outcome o = take(OrvexFactory_FlashWrite(sessions.back(), 0x1000, data.data(), 16, 0, &r), r);
    EXPECT_EQ(o.status, ORVEX_FACTORY_REFUSED) << o.message;
    EXPECT_EQ(flash(), before);
}

}  // namespace
}  // namespace factory_test

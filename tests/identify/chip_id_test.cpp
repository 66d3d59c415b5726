// Chip identification: classification, architecture selection, retries and
// the extension-unit probe.
#include "orvex_test.h"

using orvex_test::capture;

namespace {

const char kSetFail[] = "ioctl(UVCIOC_CTRL_SET) FAILED (-1) \n";

std::vector<USHORT> address_globals() {
    return {dspIdAddr,      sfRdyAddr,    usbResetAddr,        gpioInputAddr,
            gpioOutputAddr, gpioOEAddr,   sfModeAddr,          sfCSAddr,
            sfWriteDataAddr, sfReadDataAddr, sfReadWriteTriggerAddr, i2cDev,
            i2cMode,        i2cTrg,       i2cSclSelOD,         i2cSlaveID,
            i2cDataArrStartAddr};
}

std::vector<USHORT> row(const DSP_ARCH_INFO& m) {
    return {m.asicIdAddr,      m.sfRdyAddr,      m.usbResetAddr,   m.gpioInputAddr,
            m.gpioOutputAddr,  m.gpioOEAddr,     m.sfModeAddr,     m.sfCSAddr,
            m.sfWriteDataAddr, m.sfReadDataAddr, m.sfReadWriteTriggerAddr,
            m.i2cDev,          m.i2cMode,        m.i2cTrg,         m.i2cSclSelOD,
            m.i2cSlaveID,      m.i2cDataArrStartAddr};
}

vcam::Profile chip(uint8_t id, int arch) {
    vcam::Profile p = vcam::default_profile();
    p.chip_id = id;
    p.arch = arch;
    return p;
}

class ChipId : public orvex_test::CameraTest {};

// The globals as the library starts out, taken while the test program
// loads: the fixture's reset would otherwise hide a wrong initial value.
const struct {
    std::vector<USHORT> map = address_globals();
    unsigned rom = uiRomID;
    USHORT dspUnit = g_CurDspExtendUnitID;
} kAtLoad;

TEST(LibraryStart, FirstArchitectureMapAndFirstRomRow) {
    EXPECT_EQ(kAtLoad.map, row(g_AsicArchInfo[DAT_FIRST]));
    EXPECT_EQ(kAtLoad.map.front(), 0x101F);
    EXPECT_EQ(kAtLoad.rom, 0u);
    EXPECT_EQ(kAtLoad.dspUnit, 0x0300);
    // The hosts' copy of the maps lacks only the I2C master.
    for (int a = 0; a < DSP_ARCH_COUNT; ++a) {
        std::vector<USHORT> full = row(g_AsicArchInfo[a]), host = row(g_DspArchInfo[a]);
        for (size_t i = 11; i < full.size(); ++i) full[i] = 0;
        EXPECT_EQ(host, full) << "arch " << a;
    }
}

struct Class {
    uint8_t id;
    DSP_ROM_TYPE rom;
    DSP_ARCH_TYPE arch;
};

const Class kListed[] = {
    {0x15, DRT_64K, DAT_FIRST},   {0x16, DRT_64K, DAT_FIRST},   {0x22, DRT_64K, DAT_FIRST},
    {0x23, DRT_64K, DAT_FIRST},   {0x25, DRT_64K, DAT_FIRST},   {0x32, DRT_64K, DAT_FIRST},
    {0x33, DRT_64K, DAT_FIRST},   {0x56, DRT_64K, DAT_FIRST},   {0x70, DRT_64K, DAT_FIRST},
    {0x71, DRT_64K, DAT_FIRST},   {0x75, DRT_64K, DAT_FIRST},   {0x87, DRT_64K, DAT_FIRST},
    {0x88, DRT_64K, DAT_FIRST},   {0x90, DRT_64K, DAT_FIRST},   {0x67, DRT_32K, DAT_FIRST},
    {0x76, DRT_128K, DAT_FIRST},  {0x83, DRT_128K, DAT_FIRST},  {0x92, DRT_128K, DAT_FIRST},
    {0x85, DRT_128K, DAT_SECOND}, {0x86, DRT_256K, DAT_SECOND},
};

// The id decides the architecture, whichever register delivered it: a
// listed id at 0x101F is taken there; a chip answering at 0x80F0 is found
// on the second read, after 0x101F gave 0.
TEST_F(ChipId, EveryListedIdAtEitherAddress) {
    for (int where = 0; where < 2; ++where) {
        for (const Class& c : kListed) {
            SCOPED_TRACE(testing::Message() << "id " << int(c.id) << " at arch " << where);
            orvex_test::reset_library_globals();
            // Start from the other map so that the switch is visible.
            OV_SetAsicArchInfo(c.arch == DAT_FIRST ? DAT_SECOND : DAT_FIRST);
            open_camera(chip(c.id, where));
            BYTE id = 0;
            DSP_ARCH_TYPE arch = DAT_UNKNOW;
            EXPECT_EQ(OV_GetChipRomType(&id, &arch), c.rom);
            EXPECT_EQ(id, c.id);
            EXPECT_EQ(arch, c.arch);
            EXPECT_EQ(address_globals(), row(g_AsicArchInfo[c.arch]));
            std::vector<std::string> expect = {"R 101F"};
            if (where == 1) expect.push_back("R 80F0");
            EXPECT_EQ(vcam::trace().register_log(), expect);
        }
    }
}

TEST_F(ChipId, UnlistedIdsLeaveOutputsAndMapAlone) {
    for (uint8_t unlisted : {0x00, 0x14, 0x24, 0x80, 0x89, 0xFF}) {
        for (int where = 0; where < 2; ++where) {
            SCOPED_TRACE(testing::Message() << "id " << int(unlisted) << " at arch " << where);
            orvex_test::reset_library_globals();
            OV_SetAsicArchInfo(DAT_SECOND);
            open_camera(chip(unlisted, where));
            BYTE id = 0x5A;
            DSP_ARCH_TYPE arch = DAT_UNKNOW;
            EXPECT_EQ(OV_GetChipRomType(&id, &arch), DRT_Unknow);
            EXPECT_EQ(id, 0x5A);
            EXPECT_EQ(arch, DAT_UNKNOW);
            EXPECT_EQ(address_globals(), row(g_AsicArchInfo[DAT_SECOND]));
            EXPECT_EQ(vcam::trace().register_log(), (std::vector<std::string>{"R 101F", "R 80F0"}));
        }
    }
}

TEST_F(ChipId, UnreadableIdRegisterGivesUpAfterThreeReads) {
    open_camera();
    cam().faults().fail_if = [](const vcam::QueryRecord& q) { return q.selector == 1; };
    BYTE id = 0x5A;
    DSP_ARCH_TYPE arch = DAT_SECOND;
    auto o = capture([&] { EXPECT_EQ(OV_GetChipRomType(&id, &arch), DRT_Unknow); });
    EXPECT_EQ(o.out, std::string(kSetFail) + kSetFail + kSetFail);
    EXPECT_EQ(vcam::trace().register_log(), (std::vector<std::string>{"R 101F !", "R 101F !", "R 101F !"}));
    EXPECT_EQ(id, 0x5A);
    EXPECT_EQ(arch, DAT_SECOND);
}

TEST_F(ChipId, ReadIsRetriedUntilItSucceeds) {
    open_camera();
    for (int failures : {1, 2}) {
        SCOPED_TRACE(failures);
        vcam::trace().clear();
        int n = 0;
        cam().faults().fail_if = [&n, failures](const vcam::QueryRecord& q) {
            return q.selector == 1 && q.request == vcam::REQ_SET_CUR && n++ < failures;
        };
        BYTE id = 0;
        capture([&] { EXPECT_EQ(OV_GetChipID(0x1234101F, &id), 1); });  // narrowed to 0x101F
        EXPECT_EQ(id, 0x15);
        EXPECT_EQ(vcam::trace().register_log().size(), static_cast<size_t>(failures + 1));
        EXPECT_EQ(vcam::trace().register_log().back(), "R 101F");
    }
}

TEST_F(ChipId, SelectingAnArchitecture) {
    EXPECT_EQ(LibUsb_SetAsicArchInfo(DAT_SECOND), 1);
    EXPECT_EQ(address_globals(), row(g_AsicArchInfo[DAT_SECOND]));
    EXPECT_EQ(sfModeAddr, 0x8E00);
    EXPECT_EQ(i2cDev, 0x8600);
    for (int bad : {-1, 2, 100}) {
        EXPECT_EQ(OV_SetAsicArchInfo(static_cast<DSP_ARCH_TYPE>(bad)), 0);
        EXPECT_EQ(LibUsb_SetAsicArchInfo(static_cast<DSP_ARCH_TYPE>(bad)), 0);
        EXPECT_EQ(address_globals(), row(g_AsicArchInfo[DAT_SECOND]));
    }
    EXPECT_EQ(OV_SetAsicArchInfo(DAT_FIRST), 1);
    EXPECT_EQ(address_globals(), row(g_AsicArchInfo[DAT_FIRST]));
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

TEST_F(ChipId, UnitProbeFindsUnitFourAfterThreeFailedReadsOnThree) {
    vcam::Profile p;
    ASSERT_TRUE(vcam::find_profile("unit4", &p));
    open_camera(p);
    auto o = capture([&] { EXPECT_EQ(OV_GetUVCExtendUnitID(), 4); });
    EXPECT_EQ(o.out, std::string(kSetFail) + kSetFail + kSetFail);
    EXPECT_EQ(g_curExtendUnitID, 4);
    auto q = vcam::trace().queries();
    ASSERT_EQ(q.size(), 5u);  // three refused SET_CURs, then one read on unit 4
    for (int i = 0; i < 3; ++i) EXPECT_EQ(q[i].unit, 3);
    EXPECT_EQ(q[3].unit, 4);
    EXPECT_EQ(q[4].unit, 4);
}

TEST_F(ChipId, UnitProbeFailsOnBothUnits) {
    open_camera(chip(0x14, 0));  // answers, but with an unknown id
    auto o = capture([&] { EXPECT_EQ(OV_GetUVCExtendUnitID(), 0); });
    EXPECT_EQ(o.out, "ioctl(UVCIOC_CTRL_SET) FAILED (-1) \n"
                     "ioctl(UVCIOC_CTRL_SET) FAILED (-1) \n"
                     "ioctl(UVCIOC_CTRL_SET) FAILED (-1) \n"
                     "Get uvc extend unit id fail\n");
    EXPECT_EQ(g_curExtendUnitID, 4);
    EXPECT_EQ(dspIdAddr, 0x101F);
}

}  // namespace

// Hostile arguments on the exported API: a null buffer with a positive
// length, and runs whose end address does not fit a long. Each is refused
// before anything reaches the camera; an empty run with a null buffer is
// an ordinary empty run.
#include <cerrno>
#include <climits>
#include <functional>

#include "orvex_test.h"

namespace {

class Arguments : public orvex_test::CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        open_camera();
    }
};

TEST_F(Arguments, NullBufferOrOverflowingRunIsRefusedBeforeAnyQuery) {
    static unsigned char buf[16];
    BYTE id = 0;
    DSP_ARCH_TYPE arch = DAT_UNKNOW;
    struct Case {
        const char* call;
        std::function<long()> run;
        long result;
    } cases[] = {
        {"OrvexTac_XuRead", [] { return OrvexTac_XuRead(nullptr, 4, 3, 1); }, 0},
        {"OrvexTac_XuWrite", [] { return OrvexTac_XuWrite(nullptr, 4, 3, 1); }, 0},
        {"OrvexTac_AsicRegisterRead", [] { return OrvexTac_AsicRegisterRead(0x1000, nullptr, 2); }, 0},
        {"OrvexTac_AsicRegisterWrite", [] { return OrvexTac_AsicRegisterWrite(0x1000, nullptr, 2); }, 0},
        {"OrvexTac_SensorRegisterCustomRead",
         [] { return OrvexTac_SensorRegisterCustomRead(0x6C, 0x10, nullptr, 2, 0); }, 0},
        {"OrvexTac_SensorRegisterCustomWrite",
         [] { return OrvexTac_SensorRegisterCustomWrite(0x6C, 0x10, nullptr, 2, 0); }, 0},
        {"OrvexTac_SerialFlashRead", [] { return OrvexTac_SerialFlashRead(0x30000, nullptr, 8); }, 0},
        {"OrvexTac_SerialFlashWrite", [] { return OrvexTac_SerialFlashWrite(0x30000, nullptr, 8); }, 0},
        {"OrvexTac_SerialFlashSectorWrite",
         [] { return OrvexTac_SerialFlashSectorWrite(0x30000, nullptr, 20, SFT_MXIC); }, 0},
        {"OrvexTac_GetFWVersion", [] { return OrvexTac_GetFWVersion(nullptr, 56); }, 0},
        {"OrvexTac_GetFWVersionEx", [] { return OrvexTac_GetFWVersionEx(DRT_64K, nullptr, 56); }, 0},
        {"OrvexTac_BurnerFW",
         [] { return OrvexTac_BurnerFW(nullptr, 0x1000, nullptr, nullptr, SFT_MXIC, 0); }, 0},
        {"OV_Read", [] { return OV_Read(nullptr, 4, 3, 1); }, 0},
        {"OV_Write", [] { return OV_Write(nullptr, 4, 3, 1); }, 0},
        {"OV_ReadFromASIC", [] { return OV_ReadFromASIC(0x101F, nullptr); }, 0},
        {"OV_GetMemType", [] { return OV_GetMemType(nullptr); }, 0},
        {"OV_GetChipID", [] { return OV_GetChipID(0x101F, nullptr); }, 0},
        {"OV_GetChipRomType id", [&] { return OV_GetChipRomType(nullptr, &arch); }, DRT_Unknow},
        {"OV_GetChipRomType arch", [&] { return OV_GetChipRomType(&id, nullptr); }, DRT_Unknow},
        {"OV_ReadFromROM", [] { return OV_ReadFromROM(0x9FF8, nullptr); }, 0},
        {"KS_DefGetAsicRomVersion", [] { return KS_DefGetAsicRomVersion(nullptr); }, 0},
        {"OV_GetAsicRomVersion", [] { return OV_GetAsicRomVersion(nullptr); }, 0},
        {"OV_CustomReadFromSensor",
         [] { return OV_CustomReadFromSensor(0x6C, 0x10, 1, nullptr, 2, 0); }, 0},
        {"OV_ReadDataFormFlash", [] { return OV_ReadDataFormFlash(0, nullptr, 8); }, 0},
        {"OV_WriteDataToFlash", [] { return OV_WriteDataToFlash(0, nullptr, 8); }, 0},
        {"OV_ReadFormSF", [] { return OV_ReadFormSF(0, nullptr, 8); }, 0},
        {"OV_OpenCamera", [] { return OV_OpenCamera(nullptr); }, 0},
        // The chunk loops advance the address to addr + len.
        {"read at LONG_MAX", [] { return OrvexTac_SerialFlashRead(LONG_MAX, buf, 8); }, 0},
        {"write ending past LONG_MAX", [] { return OrvexTac_SerialFlashWrite(LONG_MAX - 3, buf, 8); }, 0},
        {"OV_ReadFormSF past LONG_MAX", [] { return OV_ReadFormSF(LONG_MAX - 8, buf, 16); }, 0},
        // Nothing to transfer: a null buffer is no fault.
        {"empty register read", [] { return OrvexTac_AsicRegisterRead(0x1000, nullptr, 0); }, 1},
        {"empty flash read", [] { return OrvexTac_SerialFlashRead(0x30000, nullptr, 0); }, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        vcam::trace().clear();
        EXPECT_EQ(c.run(), c.result);
        EXPECT_EQ(vcam::trace().query_count(), 0u);
    }
}

TEST_F(Arguments, QueryWithoutABufferFailsAsTheDriverWould) {
    errno = 0;
    EXPECT_EQ(OV_Get_Cur(3, 1, 4, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    errno = 0;
    EXPECT_EQ(OV_Set_Cur(3, 1, 4, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(vcam::trace().query_count(), 0u);
}

}  // namespace

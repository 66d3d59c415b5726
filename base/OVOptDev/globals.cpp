// Process-wide state of the device layer. Nothing is locked: the library is
// for one caller thread at a time.
#include "../OVOptDev.h"

extern "C" {

int fd = 0;
BYTE g_curExtendUnitID = 3;

// Until a chip is identified the first architecture's map is in force.
USHORT dspIdAddr = 0x101F;
USHORT sfRdyAddr = 0x1084;
USHORT usbResetAddr = 0x1073;
USHORT gpioInputAddr = 0x1005;
USHORT gpioOutputAddr = 0x1006;
USHORT gpioOEAddr = 0x1007;
USHORT sfModeAddr = 0x1080;
USHORT sfCSAddr = 0x1091;
USHORT sfWriteDataAddr = 0x1082;
USHORT sfReadDataAddr = 0x1083;
USHORT sfReadWriteTriggerAddr = 0x1081;
USHORT i2cDev = 0x10D0;
USHORT i2cMode = 0x10D9;
USHORT i2cTrg = 0x10D7;
USHORT i2cSclSelOD = 0x10D8;
USHORT i2cSlaveID = 0x10D1;
USHORT i2cDataArrStartAddr = 0x10D2;

unsigned int uiRomID = 0;
USHORT g_CurDspExtendUnitID = 0x0300;

}

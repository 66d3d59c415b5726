// Process-wide state of the device layer. Nothing is locked: the library is
// for one caller thread at a time.
#include "../OVOptDev.h"
#include "../ROMData/arch_maps.h"

extern "C" {

int fd = 0;
BYTE g_curExtendUnitID = 3;

// Until a chip is identified the first architecture's map is in force.
USHORT dspIdAddr = orvex::kFirstArchMap.asicIdAddr;
USHORT sfRdyAddr = orvex::kFirstArchMap.sfRdyAddr;
USHORT usbResetAddr = orvex::kFirstArchMap.usbResetAddr;
USHORT gpioInputAddr = orvex::kFirstArchMap.gpioInputAddr;
USHORT gpioOutputAddr = orvex::kFirstArchMap.gpioOutputAddr;
USHORT gpioOEAddr = orvex::kFirstArchMap.gpioOEAddr;
USHORT sfModeAddr = orvex::kFirstArchMap.sfModeAddr;
USHORT sfCSAddr = orvex::kFirstArchMap.sfCSAddr;
USHORT sfWriteDataAddr = orvex::kFirstArchMap.sfWriteDataAddr;
USHORT sfReadDataAddr = orvex::kFirstArchMap.sfReadDataAddr;
USHORT sfReadWriteTriggerAddr = orvex::kFirstArchMap.sfReadWriteTriggerAddr;
USHORT i2cDev = orvex::kFirstArchMap.i2cDev;
USHORT i2cMode = orvex::kFirstArchMap.i2cMode;
USHORT i2cTrg = orvex::kFirstArchMap.i2cTrg;
USHORT i2cSclSelOD = orvex::kFirstArchMap.i2cSclSelOD;
USHORT i2cSlaveID = orvex::kFirstArchMap.i2cSlaveID;
USHORT i2cDataArrStartAddr = orvex::kFirstArchMap.i2cDataArrStartAddr;

unsigned int uiRomID = 0;
USHORT g_CurDspExtendUnitID = 0x0300;

}

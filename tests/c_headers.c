/* Compiled as C so the public headers stay usable from C. */
#include "OrvexTac.h"
#include "OVOptDev.h"
#include "ROMData.h"
#include "SFData.h"
#include "util.h"
#include "OrvexConfig.h"
#include "OrvexFactory.h"

int orvex_c_header_check(void) {
    return (int)sizeof(ROM_INFO) + (int)sizeof(DSP_ARCH_INFO) + (int)sizeof(MarkerConfig) +
           (int)sizeof(RectifyConfig) + (int)sizeof(OrvexFactoryBurnOptions);
}

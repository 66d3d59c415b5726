/* Built against the installed SDK only (headers and flags from pkg-config)
 * and run under the installed virtual-camera launcher: opens /dev/video0
 * and reads the chip-id register. */
#include <stdio.h>

#include "OrvexTac.h"

int main(void) {
    BYTE id[1];
    if (!OrvexTac_Init(0)) return 1;
    BOOL ok = OrvexTac_AsicRegisterRead(0x101F, id, sizeof id);
    OrvexTac_UnInit();
    if (!ok) return 2;
    printf("chip id 0x%02x\n", id[0]);
    return 0;
}

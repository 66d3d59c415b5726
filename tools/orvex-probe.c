/* orvex-probe: opens a camera through libOrvexBase and reads a few
 * controller registers, to check that a camera answers at all. */
#include <stdio.h>
#include <stdlib.h>

#include "OrvexTac.h"

int main(int argc, char** argv) {
    int index = argc > 1 ? atoi(argv[1]) : 0;
    unsigned char regs[8];
    if (!OrvexTac_Init(index)) return 1;
    /* The firmware answers on extension unit 3 or 4; find which. */
    if (OV_GetUVCExtendUnitID() == 0) {
        fprintf(stderr, "/dev/video%d: no extension unit answers (tried units 3 and 4)\n", index);
        OrvexTac_UnInit();
        return 1;
    }
    if (!OrvexTac_AsicRegisterRead(0x1018, regs, sizeof regs)) {
        OrvexTac_UnInit();
        return 1;
    }
    printf("/dev/video%d: registers 0x1018..0x101F:", index);
    for (unsigned i = 0; i < sizeof regs; ++i) printf(" %02x", regs[i]);
    printf("\n");
    OrvexTac_UnInit();
    return 0;
}

/* A C program on libOrvexFactory's header alone: a guarded write is
 * refused with the same status and message every front end gives. */
#include <stdio.h>

#include "OrvexFactory.h"

int main(void) {
    OrvexFactorySession* s = OrvexFactory_New(0);
    OrvexFactoryResult* r = NULL;
    BYTE data[4] = {1, 2, 3, 4};
    int status = OrvexFactory_FlashWrite(s, 0x30000, data, sizeof data, 0, &r);
    printf("%d %s\n", status, OrvexFactory_ResultMessage(r));
    OrvexFactory_ResultFree(r);
    OrvexFactory_Free(s);
    return status == ORVEX_FACTORY_REFUSED ? 0 : 1;
}

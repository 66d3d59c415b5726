// The store's only state: its console-output switch.
#include "OrvexConfig.h"

extern "C" {

int debug_enable = 0;

void EnableDebug(void) { debug_enable = 1; }

void DisableDebug(void) { debug_enable = 0; }

}

/* Compiles and links against the installed calibration store alone. */
#include "OrvexConfig.h"

int main(void) {
    DisableDebug();
    return debug_enable;
}

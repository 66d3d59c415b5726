/* Read-back routine: reads every calibration record from video device 0,
 * the way a host should (a null base grid going in, the grid released
 * afterwards, a sensor-type buffer of more than 128 bytes), and prints the
 * first three extra parameters. Exported by the library so that the
 * orvex-readback program runs exactly this code. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "OrvexConfig.h"

ORVEX_CONFIG_API int main(int argc, char** argv) {
    MarkerConfig marker;
    char sensorType[1024];
    RectifyConfig rectify;
    float params[3];
    const long videoIndex = 0;
    (void)argc;
    (void)argv;

    debug_enable = 0;

    printf("1. Read MarkerConfig...\n");
    ReadMarkerConfig(videoIndex, &marker);

    printf("4. Get SensorType...\n");
    GetSensorType(videoIndex, sensorType);

    memset(&rectify, 0, sizeof rectify);
    rectify.base_grid = NULL;
    printf("5. Read RectifyConfig...\n");
    ReadRectifyConfig(videoIndex, &rectify);
    free(rectify.base_grid);

    memset(params, 0, sizeof params);
    ReadExtraParams(videoIndex, params, 3);
    printf("Float[0]= %f, Float[1]= %f, Float[2]= %f\n", (double)params[0], (double)params[1],
           (double)params[2]);
    return 0;
}

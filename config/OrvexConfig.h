/* libOrvexConfig: the sensor's calibration store in the camera's flash.
 *
 * Each operation opens the camera by video index, checks the camera's
 * identification block, does its work and closes the camera again. Do not
 * call them while holding the camera open through OrvexTac_Init: the store
 * closes that connection. Results are visible only through the caller's
 * data and, with debugging on, on standard output: a read whose transfer
 * fails leaves the caller's record (a rectification grid pointer included)
 * exactly as it was and prints nothing. A null record or buffer is refused
 * before the camera is opened. */
#ifndef ORVEX_CONFIG_H
#define ORVEX_CONFIG_H

#if defined(__GNUC__)
#define ORVEX_CONFIG_API __attribute__((visibility("default")))
#else
#define ORVEX_CONFIG_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Marker-grid configuration: 44 bytes, stored as is at 0x30000. */
typedef struct {
    int x0;
    int y0;
    int dx;
    int dy;
    float theta;
    int ncol;
    int nrow;
    int width;
    int height;
    int lower_threshold;
    int min_area;
} MarkerConfig;

/* Rectification parameters with rows x cols base points (pairs of ints,
 * row-major). base_grid comes from malloc and is released by the caller
 * with free. */
typedef struct {
    float rotation;
    float translation_x;
    float translation_y;
    float scale;
    int padding[4];
    int rows;
    int cols;
    int* base_grid;
} RectifyConfig;

ORVEX_CONFIG_API extern int debug_enable;
ORVEX_CONFIG_API void EnableDebug(void);
ORVEX_CONFIG_API void DisableDebug(void);

ORVEX_CONFIG_API void initializeBaseGrid(RectifyConfig* config, int rows, int cols);
ORVEX_CONFIG_API void SaveRectifyConfig(long videoIndex, RectifyConfig* config);
ORVEX_CONFIG_API void ReadRectifyConfig(long videoIndex, RectifyConfig* config);

ORVEX_CONFIG_API void SaveMarkerConfig(long videoIndex, MarkerConfig* config);
ORVEX_CONFIG_API void ReadMarkerConfig(long videoIndex, MarkerConfig* config);

ORVEX_CONFIG_API void SetSensorType(long videoIndex, const char* type);
ORVEX_CONFIG_API void GetSensorType(long videoIndex, char* type);

ORVEX_CONFIG_API void SaveExtraParams(long videoIndex, const float* params, unsigned char count);
ORVEX_CONFIG_API void ReadExtraParams(long videoIndex, float* params, unsigned char count);

/* The library also exports main(int argc, char** argv): it reads every
 * record back from video device 0 and prints the first three extra
 * parameters. It is not declared here, so programs that include this header
 * keep their own main. */

#ifdef __cplusplus
}
#endif

#endif

/* Prints the sizes and field offsets the C compiler gives the public
 * headers' records and ABI types, one "name offset size" line each, for
 * the Python package's layout test. */
#include <stddef.h>
#include <stdio.h>

#include "OrvexConfig.h"
#include "OrvexTac.h"

#define TYPE(t) printf("%s 0 %zu\n", #t, sizeof(t))
#define STRUCT(s) printf("%s 0 %zu\n", #s, sizeof(s))
#define FIELD(s, f) printf("%s.%s %zu %zu\n", #s, #f, offsetof(s, f), sizeof(((s*)0)->f))

int main(void) {
    TYPE(BOOL);
    TYPE(LONG);
    TYPE(long);
    TYPE(SERIAL_FLASH_TYPE);
    TYPE(DSP_ROM_TYPE);
    TYPE(DSP_ARCH_TYPE);

    STRUCT(MarkerConfig);
    FIELD(MarkerConfig, x0);
    FIELD(MarkerConfig, y0);
    FIELD(MarkerConfig, dx);
    FIELD(MarkerConfig, dy);
    FIELD(MarkerConfig, theta);
    FIELD(MarkerConfig, ncol);
    FIELD(MarkerConfig, nrow);
    FIELD(MarkerConfig, width);
    FIELD(MarkerConfig, height);
    FIELD(MarkerConfig, lower_threshold);
    FIELD(MarkerConfig, min_area);

    STRUCT(RectifyConfig);
    FIELD(RectifyConfig, rotation);
    FIELD(RectifyConfig, translation_x);
    FIELD(RectifyConfig, translation_y);
    FIELD(RectifyConfig, scale);
    FIELD(RectifyConfig, padding);
    FIELD(RectifyConfig, rows);
    FIELD(RectifyConfig, cols);
    FIELD(RectifyConfig, base_grid);
    return 0;
}

// Rectification record: ten 4-byte header values followed by the base
// grid of rows x cols integer pairs, row-major.
//
// Flash at 0x34000: rotation, translation x/y, scale, padding[4], rows,
// cols, then 2 x rows x cols ints. The record is written value by value:
// the first value through the sector rewrite (which erases the sector),
// every later one with its own 4-byte program into the erased sector.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "store.h"

using namespace orvex_store;

namespace {

constexpr int kMaxRows = kMaxRectifyRows;
constexpr int kMaxCols = kMaxRectifyCols;
// 25 x 18: the most pairs that fit the sector after the header. rows and
// cols are compared as signed values, so two large negative dimensions
// pass the per-dimension limits; their product must not.
constexpr int64_t kMaxPairs = int64_t{kMaxRows} * kMaxCols;
constexpr long kGridAddr = kRectifyGridAddr;

// Header values in flash order.
void header_fields(RectifyConfig* c, unsigned char* fields[10]) {
    void* p[10] = {&c->rotation,   &c->translation_x, &c->translation_y, &c->scale,
                   &c->padding[0], &c->padding[1],    &c->padding[2],    &c->padding[3],
                   &c->rows,       &c->cols};
    for (int i = 0; i < 10; ++i) fields[i] = static_cast<unsigned char*>(p[i]);
}

bool within_limits(const RectifyConfig& c) {
    if (c.rows > kMaxRows || c.cols > kMaxCols) return false;
    return int64_t{c.rows} * c.cols <= kMaxPairs;
}

// Hands a read record to the caller: its header, and in place of the grid
// the caller held (released here) the one read with it, or none.
void adopt(RectifyConfig* config, const RectifyConfig& read, int* grid) {
    free(config->base_grid);
    *config = read;
    config->base_grid = grid;
}

void print_record(const RectifyConfig& c) {
    printf("Rectification Parameters Loaded:\n");
    printf("Rotation: %.4f\n", static_cast<double>(c.rotation));
    printf("Translation: (%.4f, %.4f)\n", static_cast<double>(c.translation_x),
           static_cast<double>(c.translation_y));
    printf("Scale: %.4f\n", static_cast<double>(c.scale));
    printf("Padding: %d, %d, %d, %d\n", c.padding[0], c.padding[1], c.padding[2], c.padding[3]);
    printf("Rows: %d, Cols: %d\n", c.rows, c.cols);
    printf("Base Grid Data:\n");
    for (int i = 0; i < c.rows; ++i)
        for (int j = 0; j < c.cols; ++j) {
            const int* pair = c.base_grid + 2 * (static_cast<int64_t>(c.cols) * i + j);
            printf("Grid[%d][%d]: (%d, %d)\n", i, j, pair[0], pair[1]);
        }
    printf(".\n");
    printf(".\n");
    printf(".\n");
}

}  // namespace

extern "C" {

void initializeBaseGrid(RectifyConfig* config, int rows, int cols) {
    if (!config) return;
    config->rows = rows;
    config->cols = cols;
    // A negative product, or one too large to express in bytes, is an
    // allocation that cannot succeed: malloc is not asked.
    int64_t pairs = int64_t{rows} * cols;
    int* grid = nullptr;
    if (pairs >= 0 && static_cast<uint64_t>(pairs) <= SIZE_MAX / 8)
        grid = static_cast<int*>(malloc(static_cast<size_t>(pairs) * 8));
    config->base_grid = grid;
    if (!grid) {
        if (debug_enable) printf("Memory allocation failed for base_grid\n");
        return;
    }
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) {
            int* pair = grid + 2 * (static_cast<int64_t>(cols) * i + j);
            pair[0] = i;
            pair[1] = j;
        }
}

void SaveRectifyConfig(long videoIndex, RectifyConfig* config) {
    if (!config) return;
    if (!OpenAndIdentifyDevice(videoIndex)) return;
    unsigned char* fields[10];
    header_fields(config, fields);
    // Without its erase the sector still holds the old record, and
    // programming over it would AND old and new values into neither: the
    // later pieces go out only after a rewrite that succeeded.
    const bool erased = OrvexTac_SerialFlashSectorWrite(kRectifyAddr, fields[0], 4, kFlashType) == 1;
    if (erased)
        for (int i = 1; i < 10; ++i) OrvexTac_SerialFlashWrite(kRectifyAddr + 4 * i, fields[i], 4);
    // Stopping here leaves the new header with an erased grid area. A
    // record whose grid the caller never got (initializeBaseGrid failed)
    // stops the same way instead of being read from a null pointer.
    int64_t pairs = int64_t{config->rows} * config->cols;
    if (!within_limits(*config) || (pairs > 0 && !config->base_grid)) {
        OrvexTac_UnInit();
        return;
    }
    int64_t n = erased ? 2 * pairs : 0;
    for (int64_t k = 0; k < n; ++k)
        OrvexTac_SerialFlashWrite(kGridAddr + 4 * k,
                                  reinterpret_cast<unsigned char*>(&config->base_grid[k]), 4);
    if (debug_enable) printf("Configuration saved to flash!\n");
    CloseDevice();
}

void ReadRectifyConfig(long videoIndex, RectifyConfig* config) {
    if (!config) return;
    if (!OpenAndIdentifyDevice(videoIndex)) return;
    // Header and grid are read into local storage first: the caller's
    // record, its grid pointer included, changes only once the reads have
    // succeeded, or at the limit and allocation stops below.
    RectifyConfig read = *config;
    unsigned char* fields[10];
    header_fields(&read, fields);
    for (int i = 0; i < 10; ++i) {
        if (OrvexTac_SerialFlashRead(kRectifyAddr + 4 * i, fields[i], 4) != 1) {
            CloseDeviceAfterFailedRead();
            return;
        }
    }
    if (!within_limits(read)) {
        adopt(config, read, nullptr);
        OrvexTac_UnInit();
        return;
    }
    // Within the limits the element count is at most 900, or negative
    // when exactly one dimension is: no grid can be allocated for that.
    int64_t n = 2 * int64_t{read.rows} * read.cols;
    int* grid = n >= 0 ? static_cast<int*>(malloc(static_cast<size_t>(n) * 4)) : nullptr;
    if (!grid) {
        adopt(config, read, nullptr);
        if (debug_enable) printf("Memory allocation failed!\n");
        OrvexTac_UnInit();
        return;
    }
    if (OrvexTac_SerialFlashRead(kGridAddr, reinterpret_cast<unsigned char*>(grid), 4 * n) != 1) {
        free(grid);
        CloseDeviceAfterFailedRead();
        return;
    }
    adopt(config, read, grid);
    if (debug_enable) print_record(*config);
    CloseDevice();
}

}

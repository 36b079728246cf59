// Moves runs of cells between blocks of rows in memory: the worker's path
// for datasets that offer their rows, instead of one virtual call per cell.
#pragma once

#include <cstdint>

namespace mirava {

// Copies `count` cells, stepping `srcStep` and `dstStep` bytes from one cell
// to the next (negative steps walk backwards). Equal cell types are copied
// bit for bit (byte-swapped where the orders differ); other pairs convert
// as a cell-by-cell copy would, but integers never pass through a float.
void CopyCellRun(uint8_t* dst, int64_t dstStep, uint8_t dstType, bool dstMsb, const uint8_t* src,
                 int64_t srcStep, uint8_t srcType, bool srcMsb, uint32_t count);

// Copies `count` pixels of `pixelBytes` bytes each, stepping `srcStep` and
// `dstStep` bytes from one pixel to the next: all bands of interleaved
// pixels in one move, where both sides store them alike.
void CopyPixelRun(uint8_t* dst, int64_t dstStep, const uint8_t* src, int64_t srcStep,
                  uint32_t pixelBytes, uint32_t count);

// A block of cells turned a quarter: output row k, column j takes the cell
// of `cellBytes` bytes at src + j * srcRowStride + k * srcColumnStep
// (srcColumnStep is cellBytes or -cellBytes), for k < rows and j <
// columns. Cells of 1, 2, 4 and 8 bytes go through squares transposed in
// registers; the block is walked in tiles that stay in the cache.
void TransposeCells(uint8_t* dst, int64_t dstRowStride, const uint8_t* src, int64_t srcRowStride,
                    int64_t srcColumnStep, uint32_t cellBytes, uint32_t rows, uint32_t columns);

}  // namespace mirava

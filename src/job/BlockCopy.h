// Moves runs of cells between blocks of rows in memory: the worker's path
// for datasets that offer their rows, instead of one virtual call per cell.
#pragma once

#include <cstdint>

namespace mirava {

// Copies `count` cells, stepping `srcStep` and `dstStep` bytes from one cell
// to the next (negative steps walk backwards). Equal cell types are copied
// bit for bit (byte-swapped where the orders differ); other pairs convert
// as a cell-by-cell copy would, but integers never pass through a float.
void CopyCellRun(uint8_t* dst, int64_t dstStep, uint8_t dstType, bool dstMsb,
                 const uint8_t* src, int64_t srcStep, uint8_t srcType,
                 bool srcMsb, uint32_t count);

}  // namespace mirava

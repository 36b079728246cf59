// Moves runs of cells between blocks of rows in memory: the worker's path
// for datasets that offer their rows, instead of one virtual call per cell.
#pragma once

#include <cstdint>

#include "dataset/MappedGrid.h"

namespace mirava {

class TPartner;

// Row blocks small enough for a prompt abort, and the side of the tiles a
// quarter turn goes through.
constexpr uint32_t kTile = 64;
constexpr uint64_t kCacheLine = 64;

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

// Equal cells on both sides move as bytes.
bool CellsAlike(const TCellBlock& a, const TCellBlock& b);

// The bytes of one pixel where both sides interleave the bands of a pixel
// alike, so that a pixel's bands move together; 0 otherwise.
uint32_t PixelBytes(const TCellBlock& in, const TCellBlock& out, uint32_t bands);

// Turns the m input rows of `in` (taken bottom up when `upwards`) into
// output rows 0 .. n - 1 of `out`, columns j0 .. j0 + m - 1: output row k is
// input column column0 + k, or column0 - k when `backwards`. This thread and
// the partner take parts as each is free: parts of the input rows where
// there are enough of them, each filling its own columns of the output rows
// (a whole number of cache lines of each) and reading whole lines of its
// input rows; otherwise (the few rows of a stripe's tile) parts of the
// output rows. Too little work for two threads stays on this one.
void TurnShared(TPartner& partner, const TCellBlock& in, uint32_t m, bool upwards,
                const TCellBlock& out, uint32_t j0, uint32_t n, uint32_t column0, bool backwards,
                uint32_t bands);

}  // namespace mirava

#include <algorithm>
#include <cstring>

#include "job/BlockCopy.h"
#include "job/CopyTask.h"
#include "dataset/MemoryBudget.h"
#include "text/TextUtils.h"

namespace mirava {

// The same placement as CopyCells, moving runs of cells between blocks of
// rows: flips and kind 0 copy whole rows, so that neither file is walked
// across its rows one cell at a time.
bool FlipBlocks(TCopyTask& task) {
  TRasterReader& input = *task.Input.Reader();
  TRasterWriter& output = *task.Output.Writer();
  const uint32_t blockRows = CopyBlockRows(task);
  const uint32_t W = static_cast<uint32_t>(task.Layer.Width());
  const uint32_t H = static_cast<uint32_t>(task.Layer.Height());
  const uint32_t outRows = static_cast<uint32_t>(task.OutRows);
  const uint32_t bands = task.BandCount();
  const bool flipH = task.Layer.ReversesColumns();
  const bool flipV = task.Layer.ReversesRows();
  // Flipped rows are assembled in memory as long as a block of them fits.
  const uint32_t flipRows = StagedRows(input, output, W, std::max(1u, std::min(kTile, blockRows)));
  // Without a horizontal flip, rows that the input holds in the output's
  // own layout go to the output file straight from the input's memory.
  TCellBlock in, out, layout;
  const bool direct = !flipH && output.RowLayout(layout);
  auto sameRows = [&] {
    return CellsAlike(in, layout) && in.ColumnStride == layout.ColumnStride &&
           (bands == 1 || in.BandStride == layout.BandStride) &&
           std::abs(in.RowStride) >= layout.RowStride;
  };
  // The input is read top down whichever way its rows go: a file read
  // backwards is not read ahead, which costs much once it is larger than
  // memory. Such an input also leaves the page cache behind the rows read.
  const uint64_t memory = task.Memory;
  const bool once = InputBytes(input) > memory || input.RowsInScratch();
  const uint64_t ahead = ReadAheadWithin(memory);
  const uint8_t* rows[kTile];
  for (uint32_t r0 = 0; r0 < H; r0 += flipRows) {
    const uint32_t n = std::min(flipRows, H - r0);
    const uint32_t i0 = flipV ? outRows - r0 - n : r0;
    if (once) input.ReadingRowsOnce(r0, ahead);
    if (!task.InputReady(input, r0 + n)) return false;
    if (!task.ReadBlock(input, r0, n, in)) return task.BlockFailed("Reading", input.Error(), r0);
    if (direct && sameRows()) {
      for (uint32_t k = 0; k < n; ++k) rows[k] = in.Data + (flipV ? n - 1 - k : k) * in.RowStride;
      if (!output.PutRows(i0, n, rows)) return task.BlockFailed("Writing", output.Error(), i0);
      if (!task.RowsDone(static_cast<int32_t>(r0 + n - 1))) return false;
      continue;
    }
    if (!output.GetBlock(i0, n, out)) return task.BlockFailed("Writing", output.Error(), i0);
    const uint32_t pixel = PixelBytes(in, out, bands);
    for (uint32_t k = 0; k < n; ++k) {
      const uint8_t* srcRow = in.Data + (flipV ? n - 1 - k : k) * in.RowStride;
      uint8_t* dstRow = out.Data + k * out.RowStride;
      if (pixel && !flipH) {
        std::memcpy(dstRow, srcRow, static_cast<size_t>(W) * pixel);
      } else if (pixel) {
        CopyPixelRun(dstRow, pixel, srcRow + (W - 1) * int64_t{pixel}, -int64_t{pixel}, pixel, W);
      } else {
        for (uint32_t b = 0; b < bands; ++b)
          CopyCellRun(dstRow + b * out.BandStride, out.ColumnStride, out.CellType, out.MSBFirst,
                      srcRow + b * in.BandStride + (flipH ? (W - 1) * in.ColumnStride : 0),
                      flipH ? -in.ColumnStride : in.ColumnStride, in.CellType, in.MSBFirst, W);
      }
    }
    if (!task.RowsDone(static_cast<int32_t>(r0 + n - 1))) return false;
  }
  return true;
}

}  // namespace mirava

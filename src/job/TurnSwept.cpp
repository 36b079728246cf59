#include <algorithm>
#include <cstring>
#include <memory>

#include "job/BlockCopy.h"
#include "job/CopyTask.h"
#include "job/Partner.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// The blocks of output rows a quarter turn in memory fills: written while
// they are still in the cache, they cost a fraction of larger ones.
constexpr uint64_t kTurnStageBytes = 1u << 20;

// Whether output rows of `columns` cells lie a multiple of 1 KiB apart,
// filling them whole (so that rows copied whole carry only turned cells):
// the lines a tile fills down such rows fall into a few cache sets and
// evict each other before they are full. Rows a multiple of 4 KiB apart
// took twice the processor time of rows a cache line further apart; a
// multiple of 1 KiB, a third more.
bool Crowded(const TCellBlock& out, uint32_t columns, uint32_t bands) {
  const int64_t width = CellTypeWidth(out.CellType);
  const bool bandRuns = out.ColumnStride == width && out.BandStride == int64_t{columns} * width;
  const bool pixels = out.ColumnStride == width * bands && out.BandStride == width;
  return out.RowStride == int64_t{columns} * bands * width && out.RowStride % 1024 == 0 &&
         (bands == 1 ? out.ColumnStride == width : bandRuns || pixels);
}

}  // namespace

// Output row i is input column (kind 2) W - 1 - i or (kind 3) i; output
// column j is input row j (kind 2) or H - 1 - j (kind 3).
// Every block of output rows takes a cell of every input row.
bool SweepTurn(TCopyTask& task, TPartner& partner) {
  TRasterReader& input = *task.Input.Reader();
  TRasterWriter& output = *task.Output.Writer();
  const uint32_t blockRows = CopyBlockRows(task);
  const uint32_t W = static_cast<uint32_t>(task.Layer.Width());
  const uint32_t H = static_cast<uint32_t>(task.Layer.Height());
  const uint32_t outRows = static_cast<uint32_t>(task.OutRows);
  const uint32_t bands = task.BandCount();
  const bool ccw = task.Layer.CounterClockwise();
  if (!task.InputReady(input, H)) return false;
  // Each block of output rows sweeps the input, in parts of as many rows as
  // one block of the input holds. Where that is all of them, the output
  // blocks are small enough to stay in the cache until the background
  // writer copies them (a whole number of squares high where they can be);
  // otherwise blocks as large as a window keep the sweeps few. A block
  // takes at least a cache line of each input row and band: with half a
  // line, the other half was read again by the next block's sweep.
  const uint32_t inputRows = std::min(H, input.BlockRows());
  const uint32_t staged = StagedRows(input, output, H, blockRows, kTurnStageBytes);
  const uint32_t lineRows = static_cast<uint32_t>(kCacheLine / CellTypeWidth(input.GetCellType()));
  const uint32_t turnRows = inputRows < H
                                ? blockRows
                                : std::min(blockRows, std::max(staged >= 16 ? staged & ~15u : 16u,
                                                               (lineRows + 15) & ~15u));
  TCellBlock in, out, turned;
  std::unique_ptr<uint8_t[]> spread;
  for (uint32_t i0 = 0; i0 < outRows; i0 += turnRows) {
    const uint32_t n = std::min(turnRows, outRows - i0);
    for (uint32_t j0 = 0; j0 < H; j0 += inputRows) {
      const uint32_t m = std::min(inputRows, H - j0);
      if (!task.ReadBlock(input, ccw ? j0 : H - j0 - m, m, in))
        return task.BlockFailed("Reading", input.Error(), j0);
      if (!output.GetBlock(i0, n, out)) return task.BlockFailed("Writing", output.Error(), i0);
      if (i0 == 0 && inputRows == H && uint64_t{turnRows} * out.RowStride <= kMaxStagedBytes &&
          Crowded(out, H, bands))
        spread = std::make_unique_for_overwrite<uint8_t[]>(
            static_cast<size_t>(turnRows * (out.RowStride + kCacheLine)));
      turned = out;
      if (spread) {
        turned.Data = spread.get();
        turned.RowStride = out.RowStride + kCacheLine;
      }
      TurnShared(partner, in, m, !ccw, turned, j0, n, ccw ? W - 1 - i0 : i0, ccw, bands);
    }
    if (spread)
      partner.Share((n + 7) / 8, [&](uint32_t part) {
        for (uint32_t q = part * 8; q < std::min(n, part * 8 + 8); ++q)
          std::memcpy(out.Data + q * out.RowStride, turned.Data + q * turned.RowStride,
                      static_cast<size_t>(out.RowStride));
      });
    if (!task.RowsDone(static_cast<int32_t>(i0 + n - 1))) return false;
  }
  return true;
}

}  // namespace mirava

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "dataset/ScratchFile.h"
#include "job/BlockCopy.h"
#include "job/CopyTask.h"
#include "dataset/MemoryBudget.h"
#include "job/Partner.h"
#include "raster/CellType.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// The stripes of a quarter turn write whole pages of every output row.
constexpr uint64_t kPageBytes = 4096;
// The memory for the stripes of an input in memory (one larger than a
// mapped window): at 4 GiB, this budget (stripes of 512 MiB) took less
// processor time than twice as much.
constexpr uint64_t kStripeBudgetInMemory = 1u << 30;
// The pieces a turn through a scratch file writes and reads there.
constexpr uint64_t kScratchChunkBytes = 64u << 20;

// An input larger than the memory the job can count on would be read from
// the disk again for every block of output rows, and one larger than a
// mapped window mapped again window by window: it is read once instead, in
// stripes of the rows that the returned number gives (0: no stripes), within
// that memory or, in memory, kStripeBudgetInMemory. `inPlace`: the output
// takes the stripes' parts of its rows; an output that takes whole blocks
// of rows only is striped out of core alone, through a scratch file.
uint32_t StripeRows(TCopyTask& task, TCellBlock& layout, bool& inPlace) {
  TRasterReader& input = *task.Input.Reader();
  TRasterWriter& output = *task.Output.Writer();
  const uint32_t H = static_cast<uint32_t>(task.Layer.Height());
  const uint64_t memory = task.Memory;
  const bool outOfCore = InputBytes(input) > memory;
  const uint32_t forced = task.ForcedStripeRows;
  if (!forced && !outOfCore && input.BlockRows() >= H) return 0;
  inPlace = output.RowLayout(layout);
  if (!inPlace && !((forced || outOfCore) && output.BlockLayout(layout))) return 0;
  const int64_t width = CellTypeWidth(layout.CellType);
  const int64_t bands = task.BandCount();
  if (layout.ColumnStride != width && layout.ColumnStride != width * bands) return 0;
  if (forced) return std::min(forced, H);
  // One input row's share of the stripe: a cell of every output row and band.
  const uint64_t rowBytes = static_cast<uint64_t>(
      task.OutRows * bands * std::max<int64_t>(width, CellTypeWidth(input.GetCellType())));
  const uint64_t budget = outOfCore ? memory : std::min(memory, kStripeBudgetInMemory);
  const uint64_t padding = uint64_t{static_cast<uint32_t>(task.OutRows)} * kCacheLine;
  return StripeRowsWithin(budget > padding ? budget - padding : 0, rowBytes,
                          static_cast<uint32_t>(kPageBytes / width), kTile, H);
}

// The output rows, a block at a time, from the stripes in the scratch file:
// each block's rows are one range of every stripe there. Progress goes on
// from half way.
bool TurnFromScratch(TCopyTask& task, const TCellBlock& layout, const TCellBlock& stripe,
                     bool onePart, bool inPlace, uint32_t stripeRows, uint64_t stripeBytes,
                     TScratchFile& scratch) {
  TRasterWriter& output = *task.Output.Writer();
  const uint32_t H = static_cast<uint32_t>(task.Layer.Height());
  const uint32_t outRows = static_cast<uint32_t>(task.OutRows);
  const bool ccw = task.Layer.CounterClockwise();
  const uint32_t partCount = onePart ? 1 : static_cast<uint32_t>(output.GetBandCount());
  const uint64_t rowBytes = static_cast<uint64_t>(std::abs(layout.RowStride));
  const uint64_t stripeRowBytes = static_cast<uint64_t>(stripe.RowStride);
  // Where a block's pixel begins when its data points at the last band.
  const int64_t firstBand =
      onePart && stripe.BandStride < 0 ? (output.GetBandCount() - 1) * stripe.BandStride : 0;
  // Within the stripe's memory, and at most kScratchChunkBytes of output
  // rows, so that aborts and progress come often enough.
  const uint32_t blockRows = static_cast<uint32_t>(std::clamp<uint64_t>(
      std::min(stripeBytes / (rowBytes + stripeRowBytes), kScratchChunkBytes / rowBytes), 1,
      inPlace ? outRows : std::min(outRows, output.BlockRows())));
  // Bytes between the cells of the output rows stay zero, as in the file.
  const auto rows =
      std::make_unique<uint8_t[]>(inPlace ? static_cast<size_t>(blockRows * rowBytes) : 0);
  const auto parts =
      std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(blockRows * stripeRowBytes));
  std::vector<const uint8_t*> starts(inPlace ? blockRows : 0);
  for (size_t q = 0; q < starts.size(); ++q) starts[q] = rows.get() + q * rowBytes;
  TCellBlock out = layout;
  out.Data = rows.get();
  for (uint32_t i0 = 0; i0 < outRows; i0 += blockRows) {
    const uint32_t n = std::min(blockRows, outRows - i0);
    if (!inPlace && !output.GetBlock(i0, n, out))
      return task.BlockFailed("Writing", output.Error(), i0);
    for (uint32_t r0 = 0; r0 < H; r0 += stripeRows) {
      const uint32_t m = std::min(stripeRows, H - r0);
      const uint64_t firstColumn = ccw ? r0 : H - r0 - m;
      const uint64_t partBytes =
          uint64_t{m} * CellTypeWidth(stripe.CellType) * (onePart ? output.GetBandCount() : 1);
      if (const int code =
              scratch.Read(parts.get(), n * stripeRowBytes,
                           uint64_t{r0 / stripeRows} * stripeBytes + i0 * stripeRowBytes))
        return task.ScratchFailed(code);
      for (uint32_t q = 0; q < n; ++q)
        for (uint32_t b = 0; b < partCount; ++b)
          std::memcpy(out.Data + firstBand + q * out.RowStride + b * out.BandStride +
                          firstColumn * out.ColumnStride,
                      parts.get() + q * stripeRowBytes + b * stripe.BandStride, partBytes);
    }
    if (inPlace && !output.PutRows(i0, n, starts.data()))
      return task.BlockFailed("Writing", output.Error(), i0);
    task.Reach.Rows = static_cast<int32_t>(i0 + n);
    if (!task.ProgressTo(static_cast<int32_t>((task.LastRow() + uint64_t{i0} + n - 1) / 2)))
      return false;
  }
  return task.RowsDone(task.LastRow());
}

// Input rows are read top to bottom, a stripe at a time. The stripe holds
// every output row cut to the stripe's columns, laid out as the output lays
// out its rows, and goes into the output with one write per row and band.
bool TurnStripes(TCopyTask& task, const TCellBlock& layout, bool inPlace, uint32_t stripeRows,
                 TPartner& partner) {
  TRasterReader& input = *task.Input.Reader();
  TRasterWriter& output = *task.Output.Writer();
  const uint32_t W = static_cast<uint32_t>(task.Layer.Width());
  const uint32_t H = static_cast<uint32_t>(task.Layer.Height());
  const uint32_t bands = task.BandCount();
  const bool ccw = task.Layer.CounterClockwise();
  const int64_t width = CellTypeWidth(layout.CellType);
  const bool onePart = layout.ColumnStride == width * bands;
  TCellBlock stripe = layout;
  // A stripe row is mostly a whole number of pages long, which puts the
  // lines a tile writes down the stripe's rows into the same few cache
  // sets; a cache line more spreads them (turning 4 GiB, this halved the
  // processor time of the transposes).
  stripe.RowStride = int64_t{stripeRows} * width * bands + kCacheLine;
  // A pixel's bands lie in the output's order (a BMP's blue first), so
  // that a stripe's rows go into the output's as they are.
  const bool bandsDown = onePart && layout.BandStride < 0;
  stripe.BandStride = onePart ? (bandsDown ? -width : width) : int64_t{stripeRows} * width;
  stripe.ColumnStride = onePart ? width * bands : width;
  const uint64_t stripeBytes = W * static_cast<uint64_t>(stripe.RowStride);
  auto stripeMemory = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(stripeBytes));
  stripe.Data = stripeMemory.get() + (bandsDown ? (bands - 1) * width : 0);
  // An input in memory stays in the page cache, and so does the output.
  const uint64_t memory = task.Memory;
  const bool once = InputBytes(input) > memory;
  const uint64_t ahead = ReadAheadWithin(memory);
  // Out of core, each stripe goes whole into a scratch file, and the output
  // is written from it top down in a second pass: a stripe's parts of the
  // output rows written in place cost the disk one request each (8 KiB for
  // 65536 rows in 1 GiB), which held a turn to a fifth of what the disk
  // moves in large ones. Where no scratch file can be had, they still do.
  const uint32_t stripes = (H + stripeRows - 1) / stripeRows;
  TScratchFile scratch;
  const bool viaScratch = (once || !inPlace) && scratch.Create(ExtractFileDir(task.OutputName),
                                                               uint64_t{stripes} * stripeBytes);
  if (!inPlace && !viaScratch) return SweepTurn(task, partner);
  // Progress counts each input row twice: read and turned, then written
  // (through a scratch file: the first half).
  uint64_t done = 0;
  const uint64_t units = (viaScratch ? 4 : 2) * uint64_t{H};
  auto goesOn = [&](uint64_t unit) {
    return task.ProgressTo(
        static_cast<int32_t>(unit * static_cast<uint64_t>(task.LastRow()) / units));
  };
  TCellBlock in;
  for (uint32_t r0 = 0; r0 < H; r0 += stripeRows) {
    const uint32_t m = std::min(stripeRows, H - r0);
    // Stripe column t is input row r0 + t (kind 2) or r0 + m - 1 - t (kind 3).
    for (uint32_t t0 = 0; t0 < m; t0 += kTile) {
      const uint32_t n = std::min(kTile, m - t0);
      if (once) input.ReadingRowsOnce(r0 + t0, ahead);
      if (!task.InputReady(input, r0 + t0 + n)) return false;
      if (!task.ReadBlock(input, r0 + t0, n, in))
        return task.BlockFailed("Reading", input.Error(), r0 + t0);
      TurnShared(partner, in, n, !ccw, stripe, ccw ? t0 : m - t0 - n, W, ccw ? W - 1 : 0, ccw,
                 bands);
      if (!goesOn(done += n)) return false;
    }
    if (viaScratch) {
      const uint64_t position = uint64_t{r0 / stripeRows} * stripeBytes;
      for (uint64_t k = 0; k < stripeBytes; k += kScratchChunkBytes) {
        const uint64_t n = std::min(kScratchChunkBytes, stripeBytes - k);
        if (const int code = scratch.Write(stripeMemory.get() + k, n, position + k))
          return task.ScratchFailed(code);
        if (!goesOn(done + m * (k + n) / stripeBytes)) return false;
      }
      done += m;
      continue;
    }
    const uint64_t firstColumn = ccw ? r0 : H - r0 - m;
    const uint64_t partBytes = uint64_t{m} * width * (onePart ? bands : 1);
    const uint32_t chunk =
        static_cast<uint32_t>(std::clamp<uint64_t>(kMaxStagedBytes / (partBytes * bands), 1, W));
    for (uint32_t i0 = 0; i0 < W; i0 += chunk) {
      const uint32_t n = std::min(chunk, W - i0);
      const uint8_t* rows = stripeMemory.get() + i0 * stripe.RowStride;
      for (uint32_t b = 0; b < (onePart ? 1 : bands); ++b)
        if (!output.PutRowParts(i0, n, b * layout.BandStride + firstColumn * layout.ColumnStride,
                                partBytes, rows + b * stripe.BandStride,
                                static_cast<uint64_t>(stripe.RowStride), once))
          return task.BlockFailed("Writing", output.Error(), i0);
      if (!goesOn(done + uint64_t{m} * (i0 + n) / W)) return false;
    }
    done += m;
    task.Reach.Columns += static_cast<int32_t>(m);
  }
  if (!viaScratch) return task.RowsDone(task.LastRow());
  stripeMemory.reset();
  return TurnFromScratch(task, layout, stripe, onePart, inPlace, stripeRows, stripeBytes, scratch);
}

}  // namespace

// The input read once in stripes where it is larger than the memory the job
// may use (or its stripes are forced), swept otherwise; the second thread
// serves the whole turn.
bool TurnBlocks(TCopyTask& task) {
  TCellBlock layout;
  bool inPlace = false;
  TPartner partner;
  if (const uint32_t rows = StripeRows(task, layout, inPlace))
    return TurnStripes(task, layout, inPlace, rows, partner);
  return SweepTurn(task, partner);
}

}  // namespace mirava

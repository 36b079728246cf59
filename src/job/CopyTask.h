// What a copy path gets from its job: the two datasets, the placement, the
// output's size, the job's limits, and the job's ears for progress, stops,
// failures and notes. Each path is one function of a TCopyTask; it tells the
// job how far it came through Reach.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dataset/DataSet.h"
#include "dataset/MappedGrid.h"
#include "raster/Placement.h"

namespace mirava {

class TPartner;

// Progress hand-offs make the worker wait for the main thread: a few a
// second are enough for any display.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

// The output rows the copy wrote, and the columns of them a quarter turn in
// stripes wrote: what a stopped or failed job's output holds.
struct TCopyReach {
  int32_t Rows = 0;
  int32_t Columns = 0;
};

struct TCopyTask {
  TDataSet2& Input;
  TDataSet2& Output;
  const std::string& InputName;
  const std::string& OutputName;
  const TPhotoLayer& Layer;
  int32_t OutRows = 0;
  int32_t OutColumns = 0;
  // The memory the job may count on (JobMemory()).
  uint64_t Memory = 0;
  // Not 0: every quarter turn in blocks goes through stripes of this many
  // input rows.
  uint32_t ForcedStripeRows = 0;
  // The input's no-data value and the output's, where the output states
  // another one.
  std::optional<std::pair<float, float>> NoDataChange;
  // The colours an output of three bands shows for a palette's indices.
  const std::vector<std::array<uint8_t, 3>>& PaletteColors;
  // The input's band of each output band; empty: the same band. The block
  // paths take bands evenly spaced alone (BandsInStep).
  const std::vector<uint32_t>& Bands;
  TCopyReach& Reach;

  // The stop request and the files' state, then a progress hand-off as far
  // as output row `row`; false ends the copy, the job's outcome being set.
  std::function<bool(int32_t row)> Progress;
  // Whether the user asked the job to stop.
  std::function<bool()> StopRequested;
  // Ends the job with `text` as its message.
  std::function<void(std::string text)> Fail;
  // A stop ended the writing of a file midway: it is not published.
  std::function<void()> EndHalfWritten;
  // One line for the user on how the copy went.
  std::function<void(const std::string& text)> Note;

  int32_t LastRow() const { return OutRows - 1; }
  // Progress as far as `row`; remembered for the waits of InputReady.
  bool ProgressTo(int32_t row);
  // After each finished row or block of rows.
  bool RowsDone(int32_t lastRow);
  // An input still decoded while the job runs: waits for its rows before
  // `end`, heeding a stop and showing the progress meanwhile.
  bool InputReady(TRasterReader& input, uint32_t end);
  // A block of rows that could not be read or written, with the failure
  // its dataset recorded.
  bool BlockFailed(const char* what, const TError& error, uint32_t row);
  // The bands a block path copies: the chosen ones, else all the input's.
  uint32_t BandCount() const;
  // The input's rows first .. first + count - 1 as the block paths see
  // them: the chosen bands alone, their first at Data, BandStride apart.
  bool ReadBlock(TRasterReader& input, uint32_t first, uint32_t count, TCellBlock& block) const;
  bool ScratchFailed(int code);

  // The row ProgressTo last reached.
  int32_t Reached = -1;
};

// The copy paths, each moving every cell of the input to its place in the
// output; false when the job ends otherwise (its outcome then says how).

// The input's file placed whole by the output's format (a JPEG on its
// blocks, a TIFF's strips).
bool PlaceWholeFile(TCopyTask& task);
// One cell at a time, through any pair of datasets: the reference every
// other path is tested against.
bool CopyCells(TCopyTask& task);
// Kinds 0, 1, 4 and 5 between datasets with blocks of rows: whole rows,
// reversed where the placement flips them.
bool FlipBlocks(TCopyTask& task);
// Kinds 2 and 3 between datasets with blocks of rows: swept, or in stripes
// where the input is larger than the memory the job may use.
bool TurnBlocks(TCopyTask& task);

// A quarter turn in blocks where every block of output rows sweeps the
// input; the stripes' way falls back on it. Both share `partner`.
bool SweepTurn(TCopyTask& task, TPartner& partner);

// Whether the chosen bands step evenly through the input (3 2 1, or 2 alone),
// so that a block's band stride reaches each of them in turn.
bool BandsInStep(const std::vector<uint32_t>& bands);
// Rows a block copy moves at a time: what both datasets hold in one block.
uint32_t CopyBlockRows(TCopyTask& task);
// The bytes of the input's cells.
uint64_t InputBytes(TRasterReader& input);
// Output rows of `columns` cells that fit `bytes` of the stage, at most `limit`.
uint32_t StagedRows(TRasterReader& input, TRasterWriter& output, uint32_t columns, uint32_t limit,
                    uint64_t bytes = kMaxStagedBytes);

}  // namespace mirava

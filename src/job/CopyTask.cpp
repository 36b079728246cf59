#include "job/CopyTask.h"

#include <algorithm>
#include <system_error>

#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

bool TCopyTask::ProgressTo(int32_t row) {
  if (!Progress(row)) return false;
  Reached = row;
  return true;
}

bool TCopyTask::RowsDone(int32_t lastRow) {
  Reach.Rows = lastRow + 1;
  return ProgressTo(lastRow);
}

bool TCopyTask::InputReady(TRasterReader& input, uint32_t end) {
  for (auto most = std::chrono::milliseconds(0);; most = kProgressInterval) {
    switch (input.AwaitRows(end, most)) {
      case TRowsState::Ready:
        return true;
      case TRowsState::Failed:
        Fail("Reading " + InputName + " failed: " + input.Error().Text);
        return false;
      case TRowsState::Pending:
        if (!ProgressTo(std::max(Reached, 0))) return false;
    }
  }
}

bool TCopyTask::BlockFailed(const char* what, const TError& error, uint32_t row) {
  Fail(std::string(what) + " failed at row " + std::to_string(row) +
       (error.Text.empty() ? "" : ": " + error.Text));
  return false;
}

bool TCopyTask::ScratchFailed(int code) {
  Fail("Writing " + OutputName +
       " failed: its scratch file: " + std::system_category().message(code));
  return false;
}

uint32_t TCopyTask::BandCount() const {
  return Bands.empty() ? static_cast<uint32_t>(Input.GetBandCount())
                       : static_cast<uint32_t>(Bands.size());
}

bool TCopyTask::ReadBlock(TRasterReader& input, uint32_t first, uint32_t count,
                          TCellBlock& block) const {
  if (!input.GetBlock(first, count, block)) return false;
  if (!Bands.empty()) {
    const int64_t step = Bands.size() > 1 ? int64_t{Bands[1]} - Bands[0] : 1;
    block.Data += int64_t{Bands[0]} * block.BandStride;
    block.BandStride *= step;
  }
  return true;
}

bool BandsInStep(const std::vector<uint32_t>& bands) {
  for (size_t k = 2; k < bands.size(); ++k)
    if (int64_t{bands[k]} - bands[k - 1] != int64_t{bands[1]} - bands[0]) return false;
  return bands.size() < 2 || bands[1] != bands[0];
}

uint32_t CopyBlockRows(TCopyTask& task) {
  return std::max(1u, std::min({task.Input.Reader()->BlockRows(), task.Output.Writer()->BlockRows(),
                                static_cast<uint32_t>(task.OutRows)}));
}

uint64_t InputBytes(TRasterReader& input) {
  return uint64_t{static_cast<uint32_t>(input.GetColumnCount())} *
         static_cast<uint32_t>(input.GetRowCount()) * static_cast<uint32_t>(input.GetBandCount()) *
         CellTypeWidth(input.GetCellType());
}

uint32_t StagedRows(TRasterReader& input, TRasterWriter& output, uint32_t columns, uint32_t limit,
                    uint64_t bytes) {
  const uint64_t pixelWidth =
      uint64_t{static_cast<uint32_t>(input.GetBandCount())} *
      std::max(CellTypeWidth(input.GetCellType()), CellTypeWidth(output.GetCellType()));
  return static_cast<uint32_t>(std::clamp<uint64_t>(bytes / (columns * pixelWidth), 1, limit));
}

}  // namespace mirava

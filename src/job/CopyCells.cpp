#include <algorithm>
#include <cmath>

#include "job/CopyTask.h"
#include "dataset/MemoryBudget.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

// Any pair of datasets, a cell at a time through their virtual calls: the
// path every faster one must match. It alone converts palettes to colours
// and no-data values to the output's.
bool CopyCells(TCopyTask& task) {
  TRasterReader* input = task.Input.Reader();
  TRasterWriter* output = task.Output.Writer();
  // A palette's colours come from its one band of indices, each read once,
  // with the first colour.
  const uint32_t bands = static_cast<uint32_t>(task.Output.GetBandCount());
  // Formats that store every cell as a 32-bit float take integers past 2^24
  // to the nearest float: counted, so that the user hears of it.
  const bool toFloats = output->GetCellType() == ctFloat32 && input->GetCellType() != ctFloat32 &&
                        task.PaletteColors.empty();
  uint64_t rounded = 0;
  const bool topDown = !task.Layer.Turns() && !task.Layer.ReversesRows();
  if (!topDown && !task.InputReady(*input, static_cast<uint32_t>(task.Layer.Height())))
    return false;
  // A quarter turn reads a column of the input for each output row: row by
  // row, an input larger than memory would come from the disk again for
  // every output row. Blocks of output rows as wide as a page of input
  // cells, filled column by column, read each page once. Each column of a
  // block touches a page of every output row in it: those pages must stay in
  // memory beside the input's and the stores', so a block's output pages take
  // at most an eighth of the stores' memory (in a 32 MiB cgroup, 4096 rows
  // of them never finished a 6000 x 6000 turn into DTM, 256 take 1.1 s);
  // an input page is then read a few times instead. An output that encodes
  // its rows in order takes them one whole row at a time.
  const uint64_t pageCells = 4096 / std::max<uint32_t>(1, CellTypeWidth(input->GetCellType()));
  const int32_t blockRows = task.Layer.Turns() && !output->WritesRowsInOrder()
                                ? static_cast<int32_t>(std::clamp<uint64_t>(
                                      StoreMemory(task.Memory) / (8 * 4096), 16, pageCells))
                                : 1;
  for (int32_t i0 = 0; i0 < task.OutRows; i0 += blockRows) {
    const int32_t end = std::min(task.OutRows, i0 + blockRows);
    if (topDown && !task.InputReady(*input, static_cast<uint32_t>(i0) + 1)) return false;
    for (int32_t j = 0; j < task.OutColumns; ++j) {
      // A stop is heeded within a block too.
      if (blockRows > 1 && j % 64 == 63 && !task.ProgressTo(std::max(i0 - 1, 0))) return false;
      for (int32_t i = i0; i < end; ++i) {
        const double c = std::nearbyint(task.Layer.InputColumn(j, -i));
        const double r = std::nearbyint(task.Layer.InputRow(j, -i));
        double index = 0;
        for (uint32_t k = 0; k < bands; ++k) {
          double v = 0;
          if (k == 0 || task.PaletteColors.empty()) {
            const uint32_t from = task.Bands.empty() ? k : task.Bands[k];
            if (task.Input.ReadCellExact(static_cast<uint32_t>(c), static_cast<uint32_t>(r), from,
                                         v) == TCellRead::Failed) {
              task.Fail("Reading " + task.InputName + ": " + task.Input.Error().Text);
              return false;
            }
            // No-data values are matched as floats, as the formats state them.
            if (task.NoDataChange && (static_cast<float>(v) == task.NoDataChange->first ||
                                      (std::isnan(v) && std::isnan(task.NoDataChange->first))))
              v = task.NoDataChange->second;
            index = v;
          }
          if (!task.PaletteColors.empty())
            v = index >= 0 && index < static_cast<double>(task.PaletteColors.size())
                    ? task.PaletteColors[static_cast<size_t>(index)][k]
                    : 0;
          if (toFloats && static_cast<double>(static_cast<float>(v)) != v && !std::isnan(v))
            ++rounded;
          if (!task.Output.WriteCellExact(static_cast<uint32_t>(j), static_cast<uint32_t>(i), k,
                                          v)) {
            const std::string error = task.Output.Error().Text;
            task.Fail("Writing " + task.OutputName + " failed at row " + std::to_string(i) +
                      (error.empty() ? "" : ": " + error));
            return false;
          }
        }
      }
    }
    if (!task.RowsDone(end - 1)) return false;
  }
  if (rounded > 0) {
    const std::string note = std::to_string(rounded) + (rounded == 1 ? " cell" : " cells") +
                             " rounded: " + FormatName(task.Output.GetFormat()) +
                             " files hold 32-bit floats, which cannot hold every " +
                             CellTypeWords(input->GetCellType()) + " exactly";
    task.Note(note);
  }
  return true;
}

}  // namespace mirava

#include "job/CopyTask.h"

namespace mirava {

// The output's format copies the input's file, moving its compressed blocks
// or strips: no cell is decoded.
bool PlaceWholeFile(TCopyTask& task) {
  TRasterWriter& output = *task.Output.Writer();
  bool refused = false;  // the job's outcome is set then
  output.SetPlaceProgress([&](uint32_t rows) {
    refused = rows != 0 && !task.ProgressTo(static_cast<int32_t>(rows) - 1);
    return !refused;
  });
  const bool placed = output.PlaceFile(task.InputName, task.Layer.Placement());
  output.SetPlaceProgress(nullptr);
  if (!placed) {
    if (task.StopRequested())
      task.EndHalfWritten();
    else if (!refused)
      task.Fail("Writing " + task.OutputName + " failed: " + task.Output.Error().Text);
    return false;
  }
  return task.RowsDone(task.LastRow());
}

}  // namespace mirava

// One conversion job on its own thread: open the input, create the output
// with the placement's geometry, carry the georeference and control points,
// copy every cell, report progress and honour an abort request.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "dataset/DataSet.h"
#include "dataset/OutputFiles.h"
#include "job/CopyTask.h"
#include "raster/Placement.h"

namespace mirava {

// What a front end asks of one job beyond its names and kind.
struct TJobOptions {
  // The memory the job may count on, in bytes; 0: what the machine and the
  // process's memory cgroup offer. Quarter turns of larger inputs read them
  // once, in stripes; the formats' stores keep within it too.
  uint64_t MemoryLimit = 0;
  // Off, the job takes the cell-by-cell path even where both datasets offer
  // blocks of rows: that path is the reference the block copy is checked by.
  bool BlockCopy = true;
  // Not 0, every quarter turn the block copy makes goes through stripes of
  // this many input rows, whatever the memory: the tests' way to stripes of
  // every size on small rasters.
  uint32_t StripeRows = 0;
  // On, an output that cannot hold the rotation terms of the input's
  // georeference is written without them instead of being refused.
  bool DropRotation = false;
  // On, a placement keeps every cell over its ground: the output's
  // georeference is the input's moved with the cells (GroundAffine).
  // Off, the output keeps the input's frame, its corner and cell sizes, and
  // the cells move within it.
  bool KeepGround = false;
  // How an output encoded from its cells is compressed.
  TEncoding Encoding{};
  // Go to the output, whose format must take them ("COMPRESS=DEFLATE").
  std::vector<std::string> CreationOptions{};
  // The output's format whatever its name's extension (-of); 0: the
  // extension's.
  int OutputFormat = 0;
  // The input's bands, from 0, that make the output's, in their order (-b);
  // empty: every band as it is.
  std::vector<uint32_t> Bands{};
  // Given the output in place of the input's (-a_srs, -a_nodata; an empty
  // no-data value states none).
  std::optional<TCoordinateSystem> AssignedCrs{};
  std::optional<std::optional<double>> AssignedNoData{};
};

class TMyThread;

// What a front end provides to a job.
class TJobHost {
 public:
  virtual ~TJobHost() = default;
  // Runs `procedure` on the front end's main thread; returns once it ran.
  virtual void Synchronize(const std::function<void()>& procedure) = 0;
  // Progress display; called on the main thread (inside Synchronize).
  virtual void DisplayProgress(int percent, const std::string& elapsed,
                               const std::string& remaining) = 0;
  // A message the user must see (a failed ".gcp" save); main thread.
  virtual void ShowError(const std::string& text) = 0;
  // One line on how the job goes about its work (a JPEG placed without
  // loss, or decoded and encoded again); main thread.
  virtual void ShowNote(const std::string&) {}
  // Called on the worker thread after Execute has returned: the host
  // delivers its end-of-job handling on its main thread. It must not
  // destroy the job from inside this call.
  virtual void JobFinished(TMyThread& job) = 0;
};

constexpr const char* kSuccessMessage = "Successful Finish";
// The notes on the path a JPEG to JPEG job takes; the pixel path's is
// followed by the reason.
constexpr const char* kPlacedWithoutLossNote =
    "Placed without loss: the compressed blocks moved, not decoded";
constexpr const char* kPixelPathNote = "Decoded and encoded again, not placed without loss: ";
constexpr const char* kAbortMessage = "User Abort";

// How a job ended; Message() gives the words.
enum class TJobOutcome : uint8_t { Succeeded, Aborted, Failed };

class TMyThread {
 public:
  // Starts the job at once. `kind` is the placement's number as users type
  // it (PlacementOfKind); the hosts refuse any other, and it is taken as 0.
  TMyThread(TJobHost& host, std::string inputName, std::string outputName, int32_t kind,
            TJobOptions options = {});
  // Waits for the thread to end.
  ~TMyThread();
  TMyThread(const TMyThread&) = delete;
  TMyThread& operator=(const TMyThread&) = delete;

  // The job's result; read it once JobFinished was called.
  const std::string& Message() const { return MessageText; }
  TJobOutcome Outcome() const { return Result; }
  bool Succeeded() const { return Result == TJobOutcome::Succeeded; }
  // After a job that did not succeed, what its output holds, e.g.
  // "Output o.ers holds 120 of 900 rows; the others are empty"; empty after
  // a success.
  std::string OutputStateText() const;

  // Runs on the main thread: computes and displays the progress.
  void ShowProgress();
  // Asks the job to stop; it ends with kAbortMessage at its next block, or
  // keeps what it wrote. Safe from any thread and from a signal handler.
  void Stop() { Stopping = true; }

 private:
  void Run();
  void Execute();
  bool OpenInput(const std::string& fileName);
  // The output's format: the one asked for, else its name's.
  int OutputFormatCode() const;
  // Checks the bands asked for against the input's.
  bool ChooseBands();
  bool CheckOutputFiles();
  bool ClaimOutput();
  bool CreateOutput(const std::string& fileName);
  // The output's georeference in Planned (its affine also in Place) and
  // what the output is to hold beside it; false when the format cannot
  // state it and the rotation terms may not be dropped.
  bool ExtrasFor(int format, TGeoExtras& extras);
  // Why a format that states north-up georeferences alone cannot state
  // Place, and what would write it.
  std::string PlaceRefusal(int format, const TAffine& frame) const;
  // One line on how the georeference and the moved control points relate.
  void NoteControlPointMode();
  // A palette's table for an output that stores one, its colours for one
  // that shows them; a note for one that keeps the indices alone.
  void CarryPalette(int format, TGeoExtras& extras);
  // The output states another no-data value than the input's (VEG's,
  // HGT's): cells holding the input's become the output's.
  void MatchNoData(const std::optional<double>& input);
  // One line of the job's output when the output cannot state the input's
  // coordinate system.
  void NoteUnstatedCoordinateSystem();
  void NoteGeoreferenceChange();
  bool TransferControlPoints();
  // The input's control points, each moved with its pixel by the placement.
  std::vector<TGCPoint> MovedControlPoints();
  bool Copy();
  // The abort request, then a progress hand-off as far as output row `row`.
  bool ProgressTo(int32_t row);
  bool FilesIntact();
  void EndHalfWritten();
  bool ReleaseDataSets();
  void PublishOutput();

  TJobHost& Host;
  std::string InputName;
  std::string OutputName;
  const TJobOptions Options;
  std::atomic<bool> Stopping{false};
  std::unique_ptr<TDataSet2> InputSet;
  std::unique_ptr<TDataSet2> OutputSet;
  int32_t OutRows = 0;
  int32_t OutColumns = 0;
  std::chrono::steady_clock::time_point StartTime;
  int32_t LastRow = 0;
  int32_t CurrentRow = -1;
  bool OutputCreated = false;
  // The output's files, made aside and published when the job ends well.
  TOutputFiles Files;
  bool Published = false;
  bool EncodingStopped = false;  // a half-written output is never published
  bool WholeFile = false;        // the input is placed as a file, not cell by cell
  std::optional<std::pair<float, float>> NoDataChange;  // input's, output's
  // The colours an output of three bands shows for a palette's indices.
  std::vector<std::array<uint8_t, 3>> PaletteColors;
  // The input's band for each of the output's; empty: each its own.
  std::vector<uint32_t> Bands;
  TCopyReach Reach;
  TPhotoLayer Layer;
  TAffine Place{};        // the output's affine, of a georeferenced input
  TGeoreference Planned;  // what the output is given of the input's georeference
  std::chrono::steady_clock::time_point LastHandOff;
  // Ends the job with `text` as its message (the first failure's words
  // stand when a later step fails too, as closing after a failed row).
  void Fail(std::string text);
  std::string MessageText;
  TJobOutcome Result = TJobOutcome::Succeeded;
  std::thread Worker;
};

// Hours:minutes:seconds of a time span given in days, e.g. "1:2:5".
std::string TimeText(double days);

}  // namespace mirava

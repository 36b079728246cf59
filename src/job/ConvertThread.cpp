#include "job/ConvertThread.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "georef/CoordinateSystem.h"
#include "job/CopyTask.h"
#include "dataset/MemoryBudget.h"
#include "raster/CellType.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

std::string TimeText(double days) {
  const int64_t s = static_cast<int64_t>(std::nearbyint(days * 60 * 60 * 24));
  const int64_t hours = s / 3600;
  const int64_t minutes = (s - hours * 3600) / 60;
  const int64_t seconds = s - hours * 3600 - minutes * 60;
  return std::to_string(hours) + ":" + std::to_string(minutes) + ":" + std::to_string(seconds);
}

TMyThread::TMyThread(TJobHost& host, std::string inputName, std::string outputName, int32_t kind,
                     TJobOptions options)
    : Host(host),
      InputName(std::move(inputName)),
      OutputName(std::move(outputName)),
      Options(std::move(options)),
      Layer(PlacementOfKind(kind).value_or(TPlacement::None), 0, 0) {
  Worker = std::thread([this] { Run(); });
}

TMyThread::~TMyThread() {
  if (Worker.joinable()) Worker.join();
}

void TMyThread::Fail(std::string text) {
  MessageText = std::move(text);
  Result = TJobOutcome::Failed;
}

void TMyThread::Run() {
  Execute();
  Host.JobFinished(*this);
}

void TMyThread::Execute() {
  StartTime = std::chrono::steady_clock::now();
  MessageText = kSuccessMessage;
  Result = TJobOutcome::Succeeded;
  // Nothing may escape the worker thread: every error ends the job with a
  // message, and the datasets are released whatever happened.
  try {
    if (ClaimOutput() && OpenInput(InputName) && CheckOutputFiles() && CreateOutput(OutputName)) {
      // A raster placed nowhere gives an output placed nowhere: no default
      // corner and cell size that GIS software would take as real.
      if (Planned.Placed && !OutputSet->SetGeoreference(Planned)) {
        Fail(OutputSet->Error().Text);
      } else {
        NoteUnstatedCoordinateSystem();
        NoteGeoreferenceChange();
        if (TransferControlPoints()) {
          LastRow = OutRows - 1;
          TakeMappedFileCut();
          Copy();
          FilesIntact();
        }
      }
    }
  } catch (const std::exception& e) {
    Fail(std::string("Error: ") + e.what());
  } catch (...) {
    Fail("Error: unexpected failure");
  }
  try {
    ReleaseDataSets();
  } catch (...) {
    Fail("Error: unexpected failure while closing the output");
  }
  PublishOutput();
}

int TMyThread::OutputFormatCode() const {
  return Options.OutputFormat > fcUnknown ? Options.OutputFormat : OutputFormat(OutputName);
}

bool TMyThread::OpenInput(const std::string& fileName) {
  std::string why;
  // Chosen bands, or a format that is not the name's, are made from cells.
  WholeFile = Options.BlockCopy && Options.Bands.empty() &&
              OutputFormatCode() == OutputFormat(OutputName) &&
              PlacesWholeFile(fileName, OutputName, Layer.Placement(), Options.CreationOptions,
                              Options.MemoryLimit, why);
  if (WholeFile)
    Host.Synchronize([&] { Host.ShowNote(kPlacedWithoutLossNote); });
  else if (!why.empty())
    Host.Synchronize([&] { Host.ShowNote(kPixelPathNote + why); });
  try {
    InputSet = std::make_unique<TDataSet2>();
    InputSet->SetMemoryLimit(Options.MemoryLimit);
    if (WholeFile ? !InputSet->Describe(fileName) : !InputSet->Open(fileName, 0, 0, 1, 1, omRead)) {
      Fail(InputSet->Error().Text);
      return false;
    }
  } catch (const std::exception& e) {
    Fail(e.what());
    return false;
  }
  const int32_t w = InputSet->GetColumnCount();
  const int32_t h = InputSet->GetRowCount();
  Layer.SetSize(w, h);
  Layer.OutputSize(OutRows, OutColumns);
  return ChooseBands();
}

bool TMyThread::ChooseBands() {
  const uint32_t count = static_cast<uint32_t>(InputSet->GetBandCount());
  for (const uint32_t band : Options.Bands)
    if (band >= count) {
      Fail("Band " + std::to_string(band + 1) + " asked for (-b), but " + InputName + " has " +
           std::to_string(count) + (count == 1 ? " band" : " bands"));
      return false;
    }
  // Every band in its own place is the input as it is: the faster copies
  // take it.
  bool same = Options.Bands.size() == count;
  for (uint32_t k = 0; same && k < count; ++k) same = Options.Bands[k] == k;
  if (!same) Bands = Options.Bands;
  return true;
}

// POSIX has no share modes: an output file that is one of the input's files
// would be truncated while it is read. Refuse before anything is created.
bool TMyThread::CheckOutputFiles() {
  if (OutputName.empty()) return true;  // CreateOutput reports it
  // Files the input would read if they were there are no one's: an output
  // beside its input under the same base name may write them.
  std::vector<TFileId> inputs;
  for (const std::string& f : FormatFiles(InputSet->GetFormat(), InputName, false))
    if (TFileId id = IdentifyFile(f); id.Exists) inputs.push_back(std::move(id));
  for (const std::string& f : FormatFiles(OutputFormatCode(), OutputName, true)) {
    const TFileId out = IdentifyFile(f);
    for (const TFileId& in : inputs)
      if (SameFile(in, out)) {
        Fail("The output would overwrite " + f + ", which belongs to the input");
        return false;
      }
  }
  return true;
}

// Every name the output may write is checked and locked first, so that a
// second job on them is refused before it reads its input; a name the format
// cannot be told from is refused by CreateOutput.
bool TMyThread::ClaimOutput() {
  const int format = OutputFormatCode();
  if (OutputName.empty() || format == fcUnknown) return true;
  if (Files.Claim(OutputName, FormatFiles(format, OutputName, true))) return true;
  Fail(Files.Error().Text);
  return false;
}

bool TMyThread::CreateOutput(const std::string& fileName) {
  if (fileName.empty()) {
    Fail("No output file name");
    return false;
  }
  // The format the facade will create, whatever the extension's case.
  const int format = OutputFormatCode();
  // Cell sizes as lengths: which way the cells run is ExtrasFor's to check.
  const TAffine cells = InputSet->GetGeoreference().Affine;
  // A palette stays with its band alone.
  const TRasterShape input{
      Bands.empty() ? static_cast<uint32_t>(InputSet->GetBandCount())
                    : static_cast<uint32_t>(Bands.size()),
      InputSet->GetCellType(), std::fabs(cells.StepX()), std::fabs(cells.StepY()),
      !InputSet->Reader()->GetColorTable().empty() && Bands.size() <= 1};
  if (const TError refusal = WriteRefusal(format, input); refusal.Failed()) {
    Fail(refusal.Text);
    return false;
  }
  if (const TError wrong = CreationOptionsRefusal(format, Options.CreationOptions);
      wrong.Failed()) {
    Fail(wrong.Text);
    return false;
  }
  const TRasterShape shape = OutputShape(format, input);
  TGeoExtras extras;
  extras.CreationOptions = Options.CreationOptions;
  // Chosen bands keep grey's colours alone (gdal_translate's way).
  const TColours colours = InputSet->Reader()->StatedColours();
  if (Bands.empty() || colours == TColours::BlackIsZero || colours == TColours::WhiteIsZero)
    extras.Colours = colours;
  if (shape.CellType == input.CellType) extras.Bits = InputSet->Reader()->SignificantBits();
  if (!ExtrasFor(format, extras)) return false;
  CarryPalette(format, extras);
  try {
    OutputSet = std::make_unique<TDataSet2>();
    OutputSet->SetMemoryLimit(Options.MemoryLimit);
    OutputSet->SetOutputFormat(format);
    if (!OutputSet->Open(fileName, static_cast<uint32_t>(OutColumns),
                         static_cast<uint32_t>(OutRows), shape.CellType, shape.Bands, omCreate,
                         Planned, extras, Files)) {
      Fail(OutputSet->Error().Text);
      return false;
    }
    TRasterWriter& output = *OutputSet->Writer();
    output.SetEncoding(Options.Encoding);
    output.SetStop(&Stopping);
    OutputCreated = true;
    for (const std::string& note : output.TakeNotes())
      Host.Synchronize([&] { Host.ShowNote(note); });
  } catch (const std::exception& e) {
    Fail(e.what());
    return false;
  }
  MatchNoData(Planned.NoData);
  return true;
}

// Frame mode leaves the georeference as it is, rotation terms included, as
// it leaves the corner and cell sizes; ground mode moves it with the cells.
// Formats that state north-up georeferences alone refuse any other before
// a file is made, unless --drop-rotation lets rotation terms go.
bool TMyThread::ExtrasFor(int format, TGeoExtras& extras) {
  Planned = InputSet->Reader()->GetGeoreference();
  if (Options.AssignedCrs) {
    Planned.Crs = *Options.AssignedCrs;
    Planned.Geographic = EpsgFacts(Planned.Crs.Epsg).Geographic;
  }
  if (Options.AssignedNoData) Planned.NoData = *Options.AssignedNoData;
  if (!Planned.Placed) {
    Planned.Affine = {};
    extras.ControlPoints = MovedControlPoints();
    return true;
  }
  const TAffine frame = Planned.Affine;
  Place = Options.KeepGround ? GroundAffine(Layer, frame) : frame;
  Planned.Affine = Place;
  if (HoldsAffine(format)) return true;
  const bool northUp = Place.CellSizeX > 0 && Place.CellSizeY > 0;
  if (northUp && (!Place.Turned() || Options.DropRotation)) {
    Place.ColumnTermY = Place.RowTermX = 0;
    Planned.Affine = Place;
    return true;
  }
  Fail(PlaceRefusal(format, frame));
  return false;
}

namespace {

// A placement under which `affine` keeps its cells over their ground
// north-up, with columns east and rows south; None when none does.
TPlacement PlacementMakingNorthUp(const TPhotoLayer& layer, const TAffine& affine) {
  for (const TPlacement placement :
       {TPlacement::MirrorVertical, TPlacement::MirrorHorizontal, TPlacement::Rotate180,
        TPlacement::Rotate90CW, TPlacement::Rotate90CCW}) {
    const TPhotoLayer other(placement, layer.Width(), layer.Height());
    if (GroundAffine(other, affine).NorthUp()) return placement;
  }
  return TPlacement::None;
}

}  // namespace

std::string TMyThread::PlaceRefusal(int format, const TAffine& frame) const {
  const std::string name = FormatName(format) + " files";
  const bool ground = Options.KeepGround && Layer.Placement() != TPlacement::None;
  const std::string which = ground ? "the georeference that keeps the cells over their ground"
                                   : "the input's georeference";
  const bool turned = Place.ColumnTermY != 0 || Place.RowTermX != 0;
  std::string text;
  std::vector<std::string> remedies;
  if (turned) {
    text = name + " cannot hold the rotation of " + which + " (terms " +
           FormatGeneral(Place.ColumnTermY) + " and " + FormatGeneral(Place.RowTermX) +
           "); without it the output would lie elsewhere. ";
    if (Place.CellSizeX > 0 && Place.CellSizeY > 0)
      remedies.push_back("--drop-rotation writes it north-up");
  } else {
    // In GDAL's terms: the column step runs east when positive, the row
    // step south when negative. One of them runs the other way here.
    std::vector<std::string> ways;
    if (!(Place.CellSizeX > 0))
      ways.push_back("columns run west (column step " + FormatGeneral(Place.CellSizeX) + ")");
    if (!(Place.CellSizeY > 0))
      ways.push_back("rows run north (row step +" + FormatGeneral(-Place.CellSizeY) + ")");
    text = name + " hold north-up georeferences alone; in " + which + " " + ways.front() +
           (ways.size() > 1 ? " and " + ways.back() : std::string()) +
           ", and without it the output would lie elsewhere. ";
  }
  if (const TPlacement placement = PlacementMakingNorthUp(Layer, frame);
      placement != TPlacement::None && (!ground || placement != Layer.Placement()))
    remedies.push_back("--keep-ground with /" + std::to_string(KindOf(placement)) +
                       " writes it north-up");
  remedies.push_back("a TIFF, BMP or JPEG output holds it");
  if (ground && frame.CellSizeX > 0 && frame.CellSizeY > 0 && frame.ColumnTermY == 0 &&
      frame.RowTermX == 0)
    remedies.push_back("without --keep-ground the output keeps the input's north-up frame");
  for (size_t k = 0; k < remedies.size(); ++k)
    text += k == 0 && remedies[k][0] == 'a' ? "A" + remedies[k].substr(1)
                                            : (k == 0 ? "" : "; ") + remedies[k];
  return text;
}

void TMyThread::CarryPalette(int format, TGeoExtras& extras) {
  const TColorTable& table = InputSet->Reader()->GetColorTable();
  if (table.empty() || Bands.size() > 1) return;
  switch (PaletteUse(format)) {
    case TPaletteUse::Table:
      extras.Colors = table;
      break;
    case TPaletteUse::Colors:
      PaletteColors = EightBitColors(table, table.size());
      break;
    case TPaletteUse::Indices: {
      const std::string note = "Colour table not kept: " + FormatName(format) +
                               " files hold the cell values without their colours";
      Host.Synchronize([&] { Host.ShowNote(note); });
    }
  }
}

void TMyThread::MatchNoData(const std::optional<double>& input) {
  const std::optional<double> output = OutputSet->GetGeoreference().NoData;
  if (input && !output) {
    const std::string note = "No-data value " + FormatGeneral(*input) +
                             " not kept: " + FormatName(OutputSet->GetFormat()) +
                             " files cannot state one";
    Host.Synchronize([&] { Host.ShowNote(note); });
  }
  const float from = static_cast<float>(input.value_or(0));
  const float to = static_cast<float>(output.value_or(0));
  if (input && output && !(from == to || (std::isnan(from) && std::isnan(to))))
    NoDataChange = std::make_pair(from, to);
}

void TMyThread::NoteUnstatedCoordinateSystem() {
  TRasterWriter& output = *OutputSet->Writer();
  if (output.StatesCoordinateSystem()) return;
  const std::string text =
      "coordinate system not written: " + DescribeCoordinateSystem(output.GetGeoreference().Crs);
  Host.Synchronize([&] { Host.ShowNote(text); });
}

void TMyThread::NoteGeoreferenceChange() {
  const std::string text = OutputSet->Writer()->GeoreferenceChange();
  if (!text.empty()) Host.Synchronize([&] { Host.ShowNote(text); });
}

void TMyThread::NoteControlPointMode() {
  const std::string text =
      Options.KeepGround
          ? "Cells kept over their ground: the georeference moved with them and agrees "
            "with the control points"
          : "The input's frame kept: the control points moved with their pixels and no "
            "longer agree with the georeference (--keep-ground keeps both over the ground)";
  Host.Synchronize([&] { Host.ShowNote(text); });
}

bool TMyThread::TransferControlPoints() {
  TGCPList* source = InputSet->GetControlPoints();
  TGCPList* target = OutputSet->GetControlPoints();
  if (source)
    for (const std::string& line : source->SkippedLines)
      Host.Synchronize([&] { Host.ShowNote("Control point not carried over: " + line); });
  if (!source || !target) return true;
  // Both modes move the points with their pixels; they differ in what the
  // georeference says beside them.
  if (source->Count() > 0 && Layer.Placement() != TPlacement::None && Planned.Placed)
    NoteControlPointMode();
  for (const TGCPoint& point : MovedControlPoints()) target->Add(&point);
  if (target->Count() == 0) return true;
  const TError saved = target->SaveToFile(ChangeFileExt(OutputName, ".gcp"), Files);
  if (saved.Failed()) {
    Host.Synchronize([&] { Host.ShowError("Error in output file:\r" + saved.Text); });
    Fail("Control points not saved: " + saved.Text);
    return false;
  }
  return true;
}

std::vector<TGCPoint> TMyThread::MovedControlPoints() {
  std::vector<TGCPoint> points;
  const TGCPList* source = InputSet->GetControlPoints();
  for (int i = 0; source && i < source->Count(); ++i) {
    TGCPoint point = TGCPoint::CreateCopy(source->Items(i));
    double column = point.GetCellX();
    double row = point.GetCellY();
    MoveControlPoint(Layer, column, row);
    point.SetCellX(column);
    point.SetCellY(row);
    points.push_back(point);
  }
  return points;
}

// The abort request, then a progress hand-off as far as output row `row`.
bool TMyThread::ProgressTo(int32_t row) {
  if (!FilesIntact()) return false;
  if (Stopping) {
    MessageText = kAbortMessage;
    Result = TJobOutcome::Aborted;
    return false;
  }
  CurrentRow = row;
  const auto now = std::chrono::steady_clock::now();
  if (now - LastHandOff >= kProgressInterval || row == LastRow) {
    LastHandOff = now;
    Host.Synchronize([this] { ShowProgress(); });
  }
  return true;
}

// The copy path for the two datasets: the whole file where its format
// places it, blocks of rows where both offer them and no cell needs more
// than moving, otherwise cell by cell.
bool TMyThread::Copy() {
  LastHandOff = std::chrono::steady_clock::now() - kProgressInterval;
  TCopyTask task{
      .Input = *InputSet,
      .Output = *OutputSet,
      .InputName = InputName,
      .OutputName = OutputName,
      .Layer = Layer,
      .OutRows = OutRows,
      .OutColumns = OutColumns,
      .Memory = JobMemory(Options.MemoryLimit),
      .ForcedStripeRows = Options.StripeRows,
      .NoDataChange = NoDataChange,
      .PaletteColors = PaletteColors,
      .Bands = Bands,
      .Reach = Reach,
      .Progress = [this](int32_t row) { return ProgressTo(row); },
      .StopRequested = [this] { return Stopping.load(); },
      .Fail = [this](std::string text) { Fail(std::move(text)); },
      .EndHalfWritten = [this] { EndHalfWritten(); },
      .Note = [this](const std::string& text) { Host.Synchronize([&] { Host.ShowNote(text); }); },
  };
  if (WholeFile) return PlaceWholeFile(task);
  if (!BandsInStep(Bands)) return CopyCells(task);
  TRasterReader* input = InputSet->Reader();
  TRasterWriter* output = OutputSet->Writer();
  if (Options.BlockCopy && !NoDataChange && input->BlockRows() > 0 && output->BlockRows() > 0 &&
      CellTypeConvertible(input->GetCellType()) && CellTypeConvertible(output->GetCellType()) &&
      static_cast<uint32_t>(output->GetBandCount()) == task.BandCount())
    return Layer.Turns() ? TurnBlocks(task) : FlipBlocks(task);
  return CopyCells(task);
}

// A mapped file that another process cut short reads as zeros where it
// lost its bytes: no output made from it, or into it, is right. Such a cut
// is the cause of whatever else failed.
bool TMyThread::FilesIntact() {
  const bool cut = TakeMappedFileCut();
  const TRasterReader* input = InputSet ? InputSet->Reader() : nullptr;
  const TRasterWriter* output = OutputSet ? OutputSet->Writer() : nullptr;
  if (output && output->FileCutShort()) {
    Fail("Output " + OutputName + " changed while it was written: another process cut it short");
    return false;
  }
  if (cut || (input && input->FileCutShort())) {
    Fail("Input " + (input ? input->CellFileName() : InputName) +
         " changed while it was read: another process cut it short");
    return false;
  }
  return true;
}

// A stop that ended a file's writing midway: what was written is never
// published.
void TMyThread::EndHalfWritten() {
  MessageText = kAbortMessage;
  Result = TJobOutcome::Aborted;
  EncodingStopped = true;
}

bool TMyThread::ReleaseDataSets() {
  bool ok = true;
  // JPEG and ECW encode while closing. A stop ends their encoding, unless it
  // ended the copy of rows: those are encoded whole, for a partial output.
  if (OutputSet && Result == TJobOutcome::Aborted) OutputSet->Writer()->SetStop(nullptr);
  if (OutputSet && !OutputSet->Close()) {
    if (Succeeded() && Stopping) {
      EndHalfWritten();
    } else if (Succeeded()) {
      Fail("Output not completed: " + OutputSet->Error().Text);
    }
    ok = false;
  }
  OutputSet.reset();
  if (InputSet) InputSet->Close();
  InputSet.reset();
  return ok;
}

// A stopped job's output is kept when nothing stood in its place; whatever
// did stays as it was otherwise, and after any failure.
void TMyThread::PublishOutput() {
  const bool partial =
      Result == TJobOutcome::Aborted && OutputCreated && !EncodingStopped && !Files.HadFiles();
  if (!Succeeded() && !partial) {
    Files.DiscardAll();
    return;
  }
  Published = Files.Publish();
  if (!Published) {
    Files.DiscardAll();
    Fail("Output " + OutputName + " not published: " + Files.Error().Text);
  }
}

std::string TMyThread::OutputStateText() const {
  if (Succeeded()) return {};
  if (!Published)
    return Files.HadFiles() ? "Output " + OutputName + " was left as it was before the job"
                            : "No output was written";
  const std::string rows = std::to_string(OutRows);
  if (Reach.Columns > 0 && Reach.Rows < OutRows)
    return "Output " + OutputName + " holds " + std::to_string(Reach.Columns) + " of " +
           std::to_string(OutColumns) + " columns of its rows; the others are empty";
  if (Reach.Rows == 0)
    return "Output " + OutputName + " was created but holds none of its " + rows + " rows";
  if (Reach.Rows == OutRows)
    return "Output " + OutputName + " holds all " + rows + " rows" +
           (Result == TJobOutcome::Aborted ? "" : " but is not complete");
  return "Output " + OutputName + " holds " + std::to_string(Reach.Rows) + " of " + rows +
         " rows; the others are empty";
}

void TMyThread::ShowProgress() {
  if (LastRow == 0 || CurrentRow < 0) return;
  const int percent =
      static_cast<int>(std::nearbyint(static_cast<double>(CurrentRow) / LastRow * 100));
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - StartTime).count() / 86400.0;
  const double remaining = static_cast<double>(LastRow - CurrentRow) * elapsed / (CurrentRow + 1);
  Host.DisplayProgress(percent, "Elapsed Time " + TimeText(elapsed),
                       "Remaining Time " + TimeText(remaining));
}

}  // namespace mirava

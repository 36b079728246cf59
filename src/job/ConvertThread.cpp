#include "job/ConvertThread.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "dataset/ScratchFile.h"
#include "job/BlockCopy.h"
#include "job/MemoryBudget.h"
#include "job/Partner.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

std::atomic<bool> Busy{false};
std::atomic<bool> AbortRequested{false};
std::atomic<bool> BlockCopyEnabled{true};
std::atomic<uint32_t> TurnStripeRows{0};
std::atomic<bool> DropRotation{false};
std::atomic<bool> KeepGround{false};

// Progress hand-offs make the worker wait for the main thread: a few a
// second are enough for any display.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

std::string TimeText(double days) {
  const int64_t s = static_cast<int64_t>(std::nearbyint(days * 60 * 60 * 24));
  const int64_t hours = s / 3600;
  const int64_t minutes = (s - hours * 3600) / 60;
  const int64_t seconds = s - hours * 3600 - minutes * 60;
  return std::to_string(hours) + ":" + std::to_string(minutes) + ":" + std::to_string(seconds);
}

TMyThread::TMyThread(TJobHost& host, std::string inputName, std::string outputName, int32_t kind,
                     const TEncoding& encoding, std::vector<std::string> creationOptions)
    : Host(host),
      InputName(std::move(inputName)),
      OutputName(std::move(outputName)),
      CreationOptions(std::move(creationOptions)),
      Encoding(encoding) {
  Layer.SetScale(1.0);
  Layer.SetKind(kind);
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
  Busy = true;
  MessageText = kSuccessMessage;
  Result = TJobOutcome::Succeeded;
  const TOutputFiles::TScope scope(Files);
  // Nothing may escape the worker thread: every error ends the job with a
  // message, and the datasets are released whatever happened.
  try {
    if (ClaimOutput() && OpenInput(InputName) && CheckOutputFiles() && CreateOutput(OutputName)) {
      std::string spheroid, datum, projection;
      InputSet->GetSpheroid(spheroid);
      InputSet->GetDatum(datum);
      InputSet->GetProjection(projection);
      // Geographic registrations stay in longitude and latitude.
      if (InputSet->GetDataSet()->GetCoordinateType() == ctLATLONG)
        OutputSet->GetDataSet()->SetCoordinateType(ctLATLONG);
      // A raster placed nowhere gives an output placed nowhere: no default
      // corner and cell size that GIS software would take as real.
      if (InputSet->GetDataSet()->IsGeoreferenced() &&
          !OutputSet->SetGeoreference(spheroid, datum, Place.CellSizeX, Place.CellSizeY, 0.0, 0.0,
                                      Place.X0, Place.Y0, projection)) {
        Fail(OutputSet->GetErrorText());
      } else {
        NoteUnstatedCoordinateSystem();
        NoteGeoreferenceChange();
        if (TransferControlPoints()) {
          LastRow = OutRows - 1;
          TakeMappedFileCut();
          CopyCells();
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
  Busy = false;
}

bool TMyThread::OpenInput(const std::string& fileName) {
  std::string why;
  WholeFile =
      BlockCopyEnabled && PlacesWholeFile(fileName, OutputName, Layer.Kind(), CreationOptions, why);
  if (WholeFile)
    Host.Synchronize([&] { Host.ShowNote(kPlacedWithoutLossNote); });
  else if (!why.empty())
    Host.Synchronize([&] { Host.ShowNote(kPixelPathNote + why); });
  try {
    InputSet = std::make_unique<TDataSet2>();
    if (WholeFile ? !InputSet->Describe(fileName) : !InputSet->Open(fileName, 0, 0, 1, 1, omRead)) {
      Fail(InputSet->GetErrorText());
      return false;
    }
  } catch (const std::exception& e) {
    Fail(e.what());
    return false;
  }
  const int32_t w = InputSet->GetColumnCount();
  const int32_t h = InputSet->GetRowCount();
  Layer.SetWidth(w);
  Layer.SetHeight(h);
  Layer.OutputSize(OutRows, OutColumns);
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
  for (const std::string& f : FormatFiles(OutputFormat(OutputName), OutputName, true)) {
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
  const int format = OutputFormat(OutputName);
  if (OutputName.empty() || format == fcUnknown) return true;
  if (Files.Claim(OutputName, FormatFiles(format, OutputName, true))) return true;
  Fail(Files.ErrorText());
  return false;
}

bool TMyThread::CreateOutput(const std::string& fileName) {
  if (fileName.empty()) {
    Fail("No output file name");
    return false;
  }
  // The format the facade will create, whatever the extension's case.
  const int format = OutputFormat(fileName);
  // Cell sizes as lengths: which way the cells run is ExtrasFor's to check.
  const TRasterShape input{static_cast<uint32_t>(InputSet->GetBandCount()), InputSet->GetCellType(),
                           std::fabs(InputSet->GetCellSizeX()), std::fabs(InputSet->GetCellSizeY()),
                           !InputSet->GetDataSet()->GetColorTable().empty()};
  if (const auto refusal = WriteRefusal(format, input)) {
    Fail(*refusal);
    return false;
  }
  if (const std::string wrong = CreationOptionsRefusal(format, CreationOptions); !wrong.empty()) {
    Fail(wrong);
    return false;
  }
  const TRasterShape shape = OutputShape(format, input);
  TGeoExtras extras;
  if (!ExtrasFor(format, extras)) return false;
  CarryPalette(format, extras);
  try {
    OutputSet = std::make_unique<TDataSet2>();
    if (!OutputSet->Open(fileName, static_cast<uint32_t>(OutColumns),
                         static_cast<uint32_t>(OutRows), shape.CellType, shape.Bands, omCreate,
                         extras, CreationOptions)) {
      Fail(OutputSet->GetErrorText());
      return false;
    }
    OutputSet->GetDataSet()->SetEncoding(Encoding);
    OutputSet->GetDataSet()->SetStop(&AbortRequested);
    OutputCreated = true;
    for (const std::string& note : OutputSet->GetDataSet()->TakeNotes())
      Host.Synchronize([&] { Host.ShowNote(note); });
  } catch (const std::exception& e) {
    Fail(e.what());
    return false;
  }
  MatchNoData(extras.NoData);
  return true;
}

// Frame mode leaves the georeference as it is, rotation terms included, as
// it leaves the corner and cell sizes; ground mode moves it with the cells.
// Formats that state north-up georeferences alone refuse any other before
// a file is made, unless --drop-rotation lets rotation terms go.
bool TMyThread::ExtrasFor(int format, TGeoExtras& extras) {
  TDataSetRoot2& input = *InputSet->GetDataSet();
  extras.NoData = input.GetNoData();
  extras.Crs = input.GetCoordinateSystem();
  if (!input.IsGeoreferenced()) extras.ControlPoints = MovedControlPoints();
  if (!input.IsGeoreferenced()) return true;
  const TAffine frame = input.Affine();
  Place = KeepGround ? GroundAffine(Layer, frame) : frame;
  const bool turned = Place.ColumnTermY != 0 || Place.RowTermX != 0;
  if (HoldsAffine(format)) {
    extras.ColumnTermY = Place.ColumnTermY;
    extras.RowTermX = Place.RowTermX;
    extras.ReversedSteps = Place.CellSizeX < 0 || Place.CellSizeY < 0;
    return true;
  }
  const bool northUp = Place.CellSizeX > 0 && Place.CellSizeY > 0;
  if (northUp && (!turned || DropRotation)) {
    Place.ColumnTermY = Place.RowTermX = 0;
    return true;
  }
  Fail(PlaceRefusal(format, frame));
  return false;
}

namespace {

// A placement under which `affine` keeps its cells over their ground
// north-up, with columns east and rows south; 0 when none does.
int32_t KindMakingNorthUp(const TPhotoLayer& layer, const TAffine& affine) {
  TPhotoLayer other;
  other.SetWidth(layer.Width());
  other.SetHeight(layer.Height());
  for (const int32_t kind :
       {tkMirrorVertical, tkMirrorHorizontal, tkRotate180, tkRotate90CW, tkRotate90CCW}) {
    other.SetKind(kind);
    const TAffine a = GroundAffine(other, affine);
    if (a.CellSizeX > 0 && a.CellSizeY > 0 && a.ColumnTermY == 0 && a.RowTermX == 0) return kind;
  }
  return 0;
}

}  // namespace

std::string TMyThread::PlaceRefusal(int format, const TAffine& frame) const {
  const std::string name = FormatName(format) + " files";
  const bool ground = KeepGround && Layer.Kind() != tkNone;
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
  if (const int32_t kind = KindMakingNorthUp(Layer, frame);
      kind != tkNone && (!ground || kind != Layer.Kind()))
    remedies.push_back("--keep-ground with /" + std::to_string(kind) + " writes it north-up");
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
  const TColorTable& table = InputSet->GetDataSet()->GetColorTable();
  if (table.empty()) return;
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
  const std::optional<double> output = OutputSet->GetDataSet()->GetNoData();
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
  TDataSetRoot2& output = *OutputSet->GetDataSet();
  if (output.StatesCoordinateSystem()) return;
  const std::string text =
      "coordinate system not written: " + DescribeCoordinateSystem(output.GetCoordinateSystem());
  Host.Synchronize([&] { Host.ShowNote(text); });
}

void TMyThread::NoteGeoreferenceChange() {
  const std::string text = OutputSet->GetDataSet()->GeoreferenceChange();
  if (!text.empty()) Host.Synchronize([&] { Host.ShowNote(text); });
}

void TMyThread::NoteControlPointMode() {
  const std::string text =
      KeepGround ? "Cells kept over their ground: the georeference moved with them and agrees "
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
  if (source->Count() > 0 && Layer.Kind() != tkNone && InputSet->GetDataSet()->IsGeoreferenced())
    NoteControlPointMode();
  for (const TGCPoint& point : MovedControlPoints()) target->Add(&point);
  if (target->Count() == 0) return true;
  if (!target->SaveToFile(ChangeFileExt(OutputName, ".gcp"))) {
    const std::string text = target->ErrorMessage;
    Host.Synchronize([&] { Host.ShowError(text); });
    Fail("Control points not saved: " + text.substr(text.find('\r') + 1));
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

// After each finished row (or block of rows): the abort request, then a
// progress hand-off, a few a second at most.
bool TMyThread::RowsDone(int32_t lastRow) {
  RowsWritten = lastRow + 1;
  return ProgressTo(lastRow);
}

// The abort request, then a progress hand-off as far as output row `row`.
bool TMyThread::ProgressTo(int32_t row) {
  if (!FilesIntact()) return false;
  if (AbortRequested) {
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

bool TMyThread::PlaceWholeFile() {
  TDataSetRoot2& output = *OutputSet->GetDataSet();
  output.SetPlaceProgress(
      [this](uint32_t rows) { return rows == 0 || ProgressTo(static_cast<int32_t>(rows) - 1); });
  if (!output.PlaceFile(InputName, Layer.Kind())) {
    if (AbortRequested)
      EndHalfWritten();
    else if (Succeeded())
      Fail("Writing " + OutputName + " failed: " + OutputSet->GetErrorText());
    return false;
  }
  return RowsDone(OutRows - 1);
}

bool TMyThread::CopyCells() {
  LastHandOff = std::chrono::steady_clock::now() - kProgressInterval;
  if (WholeFile) return PlaceWholeFile();
  TDataSetRoot2* input = InputSet->GetDataSet();
  TDataSetRoot2* output = OutputSet->GetDataSet();
  if (BlockCopyEnabled && !NoDataChange && input->BlockRows() > 0 && output->BlockRows() > 0 &&
      CellTypeConvertible(input->GetCellType()) && CellTypeConvertible(output->GetCellType()) &&
      output->GetBandCount() == input->GetBandCount())
    return CopyBlocks(*input, *output);

  // A palette's colours come from its one band of indices, each read once,
  // with the first colour.
  const uint32_t bands = static_cast<uint32_t>(OutputSet->GetBandCount());
  // Formats that store every cell as a 32-bit float take integers past 2^24
  // to the nearest float: counted, so that the user hears of it.
  const bool toFloats = output->GetCellType() == ctFloat32 && input->GetCellType() != ctFloat32 &&
                        PaletteColors.empty();
  uint64_t rounded = 0;
  const int32_t kind = Layer.Kind();
  const bool topDown = kind == tkNone || kind == tkMirrorHorizontal;
  if (!topDown && !InputReady(*input, static_cast<uint32_t>(Layer.Height()))) return false;
  // A quarter turn reads a column of the input for each output row: row by
  // row, an input larger than memory would come from the disk again for
  // every output row. Blocks of output rows as wide as a page of input
  // cells, filled column by column, read each page once. Each column of a
  // block touches a page of every output row in it: those pages must stay in
  // memory beside the input's and the stores', so a block's output pages take
  // at most an eighth of the stores' memory (in a 32 MiB cgroup, 4096 rows
  // of them never finished a 6000 x 6000 turn into DTM, 256 take 1.1 s);
  // an input page is then read a few times instead.
  const uint64_t pageCells = 4096 / std::max<uint32_t>(1, CellTypeWidth(input->GetCellType()));
  const int32_t blockRows =
      Layer.SwapsAxes()
          ? static_cast<int32_t>(std::clamp<uint64_t>(StoreMemory() / (8 * 4096), 16, pageCells))
          : 1;
  for (int32_t i0 = 0; i0 < OutRows; i0 += blockRows) {
    const int32_t end = std::min(OutRows, i0 + blockRows);
    if (topDown && !InputReady(*input, static_cast<uint32_t>(i0) + 1)) return false;
    for (int32_t j = 0; j < OutColumns; ++j) {
      // A stop is heeded within a block too.
      if (blockRows > 1 && j % 64 == 63 && !ProgressTo(std::max(i0 - 1, 0))) return false;
      for (int32_t i = i0; i < end; ++i) {
        const double c = std::nearbyint(Layer.InputColumn(j, -i));
        const double r = std::nearbyint(Layer.InputRow(j, -i));
        double index = 0;
        for (uint32_t k = 0; k < bands; ++k) {
          double v = 0;
          if (k == 0 || PaletteColors.empty()) {
            if (!InputSet->ReadCellExact(static_cast<uint32_t>(c), static_cast<uint32_t>(r), k,
                                         v)) {
              // Some formats answer false for a no-data cell; only a failure
              // that left a reason is one.
              const std::string error = InputSet->GetErrorText();
              if (!error.empty()) {
                Fail("Reading " + InputName + ": " + error);
                return false;
              }
            }
            // No-data values are matched as floats, as the formats state them.
            if (NoDataChange && (static_cast<float>(v) == NoDataChange->first ||
                                 (std::isnan(v) && std::isnan(NoDataChange->first))))
              v = NoDataChange->second;
            index = v;
          }
          if (!PaletteColors.empty())
            v = index >= 0 && index < static_cast<double>(PaletteColors.size())
                    ? PaletteColors[static_cast<size_t>(index)][k]
                    : 0;
          if (toFloats && static_cast<double>(static_cast<float>(v)) != v && !std::isnan(v))
            ++rounded;
          if (!OutputSet->WriteCellExact(static_cast<uint32_t>(j), static_cast<uint32_t>(i), k,
                                         v)) {
            const std::string error = OutputSet->GetErrorText();
            Fail("Writing " + OutputName + " failed at row " + std::to_string(i) +
                 (error.empty() ? "" : ": " + error));
            return false;
          }
        }
      }
    }
    if (!RowsDone(end - 1)) return false;
  }
  if (rounded > 0) {
    const std::string note = std::to_string(rounded) + (rounded == 1 ? " cell" : " cells") +
                             " rounded: " + FormatName(OutputSet->GetFormat()) +
                             " files hold 32-bit floats, which cannot hold every " +
                             CellTypeWords(input->GetCellType()) + " exactly";
    Host.Synchronize([&] { Host.ShowNote(note); });
  }
  return true;
}

namespace {

// Equal cells on both sides move as bytes.
bool CellsAlike(const TCellBlock& a, const TCellBlock& b) {
  return a.CellType == b.CellType && (CellTypeWidth(a.CellType) == 1 || a.MSBFirst == b.MSBFirst);
}

// The bytes of one pixel where both sides interleave the bands of a pixel
// alike, so that a pixel's bands move together; 0 otherwise.
uint32_t PixelBytes(const TCellBlock& in, const TCellBlock& out, uint32_t bands) {
  const int64_t w = CellTypeWidth(in.CellType), p = w * bands;
  return bands > 1 && CellsAlike(in, out) && in.BandStride == w && out.BandStride == w &&
                 in.ColumnStride == p && out.ColumnStride == p
             ? static_cast<uint32_t>(p)
             : 0;
}

// Row blocks small enough for a prompt abort, and the side of the tiles a
// quarter turn goes through.
constexpr uint32_t kTile = 64;
// The blocks of output rows a quarter turn in memory fills: written while
// they are still in the cache, they cost a fraction of larger ones.
constexpr uint64_t kTurnStageBytes = 1u << 20;
constexpr uint64_t kCacheLine = 64;
// The stripes of a quarter turn write whole pages of every output row.
constexpr uint64_t kPageBytes = 4096;
// The memory for the stripes of an input in memory (one larger than a
// mapped window): at 4 GiB, this budget (stripes of 512 MiB) took less
// processor time than twice as much.
constexpr uint64_t kStripeBudgetInMemory = 1u << 30;
// The pieces a turn through a scratch file writes and reads there.
constexpr uint64_t kScratchChunkBytes = 64u << 20;

uint64_t InputBytes(TDataSetRoot2& input) {
  return uint64_t{static_cast<uint32_t>(input.GetColumnCount())} *
         static_cast<uint32_t>(input.GetRowCount()) * static_cast<uint32_t>(input.GetBandCount()) *
         CellTypeWidth(input.GetCellType());
}

// Output rows of `columns` cells that fit `bytes` of the stage, at most `limit`.
uint32_t StagedRows(TDataSetRoot2& input, TDataSetRoot2& output, uint32_t columns, uint32_t limit,
                    uint64_t bytes = kMaxStagedBytes) {
  const uint64_t pixelWidth =
      uint64_t{static_cast<uint32_t>(input.GetBandCount())} *
      std::max(CellTypeWidth(input.GetCellType()), CellTypeWidth(output.GetCellType()));
  return static_cast<uint32_t>(std::clamp<uint64_t>(bytes / (columns * pixelWidth), 1, limit));
}

// Turns the m input rows of `in` (taken bottom up when `upwards`) into
// output rows 0 .. n - 1 of `out`, columns j0 .. j0 + m - 1: output row k is
// input column column0 + k, or column0 - k when `backwards`.
void TurnTile(const TCellBlock& in, uint32_t m, bool upwards, const TCellBlock& out, uint32_t j0,
              uint32_t n, uint32_t column0, bool backwards, uint32_t bands) {
  const uint8_t* firstRow = in.Data + (upwards ? (m - 1) * in.RowStride : 0);
  const int64_t srcStep = upwards ? -in.RowStride : in.RowStride;
  const int64_t width = CellTypeWidth(in.CellType);
  const int64_t pixel = PixelBytes(in, out, bands);
  if (pixel || (CellsAlike(in, out) && in.ColumnStride == width && out.ColumnStride == width)) {
    const int64_t cell = pixel ? pixel : width;
    for (uint32_t b = 0; b < (pixel ? 1 : bands); ++b)
      TransposeCells(out.Data + b * out.BandStride + j0 * cell, out.RowStride,
                     firstRow + b * in.BandStride + column0 * cell, srcStep,
                     backwards ? -cell : cell, static_cast<uint32_t>(cell), n, m);
    return;
  }
  // Cells converted or byte-swapped on the way, in tiles that stay in the cache.
  auto column = [&](uint32_t k) { return backwards ? column0 - k : column0 + k; };
  for (uint32_t t0 = 0; t0 < m; t0 += kTile) {
    const uint32_t count = std::min(kTile, m - t0);
    for (uint32_t k0 = 0; k0 < n; k0 += kTile)
      for (uint32_t b = 0; b < bands; ++b)
        for (uint32_t k = k0; k < std::min(n, k0 + kTile); ++k)
          CopyCellRun(
              out.Data + k * out.RowStride + b * out.BandStride + (j0 + t0) * out.ColumnStride,
              out.ColumnStride, out.CellType, out.MSBFirst,
              firstRow + t0 * srcStep + b * in.BandStride + column(k) * in.ColumnStride, srcStep,
              in.CellType, in.MSBFirst, count);
  }
}

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

// TurnTile in parts that this thread and the partner take as each is free:
// parts of the input rows where there are enough of them, each filling its
// own columns of the output rows (a whole number of cache lines of each)
// and reading whole lines of its input rows; otherwise (the few rows of a
// stripe's tile) parts of the output rows. Too little work for two threads
// stays on this one.
void TurnShared(TPartner& partner, const TCellBlock& in, uint32_t m, bool upwards,
                const TCellBlock& out, uint32_t j0, uint32_t n, uint32_t column0, bool backwards,
                uint32_t bands) {
  constexpr uint64_t kPartCells = 1u << 15;
  const uint64_t outCells = uint64_t{n} * bands, inCells = uint64_t{m} * bands;
  const uint32_t inRows =
      static_cast<uint32_t>(std::max<uint64_t>(64, kPartCells / outCells & ~63u));
  const uint32_t outRows =
      static_cast<uint32_t>(std::max<uint64_t>(16, kPartCells / inCells & ~15u));
  if (!partner.HasThread() || outCells * m < 2 * kPartCells) {
    TurnTile(in, m, upwards, out, j0, n, column0, backwards, bands);
  } else if (inRows < m) {
    partner.Share((m + inRows - 1) / inRows, [&](uint32_t part) {
      // Rows a .. a + count - 1 in the order taken: bottom up when upwards.
      const uint32_t a = part * inRows, count = std::min(inRows, m - a);
      TCellBlock rows = in;
      rows.Data += (upwards ? m - a - count : a) * in.RowStride;
      TurnTile(rows, count, upwards, out, j0 + a, n, column0, backwards, bands);
    });
  } else if (outRows < n) {
    partner.Share((n + outRows - 1) / outRows, [&](uint32_t part) {
      const uint32_t a = part * outRows, count = std::min(outRows, n - a);
      TCellBlock rows = out;
      rows.Data += a * out.RowStride;
      TurnTile(in, m, upwards, rows, j0, count, backwards ? column0 - a : column0 + a, backwards,
               bands);
    });
  } else {
    TurnTile(in, m, upwards, out, j0, n, column0, backwards, bands);
  }
}

}  // namespace

bool TMyThread::InputReady(TDataSetRoot2& input, uint32_t end) {
  for (auto most = std::chrono::milliseconds(0);; most = kProgressInterval) {
    switch (input.AwaitRows(end, most)) {
      case TRowsState::Ready:
        return true;
      case TRowsState::Failed:
        Fail("Reading " + InputName + " failed: " + input.ErrorText);
        return false;
      case TRowsState::Pending:
        if (!ProgressTo(std::max(CurrentRow, 0))) return false;
    }
  }
}

bool TMyThread::BlockFailed(const char* what, const TDataSetRoot2& set, uint32_t row) {
  Fail(std::string(what) + " failed at row " + std::to_string(row) +
       (set.ErrorText.empty() ? "" : ": " + set.ErrorText));
  return false;
}

// The same placement as CopyCells, moving runs of cells between blocks of
// rows. Flips and kind 0 copy whole rows; the quarter turns go through
// tiles small enough to stay in the cache, so that neither file is walked
// across its rows one cell at a time.
bool TMyThread::CopyBlocks(TDataSetRoot2& input, TDataSetRoot2& output) {
  const uint32_t blockRows = std::max(
      1u, std::min({input.BlockRows(), output.BlockRows(), static_cast<uint32_t>(OutRows)}));
  return Layer.SwapsAxes() ? TurnBlocks(input, output, blockRows)
                           : FlipBlocks(input, output, blockRows);
}

bool TMyThread::FlipBlocks(TDataSetRoot2& input, TDataSetRoot2& output, uint32_t blockRows) {
  const uint32_t W = static_cast<uint32_t>(Layer.Width());
  const uint32_t H = static_cast<uint32_t>(Layer.Height());
  const uint32_t outRows = static_cast<uint32_t>(OutRows);
  const uint32_t bands = static_cast<uint32_t>(input.GetBandCount());
  const int32_t kind = Layer.Kind();
  const bool flipH = kind == tkMirrorHorizontal || kind == tkRotate180;
  const bool flipV = kind == tkMirrorVertical || kind == tkRotate180;
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
  const uint64_t memory = JobMemory();
  const bool once = InputBytes(input) > memory || input.RowsInScratch();
  const uint64_t ahead = ReadAheadWithin(memory);
  const uint8_t* rows[kTile];
  for (uint32_t r0 = 0; r0 < H; r0 += flipRows) {
    const uint32_t n = std::min(flipRows, H - r0);
    const uint32_t i0 = flipV ? outRows - r0 - n : r0;
    if (once) input.ReadingRowsOnce(r0, ahead);
    if (!InputReady(input, r0 + n)) return false;
    if (!input.GetBlock(r0, n, in)) return BlockFailed("Reading", input, r0);
    if (direct && sameRows()) {
      for (uint32_t k = 0; k < n; ++k) rows[k] = in.Data + (flipV ? n - 1 - k : k) * in.RowStride;
      if (!output.PutRows(i0, n, rows)) return BlockFailed("Writing", output, i0);
      if (!RowsDone(static_cast<int32_t>(r0 + n - 1))) return false;
      continue;
    }
    if (!output.GetBlock(i0, n, out)) return BlockFailed("Writing", output, i0);
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
    if (!RowsDone(static_cast<int32_t>(r0 + n - 1))) return false;
  }
  return true;
}

// Output row i is input column (kind 2) W - 1 - i or (kind 3) i; output
// column j is input row j (kind 2) or H - 1 - j (kind 3).
bool TMyThread::TurnBlocks(TDataSetRoot2& input, TDataSetRoot2& output, uint32_t blockRows) {
  TCellBlock layout;
  bool inPlace = false;
  TPartner partner;
  if (const uint32_t rows = StripeRows(input, output, layout, inPlace))
    return TurnStripes(input, output, layout, inPlace, rows, blockRows, partner);
  return SweepTurn(input, output, blockRows, partner);
}

// Every block of output rows takes a cell of every input row.
bool TMyThread::SweepTurn(TDataSetRoot2& input, TDataSetRoot2& output, uint32_t blockRows,
                          TPartner& partner) {
  const uint32_t W = static_cast<uint32_t>(Layer.Width());
  const uint32_t H = static_cast<uint32_t>(Layer.Height());
  const uint32_t outRows = static_cast<uint32_t>(OutRows);
  const uint32_t bands = static_cast<uint32_t>(input.GetBandCount());
  const bool ccw = Layer.Kind() == tkRotate90CCW;
  if (!InputReady(input, H)) return false;
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
      if (!input.GetBlock(ccw ? j0 : H - j0 - m, m, in)) return BlockFailed("Reading", input, j0);
      if (!output.GetBlock(i0, n, out)) return BlockFailed("Writing", output, i0);
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
    if (!RowsDone(static_cast<int32_t>(i0 + n - 1))) return false;
  }
  return true;
}

// An input larger than the memory the job can count on would be read from
// the disk again for every block of output rows, and one larger than a
// mapped window mapped again window by window: it is read once instead, in
// stripes of the rows that the returned number gives (0: no stripes), within
// that memory or, in memory, kStripeBudgetInMemory. `inPlace`: the output
// takes the stripes' parts of its rows; an output that takes whole blocks
// of rows only is striped out of core alone, through a scratch file.
uint32_t TMyThread::StripeRows(TDataSetRoot2& input, TDataSetRoot2& output, TCellBlock& layout,
                               bool& inPlace) {
  const uint32_t H = static_cast<uint32_t>(Layer.Height());
  const uint64_t memory = JobMemory();
  const bool outOfCore = InputBytes(input) > memory;
  const uint32_t forced = TurnStripeRows;
  if (!forced && !outOfCore && input.BlockRows() >= H) return 0;
  inPlace = output.RowLayout(layout);
  if (!inPlace && !((forced || outOfCore) && output.BlockLayout(layout))) return 0;
  const int64_t width = CellTypeWidth(layout.CellType);
  const int64_t bands = input.GetBandCount();
  if (layout.ColumnStride != width && layout.ColumnStride != width * bands) return 0;
  if (forced) return std::min(forced, H);
  // One input row's share of the stripe: a cell of every output row and band.
  const uint64_t rowBytes = static_cast<uint64_t>(
      OutRows * bands * std::max<int64_t>(width, CellTypeWidth(input.GetCellType())));
  const uint64_t budget = outOfCore ? memory : std::min(memory, kStripeBudgetInMemory);
  const uint64_t padding = uint64_t{static_cast<uint32_t>(OutRows)} * kCacheLine;
  return StripeRowsWithin(budget > padding ? budget - padding : 0, rowBytes,
                          static_cast<uint32_t>(kPageBytes / width), kTile, H);
}

// Input rows are read top to bottom, a stripe at a time. The stripe holds
// every output row cut to the stripe's columns, laid out as the output lays
// out its rows, and goes into the output with one write per row and band.
bool TMyThread::TurnStripes(TDataSetRoot2& input, TDataSetRoot2& output, const TCellBlock& layout,
                            bool inPlace, uint32_t stripeRows, uint32_t blockRows,
                            TPartner& partner) {
  const uint32_t W = static_cast<uint32_t>(Layer.Width());
  const uint32_t H = static_cast<uint32_t>(Layer.Height());
  const uint32_t bands = static_cast<uint32_t>(input.GetBandCount());
  const bool ccw = Layer.Kind() == tkRotate90CCW;
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
  const uint64_t memory = JobMemory();
  const bool once = InputBytes(input) > memory;
  const uint64_t ahead = ReadAheadWithin(memory);
  // Out of core, each stripe goes whole into a scratch file, and the output
  // is written from it top down in a second pass: a stripe's parts of the
  // output rows written in place cost the disk one request each (8 KiB for
  // 65536 rows in 1 GiB), which held a turn to a fifth of what the disk
  // moves in large ones. Where no scratch file can be had, they still do.
  const uint32_t stripes = (H + stripeRows - 1) / stripeRows;
  TScratchFile scratch;
  const bool viaScratch = (once || !inPlace) && scratch.Create(ExtractFileDir(OutputName),
                                                               uint64_t{stripes} * stripeBytes);
  if (!inPlace && !viaScratch) return SweepTurn(input, output, blockRows, partner);
  // Progress counts each input row twice: read and turned, then written
  // (through a scratch file: the first half).
  uint64_t done = 0;
  const uint64_t units = (viaScratch ? 4 : 2) * uint64_t{H};
  auto goesOn = [&](uint64_t unit) {
    return ProgressTo(static_cast<int32_t>(unit * static_cast<uint64_t>(LastRow) / units));
  };
  TCellBlock in;
  for (uint32_t r0 = 0; r0 < H; r0 += stripeRows) {
    const uint32_t m = std::min(stripeRows, H - r0);
    // Stripe column t is input row r0 + t (kind 2) or r0 + m - 1 - t (kind 3).
    for (uint32_t t0 = 0; t0 < m; t0 += kTile) {
      const uint32_t n = std::min(kTile, m - t0);
      if (once) input.ReadingRowsOnce(r0 + t0, ahead);
      if (!InputReady(input, r0 + t0 + n)) return false;
      if (!input.GetBlock(r0 + t0, n, in)) return BlockFailed("Reading", input, r0 + t0);
      TurnShared(partner, in, n, !ccw, stripe, ccw ? t0 : m - t0 - n, W, ccw ? W - 1 : 0, ccw,
                 bands);
      if (!goesOn(done += n)) return false;
    }
    if (viaScratch) {
      const uint64_t position = uint64_t{r0 / stripeRows} * stripeBytes;
      for (uint64_t k = 0; k < stripeBytes; k += kScratchChunkBytes) {
        const uint64_t n = std::min(kScratchChunkBytes, stripeBytes - k);
        if (const int code = scratch.Write(stripeMemory.get() + k, n, position + k))
          return ScratchFailed(code);
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
          return BlockFailed("Writing", output, i0);
      if (!goesOn(done + uint64_t{m} * (i0 + n) / W)) return false;
    }
    done += m;
    ColumnsWritten += static_cast<int32_t>(m);
  }
  if (!viaScratch) return RowsDone(LastRow);
  stripeMemory.reset();
  return TurnFromScratch(output, layout, stripe, onePart, inPlace, stripeRows, stripeBytes,
                         scratch);
}

// The output rows, a block at a time, from the stripes in the scratch file:
// each block's rows are one range of every stripe there. Progress goes on
// from half way.
bool TMyThread::TurnFromScratch(TDataSetRoot2& output, const TCellBlock& layout,
                                const TCellBlock& stripe, bool onePart, bool inPlace,
                                uint32_t stripeRows, uint64_t stripeBytes, TScratchFile& scratch) {
  const uint32_t H = static_cast<uint32_t>(Layer.Height());
  const uint32_t outRows = static_cast<uint32_t>(OutRows);
  const bool ccw = Layer.Kind() == tkRotate90CCW;
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
    if (!inPlace && !output.GetBlock(i0, n, out)) return BlockFailed("Writing", output, i0);
    for (uint32_t r0 = 0; r0 < H; r0 += stripeRows) {
      const uint32_t m = std::min(stripeRows, H - r0);
      const uint64_t firstColumn = ccw ? r0 : H - r0 - m;
      const uint64_t partBytes =
          uint64_t{m} * CellTypeWidth(stripe.CellType) * (onePart ? output.GetBandCount() : 1);
      if (const int code =
              scratch.Read(parts.get(), n * stripeRowBytes,
                           uint64_t{r0 / stripeRows} * stripeBytes + i0 * stripeRowBytes))
        return ScratchFailed(code);
      for (uint32_t q = 0; q < n; ++q)
        for (uint32_t b = 0; b < partCount; ++b)
          std::memcpy(out.Data + firstBand + q * out.RowStride + b * out.BandStride +
                          firstColumn * out.ColumnStride,
                      parts.get() + q * stripeRowBytes + b * stripe.BandStride, partBytes);
    }
    if (inPlace && !output.PutRows(i0, n, starts.data())) return BlockFailed("Writing", output, i0);
    RowsWritten = static_cast<int32_t>(i0 + n);
    if (!ProgressTo(static_cast<int32_t>((LastRow + uint64_t{i0} + n - 1) / 2))) return false;
  }
  return RowsDone(LastRow);
}

bool TMyThread::ScratchFailed(int code) {
  Fail("Writing " + OutputName +
       " failed: its scratch file: " + std::system_category().message(code));
  return false;
}

// A mapped file that another process cut short reads as zeros where it
// lost its bytes: no output made from it, or into it, is right. Such a cut
// is the cause of whatever else failed.
bool TMyThread::FilesIntact() {
  const bool cut = TakeMappedFileCut();
  const TDataSetRoot2* input = InputSet ? InputSet->GetDataSet() : nullptr;
  const TDataSetRoot2* output = OutputSet ? OutputSet->GetDataSet() : nullptr;
  if (output && (output->FileCut() || output->FileShrunk())) {
    Fail("Output " + OutputName + " changed while it was written: another process cut it short");
    return false;
  }
  if (cut || (input && (input->FileCut() || input->FileShrunk()))) {
    Fail("Input " + (input ? input->FileName : InputName) +
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
  if (OutputSet && Result == TJobOutcome::Aborted) OutputSet->GetDataSet()->SetStop(nullptr);
  if (OutputSet && !OutputSet->Close()) {
    if (Succeeded() && AbortRequested) {
      EndHalfWritten();
    } else if (Succeeded()) {
      Fail("Output not completed: " + OutputSet->GetErrorText());
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
    Fail("Output " + OutputName + " not published: " + Files.ErrorText());
  }
}

std::string TMyThread::OutputStateText() const {
  if (Succeeded()) return {};
  if (!Published)
    return Files.HadFiles() ? "Output " + OutputName + " was left as it was before the job"
                            : "No output was written";
  const std::string rows = std::to_string(OutRows);
  if (ColumnsWritten > 0 && RowsWritten < OutRows)
    return "Output " + OutputName + " holds " + std::to_string(ColumnsWritten) + " of " +
           std::to_string(OutColumns) + " columns of its rows; the others are empty";
  if (RowsWritten == 0)
    return "Output " + OutputName + " was created but holds none of its " + rows + " rows";
  if (RowsWritten == OutRows)
    return "Output " + OutputName + " holds all " + rows + " rows" +
           (Result == TJobOutcome::Aborted ? "" : " but is not complete");
  return "Output " + OutputName + " holds " + std::to_string(RowsWritten) + " of " + rows +
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

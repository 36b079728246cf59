// The dataset every format derives from: one raster file, read or created,
// playing both roles of RasterRoles.h, with what the facade gives it before
// it creates a file (the planned georeference, the extras).
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
#include <vector>

#include "dataset/Encoding.h"
#include "dataset/FailureRecord.h"
#include "dataset/RasterRoles.h"
#include "georef/ControlPoints.h"
#include "georef/WorldFile.h"
#include "raster/Georeference.h"
#include "raster/Placement.h"
#include "text/FileMaker.h"

namespace mirava {

// The table's colours in 0..255, as GDAL reads a TIFF palette: a table
// whose entries all lie within 0..255 is taken as 8-bit already, any other
// is divided by 257. Indices past the table are black.
std::vector<std::array<uint8_t, 3>> EightBitColors(const TColorTable& table, size_t size);

// What a created output is to hold beside its georeference: the colour
// table of a one-band input for a format that stores one, the control
// points that place it, and how it stores its cells.
struct TGeoExtras {
  TColorTable Colors;
  // Of an input placed by its control points alone: the points, moved with
  // their pixels, for a format that states them in its own file (GeoTIFF
  // tie points).
  std::vector<TGCPoint> ControlPoints;
  // How a created output is to store its cells ("COMPRESS=DEFLATE"), in
  // the words of the format's CheckCreationOptions (DataSet.h).
  std::vector<std::string> CreationOptions;
  // What the input's bands state of their colours.
  TColours Colours = TColours::Unstated;
  // The input's significant bits (SignificantBits) of cells of the same
  // type, for a format that states them; 0: all.
  uint32_t Bits = 0;
};

class TDataSetRoot2 : public TFailureRecord, public TRasterReader, public TRasterWriter {
 public:
  TDataSetRoot2() = default;
  ~TDataSetRoot2() override = default;
  TDataSetRoot2(const TDataSetRoot2&) = delete;
  TDataSetRoot2& operator=(const TDataSetRoot2&) = delete;

  // Where the files this dataset creates are made: the job's output files,
  // which the facade hands down before a create; in place otherwise.
  void SetFileMaker(TFileMaker& files) { Maker = &files; }
  TFileMaker& FileMaker() const { return *Maker; }
  // The memory the job may count on, in bytes; 0: what the machine offers.
  // The stores of a format (whole images, tiles, decoders) keep within it.
  void SetMemoryLimit(uint64_t limit) { MemoryLimit = limit; }

  virtual bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                    uint32_t bands, uint8_t mode) = 0;
  // Opens an existing file for what it describes (size, bands, cell type,
  // georeference, control points) without preparing its cells: a format may
  // leave them unreadable after it. Readers of cells open with omRead.
  virtual bool OpenRead(const std::string& fileName) = 0;
  virtual void SetFileName(const std::string& fileName) { FileName = fileName; }
  int32_t GetBandCount() override = 0;
  int32_t GetRowCount() override = 0;
  int32_t GetColumnCount() override = 0;
  uint8_t GetCellType() override = 0;
  // The georeference the file states, or the one a created output was
  // given. A cell size of 0 beside no rotation term reads as 1.
  TGeoreference GetGeoreference() const override;
  // Given to a created output before its Open (TDataSet2::Open takes them):
  // the georeference SetGeoreference will give, or of an input placed
  // nowhere its no-data and coordinate system, so that a format that lays
  // out its file at its Open makes room for its rotation terms, steps,
  // no-data and coordinate system; and what the output holds beside it.
  void PlanGeoreference(const TGeoreference& planned);
  void SetExtras(const TGeoExtras& extras) {
    ColorTable = extras.Colors;
    PlacingPoints = extras.ControlPoints;
    CreationOptions = extras.CreationOptions;
    Colours = extras.Colours;
    PlannedBits = extras.Bits;
  }
  TColours StatedColours() override { return TColours::Unstated; }
  const TColorTable& GetColorTable() const override { return ColorTable; }
  bool SetGeoreference(const TGeoreference& georeference) override = 0;
  bool StatesCoordinateSystem() override { return Georef.Crs.Empty(); }
  std::string GeoreferenceChange() override { return {}; }
  TGCPList* GetControlPoints() override { return ControlPoints.get(); }
  // Takes ownership of the list.
  virtual void SetControlPoints(TGCPList* list) {
    if (list != ControlPoints.get()) ControlPoints.reset(list);
  }

  // A dataset reached cell by cell has no blocks; blocks of an output are
  // written through.
  uint32_t BlockRows() override { return 0; }
  bool GetBlock(uint32_t, uint32_t, TCellBlock&) override { return false; }
  void ReadingRowsOnce(uint32_t /*first*/, uint64_t /*ahead*/) override {}
  bool RowsInScratch() override { return false; }
  TRowsState AwaitRows(uint32_t, std::chrono::milliseconds) override { return TRowsState::Ready; }
  void SamplingOnly(uint32_t, uint32_t) override {}
  bool RowLayout(TCellBlock&) override { return false; }
  bool BlockLayout(TCellBlock&) override { return false; }
  bool WritesRowsInOrder() override { return false; }
  bool PutRows(uint32_t, uint32_t, const uint8_t* const*) override { return false; }
  bool PutRowParts(uint32_t, uint32_t, uint64_t, uint64_t, const uint8_t*, uint64_t,
                   bool) override {
    return false;
  }
  bool PlaceFile(const std::string&, TPlacement) override { return false; }

  // A format reads and writes its cells as floats; one that holds cells a
  // float cannot (32-bit integers, 64-bit floats) reads and writes them
  // exactly too.
  bool ReadCell(uint32_t, uint32_t, uint32_t, float&) override { return false; }
  bool WriteCell(uint32_t, uint32_t, uint32_t, float) override { return false; }
  bool ReadCellExact(uint32_t column, uint32_t row, uint32_t band, double& value) override {
    float cell = 0;
    const bool ok = ReadCell(column, row, band, cell);
    value = cell;
    return ok;
  }
  bool WriteCellExact(uint32_t column, uint32_t row, uint32_t band, double value) override {
    return WriteCell(column, row, band, static_cast<float>(value));
  }

  void SetEncoding(const TEncoding&) override {}
  void SetStop(const std::atomic<bool>* stop) override { Stop = stop; }
  void SetPlaceProgress(std::function<bool(uint32_t)> progress) override {
    PlaceProgress = std::move(progress);
  }
  std::vector<std::string> TakeNotes() override { return std::exchange(Notes, {}); }

  const std::string& CellFileName() const override { return FileName; }
  // A format that maps its file says whether it was cut short.
  bool FileCutShort() const override { return false; }
  const TError& Error() const override { return TFailureRecord::Error(); }
  // The destructor of a format calls it when the owner did not.
  bool Close() override { return true; }

  std::string FileName;
  uint8_t OpenMode = omRead;

 protected:
  // For a format that reads its cells exactly: the float narrowed from that.
  bool ReadCellNarrowed(uint32_t column, uint32_t row, uint32_t band, float& value) {
    double exact = 0;
    const bool ok = ReadCellExact(column, row, band, exact);
    value = static_cast<float>(exact);
    return ok;
  }
  // Places the dataset where a world file says, its names unknown.
  void TakeWorldFile(const TWorldFile& world);
  // Places the dataset nowhere, under RAW names, before a file is read; a
  // created file keeps what it was planned and given before its Open.
  void ResetGeoreference();
  // What a format that states them keeps of the planned georeference: its
  // no-data value, its longitude and latitude.
  virtual void KeepPlanned(const TGeoreference&) {}
  // The start of every Open of a format that keeps control points: the name,
  // the mode, no error, and a fresh list, so that points of a previous file
  // never travel with this one.
  void BeginOpen(const std::string& fileName, uint8_t mode) {
    SetFileName(fileName);
    OpenMode = mode;
    ClearError();
    ControlPoints = std::make_unique<TGCPList>();
  }
  // Keeps the corner, cell sizes, rotation terms and names SetGeoreference
  // is given (the no-data and coordinate system stay those planned) and
  // marks the dataset placed.
  void KeepGeoreference(const TGeoreference& georeference);
  // Whether the georeference is other than north-up with columns that run
  // east and rows that run south, or was planned so: only an affine form
  // states it.
  bool NeedsAffine() const { return Georef.NeedsAffine() || ReversedSteps; }
  // For an output whose world file is its georeference: false, with the
  // failure recorded, when it could not be written.
  bool SaveWorldFile(const std::string& name, const TWorldFile& world);

  std::unique_ptr<TGCPList> ControlPoints;
  std::vector<std::string> Notes;
  const std::atomic<bool>* Stop = nullptr;
  std::function<bool(uint32_t)> PlaceProgress;
  TGeoreference Georef;
  // A cell size of the planned georeference is negative.
  bool ReversedSteps = false;
  TColorTable ColorTable;
  std::vector<TGCPoint> PlacingPoints;  // of a created output, from its extras
  std::vector<std::string> CreationOptions;
  TColours Colours = TColours::Unstated;  // of a created output's input
  uint32_t PlannedBits = 0;  // of a created output's input, from its extras
  TFileMaker* Maker = &FilesInPlace();
  uint64_t MemoryLimit = 0;
};

}  // namespace mirava

// The abstract raster dataset: one raster file seen as a grid of cells with
// a georeference and an optional list of ground control points.
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
#include "dataset/MMapFile.h"
#include "georef/ControlPoints.h"
#include "georef/CoordinateSystem.h"
#include "georef/WorldFile.h"

namespace mirava {

// A palette: the red, green and blue of each cell value from 0 on, each
// 0..65535 as TIFF states them.
using TColorTable = std::vector<std::array<uint16_t, 3>>;

// The table's colours in 0..255, as GDAL reads a TIFF palette: a table
// whose entries all lie within 0..255 is taken as 8-bit already, any other
// is divided by 257. Indices past the table are black.
std::vector<std::array<uint8_t, 3>> EightBitColors(const TColorTable& table, size_t size);

// What a created output is to hold of its input's georeference beyond the
// names, cell sizes and corner of SetGeoreference, and the colour table of a
// one-band input for a format that stores one.
struct TGeoExtras {
  double ColumnTermY = 0, RowTermX = 0;  // world-file rotation terms
  // A cell size SetGeoreference will give is negative (columns that run
  // west, rows that run north): the output states an affine georeference.
  bool ReversedSteps = false;
  std::optional<double> NoData;  // the cell value meaning "no data"
  TColorTable Colors;
  TCoordinateSystem Crs;
  // Of an input placed by its control points alone: the points, moved with
  // their pixels, for a format that states them in its own file (GeoTIFF
  // tie points).
  std::vector<TGCPoint> ControlPoints;
};

// Whether rows an input is still decoding can be read yet.
enum class TRowsState : uint8_t { Ready, Pending, Failed };

class TDataSetRoot2 : public TMMapFile2 {
 public:
  TDataSetRoot2() = default;
  ~TDataSetRoot2() override = default;

  virtual bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                    uint32_t bands, uint8_t mode) = 0;
  // Opens an existing file for what it describes (size, bands, cell type,
  // georeference, control points) without preparing its cells: a format may
  // leave them unreadable after it. Readers of cells open with omRead.
  virtual bool OpenRead(const std::string& fileName) = 0;
  virtual bool Crop(uint32_t firstRow, uint32_t lastRow, uint32_t firstColumn,
                    uint32_t lastColumn) = 0;
  virtual void SetFileName(const std::string& fileName) { FileName = fileName; }
  virtual int32_t GetBandCount() = 0;
  virtual int32_t GetRowCount() = 0;
  virtual int32_t GetColumnCount() = 0;
  virtual uint8_t GetCellType() = 0;
  bool IsMSBFirst() override = 0;
  virtual double GetRegistrationCellX() { return RegistrationCellX; }
  virtual void SetRegistrationCellX(double v) { RegistrationCellX = v; }
  virtual double GetRegistrationCellY() { return RegistrationCellY; }
  virtual void SetRegistrationCellY(double v) { RegistrationCellY = v; }
  virtual double GetRegistrationX() { return RegistrationX; }
  virtual void SetRegistrationX(double v) { RegistrationX = v; }
  virtual double GetRegistrationY() { return RegistrationY; }
  virtual void SetRegistrationY(double v) { RegistrationY = v; }
  // Signed: negative for columns that run west or rows that run north. A
  // turned georeference (a quarter turn kept over its ground) has cell
  // sizes of 0 beside its rotation terms.
  virtual double GetCellSizeX() { return CellSizeX == 0 && !HasRotation() ? 1.0 : CellSizeX; }
  virtual void SetCellSizeX(double v) { CellSizeX = v; }
  virtual double GetCellSizeY() { return CellSizeY == 0 && !HasRotation() ? 1.0 : CellSizeY; }
  virtual void SetCellSizeY(double v) { CellSizeY = v; }
  virtual double GetOriginX() {
    return GetRegistrationX() - GetCellSizeX() * GetRegistrationCellX();
  }
  virtual double GetOriginY() {
    return GetRegistrationY() + GetCellSizeY() * GetRegistrationCellY();
  }
  // World-file rotation terms (0 where a format has none), and the affine
  // model they make with the cell sizes and the registration corner.
  double GetColumnTermY() const { return ColumnTermY; }
  double GetRowTermX() const { return RowTermX; }
  TAffine Affine();
  bool HasRotation() const { return ColumnTermY != 0 || RowTermX != 0; }
  // Whether the georeference is other than north-up with columns that run
  // east and rows that run south: only an affine form states it.
  bool NeedsAffine() const {
    return HasRotation() || ReversedSteps || CellSizeX < 0 || CellSizeY < 0;
  }
  // False for a raster that the file places nowhere (a plain picture): its
  // corner and cell sizes are then defaults that no output repeats.
  virtual bool IsGeoreferenced() const { return Georeferenced; }
  // The value of cells that hold no data, where the file states one.
  virtual std::optional<double> GetNoData() const { return NoData; }
  // Given to a created output before its Open (TDataSet2::Open takes them),
  // so that a format that lays out its header then makes room for them.
  void SetExtras(const TGeoExtras& extras) {
    ColumnTermY = extras.ColumnTermY;
    RowTermX = extras.RowTermX;
    ReversedSteps = extras.ReversedSteps;
    SetNoData(extras.NoData);
    ColorTable = extras.Colors;
    Crs = extras.Crs;
    PlacingPoints = extras.ControlPoints;
  }
  // How a created output is to store its cells ("COMPRESS=DEFLATE"), in
  // the words of the format's CheckCreationOptions (DataSet.h); given
  // before its Open.
  void SetCreationOptions(std::vector<std::string> options) {
    CreationOptions = std::move(options);
  }
  // Kept by the formats that can state a no-data value; GetNoData tells.
  virtual void SetNoData(std::optional<double>) {}
  // The palette of a one-band input whose cells are its indices; empty for
  // any other raster.
  const TColorTable& GetColorTable() const { return ColorTable; }
  virtual uint8_t GetCoordinateType() { return 1; }
  virtual void SetCoordinateType(uint8_t) {}
  virtual void GetSpheroid(std::string& text) { text = Spheroid; }
  virtual void SetSpheroid(const std::string& text) { Spheroid = text; }
  virtual void GetDatum(std::string& text) { text = Datum; }
  virtual void SetDatum(const std::string& text) { Datum = text; }
  virtual void GetProjection(std::string& text) { text = Projection; }
  virtual void SetProjection(const std::string& text) { Projection = text; }
  // For an output, once after creation. False, with the failure recorded,
  // when the output cannot hold this georeference or a file that states it
  // (a world file) could not be written: the output is then not to be
  // completed.
  virtual bool SetGeoreference(const std::string& spheroid, const std::string& datum,
                               double cellSizeX, double cellSizeY, double registrationCellX,
                               double registrationCellY, double registrationX, double registrationY,
                               const std::string& projection) = 0;
  // An input's coordinate system, or the one an output is given with its
  // extras.
  const TCoordinateSystem& GetCoordinateSystem() const { return Crs; }
  // Whether a created file states its coordinate system; false when it has
  // one that this format cannot express (nothing is written in its place).
  virtual bool StatesCoordinateSystem() { return Crs.Empty(); }
  // What a created file moves of the georeference SetGeoreference gave it
  // (a corner rounded to the numbers the format holds), in words for the
  // user; empty when it keeps it as given.
  virtual std::string GeoreferenceChange() { return {}; }
  virtual void PixelToWorld(double column, double row, double& x, double& y);
  virtual void WorldToPixel(double x, double y, double& column, double& row);
  virtual TGCPList* GetControlPoints() { return ControlPoints.get(); }
  // Takes ownership of the list.
  virtual void SetControlPoints(TGCPList* list) {
    if (list != ControlPoints.get()) ControlPoints.reset(list);
  }

  // Whole rows in memory for the worker's block copy: the most rows one
  // block may hold (0: none, the dataset is reached cell by cell), and the
  // block itself, valid until the next cell or block access. Blocks of an
  // output are written through.
  virtual uint32_t BlockRows() { return 0; }
  virtual bool GetBlock(uint32_t, uint32_t, TCellBlock&) { return false; }
  // A hint from a reader that takes the rows once, top to bottom: the rows
  // before `first` are done with, those from `first` on come next (read
  // ahead as far as `ahead` bytes).
  virtual void ReadingRowsOnce(uint32_t /*first*/, uint64_t /*ahead*/) {}
  // True when the rows lie in a scratch file made for this job (a decoded
  // input): a reader that takes them once says so whatever their size.
  virtual bool RowsInScratch() { return false; }
  // An input whose rows are still being decoded while the job reads them:
  // waits at most `most` for the rows before `end`. GetBlock and the cell
  // reads wait for their rows anyway; this lets the job stay responsive
  // while it waits. Failed: the decoding failed, ErrorText says why.
  virtual TRowsState AwaitRows(uint32_t, std::chrono::milliseconds) { return TRowsState::Ready; }
  // A created output whose rows can be written straight from memory that
  // holds them in its own layout: RowLayout gives that layout (what GetBlock
  // would give, without data) and PutRows writes rows first .. first +
  // count - 1 from rows[k], RowStride bytes each. False from RowLayout: the
  // output takes no such rows.
  virtual bool RowLayout(TCellBlock&) { return false; }
  // Of a created output that takes its rows in blocks only (GetBlock, not
  // PutRows): the layout of those blocks, without data. False elsewhere.
  virtual bool BlockLayout(TCellBlock&) { return false; }
  virtual bool PutRows(uint32_t, uint32_t, const uint8_t* const*) { return false; }
  // Of such an output, bytes offset .. offset + length - 1 of rows first ..
  // first + count - 1, row k's from data + k * dataStride; handed to the disk
  // at once when `toDisk` (the last argument).
  virtual bool PutRowParts(uint32_t, uint32_t, uint64_t, uint64_t, const uint8_t*, uint64_t, bool) {
    return false;
  }
  // A created output that takes a whole input file of its own format placed
  // by a transform kind without its cells being decoded (where
  // PlacesWholeFile, DataSet.h, allows it): writes the file now, after which
  // the output takes no cells. False with ErrorText when that failed.
  virtual bool PlaceFile(const std::string&, int32_t) { return false; }

  // How a created output of a lossy format encodes its cells; others
  // ignore it.
  virtual void SetEncoding(const TEncoding&) {}
  // The stop a created output heeds while it encodes at its close (JPEG,
  // ECW) or places a file whole: none until one is set.
  void SetStop(const std::atomic<bool>* stop) { Stop = stop; }
  // Told the rows placed so far while PlaceFile writes, where the format
  // can tell; PlaceFile stops, failing, once it returns false.
  void SetPlaceProgress(std::function<bool(uint32_t)> progress) {
    PlaceProgress = std::move(progress);
  }

  // Lines on how a dataset holds what it was given (a grey band written as
  // colours, a grid grown to whole tiles), for the job to show; each is
  // handed out once.
  std::vector<std::string> TakeNotes() { return std::exchange(Notes, {}); }

  // Completes a created file (headers, encoding) and closes it. False, with
  // ErrorText set, when any step failed; the destructor calls it when the
  // owner did not.
  virtual bool Close() { return CloseMapping(); }

 protected:
  // Places the dataset where a world file says, its names unknown.
  void TakeWorldFile(const TWorldFile& world);
  // Places the dataset nowhere, under RAW names, before a file is read; a
  // created file keeps the extras it was given before its Open.
  void ResetGeoreference();
  // The start of every Open of a format that keeps control points: the name,
  // the mode, no error, and a fresh list, so that points of a previous file
  // never travel with this one.
  void BeginOpen(const std::string& fileName, uint8_t mode) {
    SetFileName(fileName);
    OpenMode = mode;
    ClearError();
    ControlPoints = std::make_unique<TGCPList>();
  }
  // Keeps what SetGeoreference is given, the corner moved to the outer
  // corner of cell (0, 0) (rows grow southwards), and marks the dataset
  // placed.
  void KeepGeoreference(const std::string& spheroid, const std::string& datum, double cellSizeX,
                        double cellSizeY, double registrationCellX, double registrationCellY,
                        double registrationX, double registrationY, const std::string& projection);
  // For an output whose world file is its georeference: false, with the
  // failure recorded, when it could not be written.
  bool SaveWorldFile(const std::string& name, const TWorldFile& world);

  std::unique_ptr<TGCPList> ControlPoints;
  std::vector<std::string> Notes;
  const std::atomic<bool>* Stop = nullptr;
  std::function<bool(uint32_t)> PlaceProgress;
  TCoordinateSystem Crs;
  double RegistrationCellX = 0;
  double RegistrationCellY = 0;
  double RegistrationX = 0;
  double RegistrationY = 0;
  double CellSizeX = 1.0;
  double CellSizeY = 1.0;
  double ColumnTermY = 0;
  double RowTermX = 0;
  bool ReversedSteps = false;
  bool Georeferenced = false;
  std::optional<double> NoData;
  TColorTable ColorTable;
  std::vector<TGCPoint> PlacingPoints;  // of a created output, from its extras
  std::vector<std::string> CreationOptions;
  std::string Projection = "RAW";
  std::string Datum = "RAW";
  std::string Spheroid = "RAW";
};

}  // namespace mirava

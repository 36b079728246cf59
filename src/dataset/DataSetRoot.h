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
#include "georef/WorldFile.h"
#include "raster/Georeference.h"
#include "raster/Placement.h"

namespace mirava {

// A palette: the red, green and blue of each cell value from 0 on, each
// 0..65535 as TIFF states them.
using TColorTable = std::vector<std::array<uint16_t, 3>>;

// The table's colours in 0..255, as GDAL reads a TIFF palette: a table
// whose entries all lie within 0..255 is taken as 8-bit already, any other
// is divided by 257. Indices past the table are black.
std::vector<std::array<uint8_t, 3>> EightBitColors(const TColorTable& table, size_t size);

// What an input's bands state of their colours, in the words of TIFF's
// photometric interpretation; a TIFF output keeps it.
enum class TColours : uint8_t { Unstated, WhiteIsZero, BlackIsZero, Rgb, Cmyk };

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
  virtual void SetFileName(const std::string& fileName) { FileName = fileName; }
  virtual int32_t GetBandCount() = 0;
  virtual int32_t GetRowCount() = 0;
  virtual int32_t GetColumnCount() = 0;
  virtual uint8_t GetCellType() = 0;
  bool IsMSBFirst() override = 0;
  // The georeference the file states, or the one a created output was
  // given. A cell size of 0 beside no rotation term reads as 1.
  virtual TGeoreference GetGeoreference() const;
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
  }
  // What an input's bands state of their colours; unstated by formats
  // whose bands are what their count makes them.
  virtual TColours StatedColours() { return TColours::Unstated; }
  // The palette of a one-band input whose cells are its indices; empty for
  // any other raster.
  const TColorTable& GetColorTable() const { return ColorTable; }
  // For an output, once after creation, with a placed georeference. False,
  // with the failure recorded, when the output cannot hold it or a file
  // that states it (a world file) could not be written: the output is then
  // not to be completed.
  virtual bool SetGeoreference(const TGeoreference& georeference) = 0;
  // Whether a created file states its coordinate system; false when it has
  // one that this format cannot express (nothing is written in its place).
  virtual bool StatesCoordinateSystem() { return Georef.Crs.Empty(); }
  // What a created file moves of the georeference SetGeoreference gave it
  // (a corner rounded to the numbers the format holds), in words for the
  // user; empty when it keeps it as given.
  virtual std::string GeoreferenceChange() { return {}; }
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
  // while it waits. Failed: the decoding failed, Error() says why.
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
  // without its cells being decoded (where PlacesWholeFile, DataSet.h,
  // allows it): writes the file now, after which the output takes no cells.
  // False with the failure recorded.
  virtual bool PlaceFile(const std::string&, TPlacement) { return false; }

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
  // the failure recorded, when any step failed; the destructor calls it when the
  // owner did not.
  virtual bool Close() { return CloseMapping(); }

 protected:
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
};

}  // namespace mirava

// The two roles a dataset plays for those who use it: the reader of an
// existing raster file and the writer of a created one. The job and the
// preview see a dataset through one of them; the facade (DataSet.h) opens
// and creates the format's dataset that plays it.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dataset/Encoding.h"
#include "georef/ControlPoints.h"
#include "raster/Error.h"
#include "raster/Georeference.h"
#include "raster/Placement.h"

namespace mirava {

// How a dataset opens its file: an existing one for reading (or updating),
// or a new one.
enum : uint8_t { omRead = 0, omCreate = 1, omReadWrite = 2 };

// A palette: the red, green and blue of each cell value from 0 on, each
// 0..65535 as TIFF states them.
using TColorTable = std::vector<std::array<uint16_t, 3>>;

// What an input's bands state of their colours, in the words of TIFF's
// photometric interpretation; a TIFF output keeps it.
enum class TColours : uint8_t { Unstated, WhiteIsZero, BlackIsZero, Rgb, Cmyk };

// Cells of a block of rows that lie in memory: cell (column c, row r of the
// block, band b) starts at Data + r * RowStride + b * BandStride
// + c * ColumnStride. Strides are in bytes and may be negative.
struct TCellBlock {
  uint8_t* Data = nullptr;
  int64_t RowStride = 0;
  int64_t BandStride = 0;
  int64_t ColumnStride = 0;
  uint8_t CellType = 0;
  bool MSBFirst = false;
};

// Whether rows an input is still decoding can be read yet.
enum class TRowsState : uint8_t { Ready, Pending, Failed };

class TRasterReader {
 public:
  virtual ~TRasterReader() = default;

  virtual int32_t GetColumnCount() = 0;
  virtual int32_t GetRowCount() = 0;
  virtual int32_t GetBandCount() = 0;
  virtual uint8_t GetCellType() = 0;
  // The georeference the file states. A cell size of 0 beside no rotation
  // term reads as 1.
  virtual TGeoreference GetGeoreference() const = 0;
  virtual TGCPList* GetControlPoints() = 0;
  // The palette of a one-band raster whose cells are its indices; empty for
  // any other.
  virtual const TColorTable& GetColorTable() const = 0;
  // What its bands state of their colours; unstated by formats whose bands
  // are what their count makes them.
  virtual TColours StatedColours() = 0;
  // The bits of its cells that hold values where the file states fewer
  // than the cells' width (a 12-bit JPEG 2000 in 16-bit cells); 0: all.
  virtual uint32_t SignificantBits() { return 0; }

  // Whole rows in memory: the most rows one block may hold (0: none, the
  // raster is read cell by cell), and the block itself, valid until the
  // next cell or block access.
  virtual uint32_t BlockRows() = 0;
  virtual bool GetBlock(uint32_t first, uint32_t count, TCellBlock& block) = 0;
  // A hint from a reader that takes the rows once, top to bottom: the rows
  // before `first` are done with, those from `first` on come next (read
  // ahead as far as `ahead` bytes).
  virtual void ReadingRowsOnce(uint32_t first, uint64_t ahead) = 0;
  // True when the rows lie in a scratch file made for this job (a decoded
  // input): a reader that takes them once says so whatever their size.
  virtual bool RowsInScratch() = 0;
  // Rows still being decoded while they are read: waits at most `most` for
  // the rows before `end`. GetBlock and the cell reads wait for their rows
  // anyway; this lets the reader stay responsive while it waits. Failed:
  // the decoding failed, Error() says why.
  virtual TRowsState AwaitRows(uint32_t end, std::chrono::milliseconds most) = 0;
  // A hint from a reader that samples about `columns` x `rows` cells spread
  // over the raster (a preview): a format that holds reduced images (JPEG
  // 2000's resolution levels) may answer the cell reads from one from now
  // on, its cells near rather than exact.
  virtual void SamplingOnly(uint32_t columns, uint32_t rows) = 0;

  // True with the cell's value. False without a failure recorded: the cell
  // holds no data (a format's no-data cell, or a place outside the grid),
  // and `value` is what such a cell reads as. False with a failure recorded:
  // the cell could not be read.
  virtual bool ReadCell(uint32_t column, uint32_t row, uint32_t band, float& value) = 0;
  // The same through a double, which holds the cells of 32-bit integer and
  // 64-bit float grids exactly.
  virtual bool ReadCellExact(uint32_t column, uint32_t row, uint32_t band, double& value) = 0;

  // The file the cells are read from (a decoded input's scratch file).
  virtual const std::string& CellFileName() const = 0;
  // Whether another process cut that file short while it was mapped.
  virtual bool FileCutShort() const = 0;
  // The last failure.
  virtual const TError& Error() const = 0;
  virtual bool Close() = 0;
};

class TRasterWriter {
 public:
  virtual ~TRasterWriter() = default;

  // The raster it was created for.
  virtual int32_t GetColumnCount() = 0;
  virtual int32_t GetRowCount() = 0;
  virtual int32_t GetBandCount() = 0;
  virtual uint8_t GetCellType() = 0;
  // Once after creation, with a placed georeference. False, with the
  // failure recorded, when the output cannot hold it or a file that states
  // it (a world file) could not be written: the output is then not to be
  // completed.
  virtual bool SetGeoreference(const TGeoreference& georeference) = 0;
  // The georeference given, as the output holds it.
  virtual TGeoreference GetGeoreference() const = 0;
  // Whether the file states its coordinate system; false when it has one
  // that this format cannot express (nothing is written in its place).
  virtual bool StatesCoordinateSystem() = 0;
  // What the file moves of the georeference it was given (a corner rounded
  // to the numbers the format holds), in words for the user; empty when it
  // keeps it as given.
  virtual std::string GeoreferenceChange() = 0;
  // The points the file states beside its cells, where it has room.
  virtual TGCPList* GetControlPoints() = 0;

  // How a lossy format encodes its cells; others ignore it.
  virtual void SetEncoding(const TEncoding& encoding) = 0;
  // The stop the output heeds while it encodes at its close (JPEG, ECW) or
  // places a file whole: none until one is set.
  virtual void SetStop(const std::atomic<bool>* stop) = 0;
  // Lines on how the output holds what it was given (a grey band written
  // as colours, a grid grown to whole tiles); each is handed out once.
  virtual std::vector<std::string> TakeNotes() = 0;

  // Blocks of rows, written through: the most rows one block may hold (0:
  // none, the output is written cell by cell) and the block.
  virtual uint32_t BlockRows() = 0;
  virtual bool GetBlock(uint32_t first, uint32_t count, TCellBlock& block) = 0;
  // Rows written straight from memory that holds them in the output's own
  // layout: RowLayout gives that layout (what GetBlock would give, without
  // data) and PutRows writes rows first .. first + count - 1 from rows[k],
  // RowStride bytes each. False from RowLayout: the output takes no such
  // rows.
  virtual bool RowLayout(TCellBlock& layout) = 0;
  // Of an output that takes its rows in blocks only (GetBlock, not
  // PutRows): the layout of those blocks, without data. False elsewhere.
  virtual bool BlockLayout(TCellBlock& layout) = 0;
  virtual bool PutRows(uint32_t first, uint32_t count, const uint8_t* const* rows) = 0;
  // Bytes offset .. offset + length - 1 of rows first .. first + count - 1,
  // row k's from data + k * dataStride; handed to the disk at once when
  // `toDisk`.
  virtual bool PutRowParts(uint32_t first, uint32_t count, uint64_t offset, uint64_t length,
                           const uint8_t* data, uint64_t dataStride, bool toDisk) = 0;
  virtual bool WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) = 0;
  // True when cells written one at a time must come row after row: an
  // output that encodes each row once the next one is written to.
  virtual bool WritesRowsInOrder() = 0;
  virtual bool WriteCellExact(uint32_t column, uint32_t row, uint32_t band, double value) = 0;

  // A whole input file of the output's format placed without its cells
  // being decoded (where PlacesWholeFile, DataSet.h, allows it): writes the
  // file now, after which the output takes no cells. False with the failure
  // recorded.
  virtual bool PlaceFile(const std::string& inputName, TPlacement placement) = 0;
  // Told the rows placed so far while PlaceFile writes, where the format
  // can tell; PlaceFile stops, failing, once it returns false.
  virtual void SetPlaceProgress(std::function<bool(uint32_t)> progress) = 0;

  // Whether another process cut the file short while it was written.
  virtual bool FileCutShort() const = 0;
  // The last failure.
  virtual const TError& Error() const = 0;
  // Completes the file (headers, encoding) and closes it. False, with the
  // failure recorded, when any step failed.
  virtual bool Close() = 0;
};

}  // namespace mirava

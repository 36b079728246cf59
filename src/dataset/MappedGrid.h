// Memory-mapped access to a file through windows (up to 256 MiB when
// created, up to 4 GiB when read on 64-bit systems) that start on 64 KiB
// boundaries, and a band-interleaved-by-line raster grid laid over the
// mapped bytes: parts a format holds, not bases it derives from.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dataset/BackgroundWriter.h"
#include "dataset/FailureRecord.h"
#include "dataset/RasterRoles.h"
#include "raster/CellType.h"
#include "raster/Error.h"
#include "text/FileMaker.h"

namespace mirava {

constexpr uint32_t kMaxWindowSize = 268435456;  // 256 MiB
// Files opened for reading get windows of up to 4 GiB where addresses are
// 64 bits wide: a quarter turn sweeps its input once per output window, and
// an input that stays mapped between sweeps is not faulted in again.
constexpr uint32_t kMaxReadWindowSize = sizeof(void*) == 8 ? 0xFFFF0000u : kMaxWindowSize;
constexpr uint64_t kWindowAlignment = 65536;
// The longest range of a created file BlockRange assembles in memory.
constexpr uint64_t kMaxStagedBytes = 16u << 20;

// A file seen through one mapped window at a time. Its failures are
// recorded in its owner's record (a dataset's), or in a record of its own.
class TMappedFile {
 public:
  TMappedFile() = default;
  explicit TMappedFile(TFailureRecord& owner) : Record(&owner) {}
  ~TMappedFile();
  TMappedFile(const TMappedFile&) = delete;
  TMappedFile& operator=(const TMappedFile&) = delete;

  // Opens (modes omRead, omReadWrite) or creates (omCreate, at `size` bytes
  // with the space reserved, through `files`) the file and maps its first
  // window.
  bool OpenMapping(const std::string& fileName, uint8_t openMode, uint64_t size, TFileMaker& files);
  // Bytes position .. position + bytes - 1 in the window, moved only when
  // they are not in it; none, with the failure recorded, when they are
  // outside the file or cannot be mapped.
  uint8_t* Reach(uint64_t position, uint32_t bytes) {
    Position = position;
    MinBytes = bytes;
    return MapWindow() ? DataPointer : nullptr;
  }
  // The same through a window mapped anew, whatever the window held.
  uint8_t* ReachAnew(uint64_t position, uint32_t bytes) {
    ForceRemap = true;
    return Reach(position, bytes);
  }
  // Bytes position .. position + length - 1 in one window; none (with the
  // failure recorded) when they are outside the file or longer than
  // UsableWindow. A walk backwards gets a window that ends with the range,
  // so that the ranges before it are in it too.
  uint8_t* MapRange(uint64_t position, uint64_t length);
  // A range of a created file to be written whole: ranges of up to
  // kMaxStagedBytes are assembled in memory and written with one pwrite
  // (by a second thread) when the next range is asked for or the file
  // closes, since new pages of a mapping would have to be zeroed first;
  // larger ones are mapped. The same range twice is the same memory.
  uint8_t* BlockRange(uint64_t position, uint64_t length);
  // Copies bytes position .. position + count - 1 of the file out of the
  // mapping, window by window; false when they are not all in the file
  // (nothing recorded) or could not be mapped. Moves the window.
  bool FetchBytes(uint64_t position, uint64_t count, uint8_t* target);
  // Writes `count` rows of `rowLength` bytes, row k from rows[k], from
  // `position` on with as few calls as possible: rows that already lie in
  // memory (another file's mapping) reach a created file without a copy.
  bool WriteRows(uint64_t position, const uint8_t* const* rows, uint32_t count, uint64_t rowLength);
  // Writes part of each of `count` rows that lie `rowStride` bytes apart
  // from `position` on: bytes offset .. offset + length - 1 of row k from
  // data + k * dataStride, one pwrite each. The columns of a quarter turn's
  // stripe reach the file so, without its rows being read back. `toDisk`:
  // they are handed to the disk at once (a file larger than memory), not
  // when the kernel sees fit.
  bool WriteRowParts(uint64_t position, uint64_t rowStride, uint32_t count, uint64_t offset,
                     uint64_t length, const uint8_t* data, uint64_t dataStride, bool toDisk);
  // A file read once from front to back: what lies before `position` is
  // not needed again and leaves the page cache, and what follows it is read
  // ahead in the background, `ahead` bytes at most, while the caller works
  // on what it has.
  void ReadingOnceAt(uint64_t position, uint64_t ahead);
  // The longest range MapRange can always map.
  uint64_t UsableWindow() const {
    return FileSize <= MaxWindowSize ? FileSize : MaxWindowSize - kWindowAlignment;
  }
  // Unmaps and closes; false with the failure recorded when a step failed.
  bool CloseMapping();

  bool IsOpen() const { return Fd >= 0; }
  uint64_t GetFileSize() const { return FileSize; }
  // Whether another process cut the file short under its mapping (what it
  // lost has read as zeros since), or it is shorter now than its mapping.
  bool FileCutShort() const { return Cut || FileShrunk(); }
  // Whether another process cut the file short under its mapping.
  bool FileCut() const { return Cut; }
  // Whether the file is shorter now than its mapping (cut, but perhaps not
  // yet touched where it was).
  bool FileShrunk() const;
  const TError& Error() const { return Record->Error(); }

 protected:
  // Makes Position .. Position + MinBytes addressable through DataPointer.
  bool MapWindow();
  bool RangeInFile(uint64_t position, uint64_t length);
  bool MapRangeWindow(uint64_t position, uint64_t length);
  // Writes the stage, on the background writer when `background`, so that
  // the next rows are assembled meanwhile; its failures surface at the
  // next flush or WritesDone.
  bool FlushStage(bool background);
  bool WritesDone();
  // The stage written and the background write finished: the file holds
  // everything handed to it.
  bool FlushWrites();
  bool Unmap();

  TFailureRecord OwnRecord;
  TFailureRecord* Record = &OwnRecord;
  uint8_t OpenMode = omRead;
  uint64_t ReadOnceDone = 0;  // ReadingOnceAt's range: dropped before, read ahead up to
  uint64_t ReadOnceAhead = 0;
  uint64_t PopulatedBegin = 0;  // file range of the view faulted in
  uint64_t PopulatedEnd = 0;
  std::vector<uint8_t> Stage;
  std::vector<uint8_t> Spare;  // the stage being written in the background
  std::unique_ptr<TBackgroundWriter> Writer;
  uint64_t StagePosition = 0;
  uint64_t StageLength = 0;

  std::atomic<bool> Cut{false};
  int Fd = -1;
  bool MappingOpen = false;
  uint32_t WindowSize = kMaxWindowSize;
  uint32_t MaxWindowSize = kMaxWindowSize;
  uint8_t* ViewBase = nullptr;
  uint64_t FileSize = 0;
  uint64_t WindowOffset = 0;
  uint32_t MinBytes = 8;
  int64_t FirstMappedRow = 0;
  int64_t EndMappedRow = -1;
  bool ForceRemap = false;
  uint64_t Position = 0;
  uint8_t* DataPointer = nullptr;
};

// A band-interleaved-by-line grid of cells laid over a mapped file.
class TMappedGrid : public TMappedFile {
 public:
  TMappedGrid() = default;
  explicit TMappedGrid(TFailureRecord& owner) : TMappedFile(owner) {}

  // Sets the grid and opens the mapping. An existing file shorter than the
  // grid is refused; a longer one is read.
  bool OpenRaster(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                  uint32_t bands, uint8_t openMode, bool msbFirst, TFileMaker& files);

  // Rows first .. first + count - 1 at once, through BlockRange; false when
  // they do not fit one window. BlockRows is the most that always fit.
  bool Block(uint32_t first, uint32_t count, TCellBlock& block);
  uint32_t BlockRows() const;
  // The rows' layout without their data; for a created grid, rows laid out
  // so can be written with PutRows.
  void Layout(TCellBlock& block) const;
  bool PutRows(uint32_t first, uint32_t count, const uint8_t* const* rows);
  bool PutRowParts(uint32_t first, uint32_t count, uint64_t offset, uint64_t length,
                   const uint8_t* data, uint64_t dataStride, bool toDisk);
  // ReadingOnceAt from row `first` on.
  void ReadingRowsOnce(uint32_t first, uint64_t ahead) { ReadingOnceAt(first * LineLength, ahead); }

  // False without a failure recorded for a place outside the grid.
  bool ReadCell(uint32_t column, uint32_t row, uint32_t band, double& value);
  bool WriteCell(uint32_t column, uint32_t row, uint32_t band, double value);

 private:
  bool SelectRow(uint32_t row);
  // Address of a cell of the row SelectRow made current.
  uint8_t* CellAddress(uint32_t column, uint32_t band) const {
    return DataPointer +
           static_cast<uint64_t>(GridWidth) * (static_cast<uint64_t>(band) * GridColumns + column);
  }

  uint32_t GridColumns = 0;
  uint32_t GridRows = 0;
  uint32_t GridBands = 0;
  uint64_t CellCount = 0;
  uint8_t GridCellType = 1;
  uint32_t GridWidth = 1;
  bool NativeOrder = true;
  uint64_t LineLength = 0;
  uint8_t* RowBase = nullptr;
};

// Whether a file mapped by this thread was cut short under its mapping
// since the last call. Touching the lost part of a mapping raises SIGBUS;
// the handler mapped zeros in its place instead, so that the thread reads
// on and learns of it here.
bool TakeMappedFileCut();

// Converts a stored cell to float and back; writes round to nearest, ties
// to even, and wrap out-of-range values.
float DecodeCell(const uint8_t* p, uint8_t cellType, bool swap);
void EncodeCell(uint8_t* p, uint8_t cellType, bool swap, float value);
// The same through a double, which holds every 32-bit integer exactly.
double DecodeCellExact(const uint8_t* p, uint8_t cellType, bool swap);
void EncodeCellExact(uint8_t* p, uint8_t cellType, bool swap, double value);

}  // namespace mirava

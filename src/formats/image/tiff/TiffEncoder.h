// The pixels of a compressed or tiled TIFF, encoded while the job writes:
// complete rows gather in blocks (a strip, or a row of tiles); a block
// whose rows are all in is encoded through libtiff by one of a worker per
// core, and its strips or tiles are appended to the file in the order the
// blocks were completed. Only a few blocks are in memory at once, whichever
// order the rows come in (top down, bottom up, a quarter turn's).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dataset/BinaryFile.h"
#include "formats/image/tiff/TiffOptions.h"
#include "raster/Error.h"

namespace mirava {

struct TTiffPixels {
  uint32_t Width = 0, Length = 0, Samples = 1;
  uint8_t CellType = 0;
  uint16_t Compression = tcNone, Predictor = tpNone;
  int Level = 0;  // TTiffOptions::Level
  bool WebpLossless = false;
  uint16_t Photometric = pmBlackIsZero;
  unsigned Threads = 0;  // 0: one a core, at most 8
  bool Tiled = false;
  // A tile's size, or the image's width and the rows of a strip.
  uint32_t ChunkWidth = 0, ChunkLength = 0;
};

// The strips or tiles for `options`; a failure of code Refused says why
// they cannot be (a block too large).
TError ChunkLayout(const TTiffOptions& options, uint8_t cellType, TTiffPixels& pixels);

class TTiffEncoder {
 public:
  // Encoded pixels go to `file` from `firstOffset` on.
  TTiffEncoder(TBinaryFile& file, uint64_t firstOffset, const TTiffPixels& pixels);
  ~TTiffEncoder();
  TTiffEncoder(const TTiffEncoder&) = delete;
  TTiffEncoder& operator=(const TTiffEncoder&) = delete;

  // Starts the workers, within the memory of a job limited to `memoryLimit`
  // (JobMemory); false with Error().
  bool Start(uint64_t memoryLimit);
  uint32_t ChunkCount() const { return Across * Blocks; }
  // Memory for rows first .. first + count - 1: the same as last time when
  // the same rows are asked for again, zeros otherwise. Rows handed out are
  // complete once other rows are asked for, and at Finish. Null with Error().
  uint8_t* Stage(uint32_t first, uint32_t count);
  // The row in the memory last handed out; null when it is not there.
  uint8_t* StagedRow(uint32_t row);
  // Encodes what is left (rows never given are zeros) and waits for the
  // workers; then Offsets and ByteCounts hold every strip or tile. False
  // with Error().
  bool Finish();
  // The first failure; the codec's or the file's.
  const TError& Error() const { return Failure; }

  std::vector<uint64_t> Offsets, ByteCounts;
  // Set before Start: each strip or tile goes to the file as soon as it is
  // encoded, whichever block comes first (a scratch file, read through
  // Offsets), and a worker holds one encoded, not a block's.
  bool AnyOrder = false;
  // Shown each block's rows (null: zeros) on the worker that encodes them,
  // before it does, while other workers may show it other blocks; a
  // failure fails the encoding with it.
  std::function<TError(uint32_t first, uint32_t rows, const uint8_t* data)> BlockDone;

 private:
  struct TBlock {
    std::vector<uint8_t> Data;
    std::vector<bool> Have;
    uint32_t Count = 0;
  };
  struct TTask {
    uint64_t Sequence = 0;
    uint32_t Block = 0;
    std::vector<uint8_t> Data;  // none: the block was never given, all zeros
  };

  bool Fail(const TError& error);
  // Writes an encoded strip or tile after the last, under Mutex; false with
  // WorkError.
  bool Append(uint32_t chunk, const std::vector<uint8_t>& bytes);
  bool Commit();
  bool PutRow(uint32_t row, const uint8_t* data);
  uint32_t RowsIn(uint32_t block) const;
  bool Submit(uint32_t block, std::vector<uint8_t> data);
  std::vector<uint8_t> SpareBlock();
  void Work();
  bool Failed();

  TBinaryFile& File;
  TTiffPixels Pixels;
  uint64_t RowBytes = 0, PixelBytes = 0, BlockBytes = 0, Budget = 0;
  uint32_t Across = 1, Blocks = 0;
  std::vector<uint8_t> StageData;
  uint32_t StageFirst = 0, StageCount = 0;
  std::map<uint32_t, TBlock> Partial;
  std::vector<bool> Submitted;
  TError Failure;

  // Shared with the workers, under Mutex.
  std::mutex Mutex;
  std::condition_variable Changed;
  std::deque<TTask> Queue;
  // Blocks' memory once encoded, for blocks to come: fresh memory for each
  // block would be faulted in page by page.
  std::vector<std::vector<uint8_t>> Spare;
  uint64_t NextSequence = 0, NextWrite = 0, InFlight = 0, NextOffset = 0;
  bool Closing = false, Abandoned = false;
  TError WorkError;
  std::vector<std::thread> Workers;
};

}  // namespace mirava

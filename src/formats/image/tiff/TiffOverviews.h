// The overviews of a cloud-optimised GeoTIFF, made in the pass that writes
// the image: each block of rows the image's encoder completes is reduced
// into the first overview, whose completed blocks are reduced into the
// second, and so on, as GDAL makes each level from the one above. Every
// level is encoded as its blocks complete, into a scratch file of its own
// that Close copies from. A level holds only its rows still waiting for
// rows of the level above, whatever order the blocks come in. The blocks
// are reduced by the workers of the level above's encoder, side by side.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dataset/BinaryFile.h"
#include "formats/image/tiff/TiffEncoder.h"
#include "formats/image/tiff/TiffOptions.h"
#include "raster/Error.h"

namespace mirava {

// The sizes of the overviews of a `width` x `length` image in tiles of
// `tile`: each half the one before (rounded up), until one fits a tile or
// there are `count` of them (-1: no limit).
std::vector<std::pair<uint32_t, uint32_t>> OverviewSizes(uint32_t width, uint32_t length,
                                                        uint32_t tile, int count);

class TTiffOverviews {
 public:
  // Overviews of the image `full` describes, computed by `resampling`
  // (not Auto), leaving `noData` cells out where it averages.
  TTiffOverviews(const TTiffPixels& full, int count, TResampling resampling,
                 std::optional<double> noData);
  ~TTiffOverviews();
  TTiffOverviews(const TTiffOverviews&) = delete;
  TTiffOverviews& operator=(const TTiffOverviews&) = delete;

  // Starts each level's encoder, writing to a scratch file in `directory`;
  // false with Error.
  bool Start(const std::string& directory, uint64_t memoryLimit);
  // Rows first .. first + rows - 1 of the image (null: zeros), each once;
  // from several threads at once.
  TError TakeRows(uint32_t first, uint32_t rows, const uint8_t* data);
  // Encodes what is left, from the largest level down, while `going`
  // says so before each level; false with Error, or when it stopped.
  bool Finish(const std::function<bool()>& going);

  size_t Count() const { return Levels.size(); }
  struct TLevel;
  TLevel& Level(size_t index) { return *Levels[index]; }

  TError Error;

 private:
  TError Reduce(size_t level, uint32_t first, uint32_t rows, const uint8_t* data);
  // Computes the level's row `row` from the rows of the level above that
  // it reads, `source` from its first on.
  void ComputeRow(TLevel& level, uint32_t row, const uint8_t* source, uint8_t* out) const;

  TTiffPixels Full;
  TResampling Resampling;
  std::optional<double> NoData;
  uint64_t PixelBytes = 0;
  std::vector<std::unique_ptr<TLevel>> Levels;
};

// What a source row or column gives to one of a level's: from `First` on,
// a weight for each (all 1 for nearest and mode).
struct TTaps {
  uint32_t First = 0;
  std::vector<double> Weights;
};

struct TTiffOverviews::TLevel {
  TTiffPixels Pixels;
  uint32_t SourceWidth = 0, SourceLength = 0;
  std::vector<TTaps> Columns, Rows;
  // Of each source row, the first and one past the last of the rows it
  // gives to.
  std::vector<std::pair<uint32_t, uint32_t>> RowsOfSource;
  // Rows waiting for source rows: those received, and how many.
  struct TPending {
    std::vector<uint8_t> Source;
    uint32_t Received = 0;
  };
  std::map<uint32_t, TPending> Pending;
  // Over Pending and the encoder's staging, which workers of the level
  // above share.
  std::mutex Lock;
  TBinaryFile File;
  std::unique_ptr<TTiffEncoder> Encoder;
};

}  // namespace mirava

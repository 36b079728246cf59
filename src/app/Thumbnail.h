// A small picture of a raster and what the window says about it, made
// without the toolkit: cells sampled through the dataset interface, the
// placement applied in memory, control points moved as the job moves them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "raster/Error.h"

namespace mirava {

class TDataSet2;

// The thumbnail's longest side in pixels; at most three bands are sampled,
// so a thumbnail reads at most 3 x 320 x 320 cells.
constexpr int32_t kThumbnailSide = 320;

struct TImage {
  int32_t Width = 0;
  int32_t Height = 0;
  std::vector<uint32_t> Pixels;  // 0xAARRGGBB, row by row; no data transparent
  uint32_t At(int32_t x, int32_t y) const {
    return Pixels[static_cast<size_t>(y) * static_cast<size_t>(Width) + static_cast<size_t>(x)];
  }
};

struct TPointFacts {
  std::string Name;
  double Column = 0;  // in cells from the outer corner of cell (0, 0)
  double Row = 0;
};

struct TInputFacts {
  int Format = 0;
  int32_t Columns = 0;
  int32_t Rows = 0;
  int32_t Bands = 0;
  uint8_t CellType = 0;
  double CellSizeX = 0;
  double CellSizeY = 0;
  bool ColorTable = false;  // one band of a palette's indices
  bool Georeferenced = false;
  double OriginX = 0;
  double OriginY = 0;
  std::string Projection, Datum, Spheroid;
  std::vector<TPointFacts> ControlPoints;
};

struct TThumbnail {
  TImage Image;  // in the input's own orientation
  TInputFacts Facts;
  uint64_t CellsRead = 0;
  bool Cancelled = false;
  std::string ErrorText;  // why there is no thumbnail; empty when there is
};

// Opens `fileName` and samples it; never throws. `cancel` is polled after
// every sampled row.
TThumbnail ReadThumbnail(const std::string& fileName, const std::atomic<bool>& cancel,
                         int32_t side = kThumbnailSide);
// The same on a dataset already open.
void SampleThumbnail(TDataSet2& set, TThumbnail& thumbnail, const std::atomic<bool>& cancel,
                     int32_t side = kThumbnailSide);

// The thumbnail as the placement `kind` lays the output out.
TImage PlaceImage(const TImage& image, int32_t kind);

struct TMarker {
  std::string Name;
  double X = 0;  // in pixels of the placed thumbnail, from its outer corner
  double Y = 0;
};

// Where the control points land under `kind`, scaled to a placed thumbnail
// of `width` x `height` pixels.
std::vector<TMarker> PlacedMarkers(const TInputFacts& facts, int32_t kind, int32_t width,
                                   int32_t height);

// "ER Mapper, 1200 x 900 x 3 bands, unsigned 8-bit" and the lines after it.
std::vector<std::string> DescribeInput(const TInputFacts& facts);
// The output's size under `kind` and the format its name's extension picks;
// for a placed input that `kind` moves, what its georeference keeps: the
// input's frame, or with `keepGround` every cell over its ground.
std::string DescribeOutput(const TInputFacts& facts, int32_t kind, const std::string& outputName,
                           bool keepGround = false);

// Why the format `outputName` picks cannot hold the input, in the words the
// job would end with: a TError of code Refused; no failure when it can.
TError OutputRefusal(const TInputFacts& facts, const std::string& outputName);

}  // namespace mirava

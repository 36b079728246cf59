// How a created TIFF stores its pixels, chosen with GDAL's creation options
// ("COMPRESS=DEFLATE", "TILED=YES", ...). Without any, a TIFF is one
// uncompressed strip, written in place through the mapping.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "raster/Error.h"

namespace mirava {

// TIFF Compression, Predictor and PhotometricInterpretation tag values this
// program writes.
enum : uint16_t {
  tcNone = 1,
  tcLzw = 5,
  tcJpeg = 7,
  tcDeflate = 8,
  tcPackBits = 32773,
  tcLzma = 34925,
  tcZstd = 50000,
  tcWebp = 50001
};
enum : uint16_t { tpNone = 1, tpHorizontal = 2, tpFloatingPoint = 3 };
enum : uint16_t {
  pmWhiteIsZero = 0,
  pmBlackIsZero = 1,
  pmRgb = 2,
  pmPalette = 3,
  pmCmyk = 5,
  pmYCbCr = 6
};

// BIGTIFF: whether the file is a BigTIFF. By default, and with IF_NEEDED
// or IF_SAFER, when its largest possible size passes 4 GiB.
enum class TBigTiff : uint8_t { IfSafer, Yes, No };

// How a cloud-optimised GeoTIFF's overviews are computed from the level
// above; Auto: nearest for a palette, average otherwise.
enum class TResampling : uint8_t { Auto, Nearest, Average, Bilinear, Mode };

struct TTiffOptions {
  uint16_t Compression = tcNone;
  uint16_t Predictor = 0;  // 0: the one that suits the cells
  // ZLEVEL, ZSTD_LEVEL, LZMA_PRESET + 1, JPEG_QUALITY or WEBP_LEVEL; 0:
  // the codec's default (GDAL's for JPEG and WebP, 75).
  int Level = 0;
  bool WebpLossless = false;
  TBigTiff BigTiff = TBigTiff::IfSafer;
  unsigned Threads = 0;     // NUM_THREADS; 0: one a core, at most 8
  uint16_t Photometric = 0;  // PHOTOMETRIC + 1; 0: the input's, or the cells'

  bool Tiled = false;
  uint32_t BlockXSize = 0;  // 0: the default (tiles of 256 x 256; strips of about 256 KiB)
  uint32_t BlockYSize = 0;
  // A cloud-optimised GeoTIFF (COG=YES, -of COG): tiles of BlockXSize
  // square, every IFD before the pixels, and overviews.
  bool Cog = false;
  int OverviewCount = -1;  // OVERVIEW_COUNT; -1: until the image fits one tile
  TResampling Resampling = TResampling::Auto;
  // Today's layout: one uncompressed strip, written through the mapping.
  bool Plain() const { return Compression == tcNone && !Tiled && BlockYSize == 0; }
};

// Reads "KEY=VALUE" creation options, keys and words in any case: COMPRESS
// (NONE, DEFLATE, LZW, ZSTD, LZMA, PACKBITS, JPEG, WEBP), PREDICTOR (1, 2,
// 3), TILED (YES, NO), BLOCKXSIZE and BLOCKYSIZE (tiles: multiples of 16),
// ZLEVEL (1 to 12), ZSTD_LEVEL (1 to 22), LZMA_PRESET (0 to 9),
// JPEG_QUALITY and WEBP_LEVEL (1 to 100), WEBP_LOSSLESS, BIGTIFF (YES, NO,
// IF_NEEDED, IF_SAFER), NUM_THREADS (N, ALL_CPUS), PHOTOMETRIC
// (MINISBLACK, MINISWHITE, RGB, CMYK, and YCBCR with JPEG); and GDAL's COG
// driver's COG (YES, NO), BLOCKSIZE (default 512), OVERVIEWS (AUTO,
// IGNORE_EXISTING, NONE), OVERVIEW_COUNT, RESAMPLING or OVERVIEW_RESAMPLING
// (NEAREST, AVERAGE, BILINEAR, MODE), a COG's default compression being
// LZW as GDAL's. No failure when they are all valid together, otherwise a
// TError of code Refused saying what is wrong, naming the option.
TError ParseTiffOptions(const std::vector<std::string>& options, TTiffOptions& parsed);

// The options that ParseTiffOptions reads as `options`, in GDAL's words.
std::vector<std::string> TiffOptionTexts(const TTiffOptions& options);

// The predictor written for cells of `cellType`: the one asked for, else
// floating-point for floats and horizontal for integers when compressed.
uint16_t PredictorFor(const TTiffOptions& options, uint8_t cellType);

// Why `bands` of such cells cannot be written with these options (a
// floating-point predictor for integers, JPEG of other cells than bytes,
// RGB of fewer than 3 bands), a TError of code Refused; no failure when they can.
TError TiffOptionsRefusal(const TTiffOptions& options, uint8_t cellType, uint32_t bands);

// The samples the photometric interpretation `photometric` gives colours
// to; the others are extra samples.
uint32_t ColourSamples(uint16_t photometric);

}  // namespace mirava

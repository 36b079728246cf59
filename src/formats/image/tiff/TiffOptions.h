// How a created TIFF stores its pixels, chosen with GDAL's creation options
// ("COMPRESS=DEFLATE", "TILED=YES", ...). Without any, a TIFF is one
// uncompressed strip, written in place through the mapping.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mirava {

// TIFF Compression and Predictor tag values this program writes.
enum : uint16_t { tcNone = 1, tcLzw = 5, tcDeflate = 8, tcZstd = 50000 };
enum : uint16_t { tpNone = 1, tpHorizontal = 2, tpFloatingPoint = 3 };

struct TTiffOptions {
  uint16_t Compression = tcNone;
  uint16_t Predictor = 0;  // 0: the one that suits the cells
  int Level = 0;           // ZLEVEL or ZSTD_LEVEL; 0: the codec's default
  bool Tiled = false;
  uint32_t BlockXSize = 0;  // 0: the default (tiles of 256 x 256; strips of about 256 KiB)
  uint32_t BlockYSize = 0;
  // Today's layout: one uncompressed strip, written through the mapping.
  bool Plain() const { return Compression == tcNone && !Tiled && BlockYSize == 0; }
};

// Reads "KEY=VALUE" creation options, keys and words in any case: COMPRESS
// (NONE, DEFLATE, LZW, ZSTD), PREDICTOR (1, 2, 3), TILED (YES, NO),
// BLOCKXSIZE and BLOCKYSIZE (tiles: multiples of 16), ZLEVEL (1 to 12),
// ZSTD_LEVEL (1 to 22). Empty when they are all valid together, otherwise
// what is wrong, naming the option.
std::string ParseTiffOptions(const std::vector<std::string>& options, TTiffOptions& parsed);

// The options that ParseTiffOptions reads as `options`, in GDAL's words.
std::vector<std::string> TiffOptionTexts(const TTiffOptions& options);

// The predictor written for cells of `cellType`: the one asked for, else
// floating-point for floats and horizontal for integers when compressed.
uint16_t PredictorFor(const TTiffOptions& options, uint8_t cellType);

// Why such cells cannot be written with these options (a floating-point
// predictor for integers); empty when they can.
std::string TiffOptionsRefusal(const TTiffOptions& options, uint8_t cellType);

}  // namespace mirava

#include "formats/image/tiff/TiffOptions.h"

#include <tiffio.h>

#include <algorithm>

#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// A whole number from `low` to `high`; false for anything else.
bool ParseCount(const std::string& text, uint32_t low, uint32_t high, uint32_t& value) {
  if (text.empty() || text.size() > 9 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  value = static_cast<uint32_t>(std::stoul(text));
  return value >= low && value <= high;
}

// GDAL's words for yes and no.
bool ParseYesNo(const std::string& word, bool& value) {
  if (word == "YES" || word == "TRUE" || word == "ON" || word == "1") {
    value = true;
    return true;
  }
  if (word == "NO" || word == "FALSE" || word == "OFF" || word == "0") {
    value = false;
    return true;
  }
  return false;
}

constexpr uint32_t kMostBlock = 65536;

}  // namespace

std::string ParseTiffOptions(const std::vector<std::string>& options, TTiffOptions& parsed) {
  parsed = {};
  bool predictorGiven = false, zlevel = false, zstdLevel = false, blockX = false;
  for (const std::string& option : options) {
    const size_t eq = option.find('=');
    if (eq == std::string::npos || eq == 0)
      return "creation option \"" + option + "\" is not KEY=VALUE";
    const std::string key = UpperCase(option.substr(0, eq));
    const std::string text = option.substr(eq + 1);
    const std::string word = UpperCase(text);
    const std::string bad = "creation option " + key + "=" + text + ": ";
    uint32_t n = 0;
    if (key == "COMPRESS") {
      if (word == "NONE") {
        parsed.Compression = tcNone;
      } else if (word == "DEFLATE") {
        parsed.Compression = tcDeflate;
      } else if (word == "LZW") {
        parsed.Compression = tcLzw;
      } else if (word == "ZSTD") {
        if (!TIFFIsCODECConfigured(COMPRESSION_ZSTD))
          return bad + "this libtiff was built without ZSTD";
        parsed.Compression = tcZstd;
      } else {
        return bad + "the compressions are NONE, DEFLATE, LZW and ZSTD";
      }
    } else if (key == "PREDICTOR") {
      if (!ParseCount(text, 1, 3, n))
        return bad + "the predictors are 1 (none), 2 (horizontal) and 3 (floating point)";
      parsed.Predictor = static_cast<uint16_t>(n);
      predictorGiven = true;
    } else if (key == "TILED") {
      if (!ParseYesNo(word, parsed.Tiled)) return bad + "YES or NO";
    } else if (key == "BLOCKXSIZE" || key == "BLOCKYSIZE") {
      if (!ParseCount(text, 1, kMostBlock, n))
        return bad + "a number of pixels from 1 to " + std::to_string(kMostBlock);
      (key == "BLOCKXSIZE" ? parsed.BlockXSize : parsed.BlockYSize) = n;
      blockX = blockX || key == "BLOCKXSIZE";
    } else if (key == "ZLEVEL") {
      if (!ParseCount(text, 1, 12, n)) return bad + "a level from 1 to 12";
      parsed.Level = static_cast<int>(n);
      zlevel = true;
    } else if (key == "ZSTD_LEVEL") {
      if (!ParseCount(text, 1, 22, n)) return bad + "a level from 1 to 22";
      parsed.Level = static_cast<int>(n);
      zstdLevel = true;
    } else {
      return "unknown creation option " + key +
             " (TIFF outputs take COMPRESS, PREDICTOR, TILED, BLOCKXSIZE, BLOCKYSIZE, ZLEVEL "
             "and ZSTD_LEVEL)";
    }
  }
  if (predictorGiven && parsed.Compression == tcNone)
    return "creation option PREDICTOR needs a compression (COMPRESS=DEFLATE, LZW or ZSTD)";
  if (zlevel && parsed.Compression != tcDeflate)
    return "creation option ZLEVEL needs COMPRESS=DEFLATE";
  if (zstdLevel && parsed.Compression != tcZstd)
    return "creation option ZSTD_LEVEL needs COMPRESS=ZSTD";
  if (zlevel && zstdLevel) return "creation options ZLEVEL and ZSTD_LEVEL exclude each other";
  if (blockX && !parsed.Tiled) return "creation option BLOCKXSIZE needs TILED=YES";
  if (parsed.Tiled)
    for (const uint32_t size : {parsed.BlockXSize, parsed.BlockYSize})
      if (size % 16 != 0)
        return "creation options BLOCKXSIZE and BLOCKYSIZE: tiles are a multiple of 16 pixels "
               "wide and high, not " +
               std::to_string(size);
  return {};
}

std::vector<std::string> TiffOptionTexts(const TTiffOptions& options) {
  std::vector<std::string> texts;
  const uint16_t c = options.Compression;
  if (c != tcNone)
    texts.push_back(std::string("COMPRESS=") + (c == tcDeflate ? "DEFLATE"
                                                : c == tcLzw   ? "LZW"
                                                               : "ZSTD"));
  if (c != tcNone && options.Predictor != 0)
    texts.push_back("PREDICTOR=" + std::to_string(options.Predictor));
  if (c != tcNone && options.Level > 0)
    texts.push_back((c == tcZstd ? "ZSTD_LEVEL=" : "ZLEVEL=") + std::to_string(options.Level));
  if (options.Tiled) texts.push_back("TILED=YES");
  if (options.Tiled && options.BlockXSize)
    texts.push_back("BLOCKXSIZE=" + std::to_string(options.BlockXSize));
  if (options.BlockYSize) texts.push_back("BLOCKYSIZE=" + std::to_string(options.BlockYSize));
  return texts;
}

uint16_t PredictorFor(const TTiffOptions& options, uint8_t cellType) {
  if (options.Compression == tcNone) return tpNone;
  if (options.Predictor != 0) return options.Predictor;
  return cellType == ctFloat32 || cellType == ctFloat64 ? tpFloatingPoint : tpHorizontal;
}

std::string TiffOptionsRefusal(const TTiffOptions& options, uint8_t cellType) {
  if (PredictorFor(options, cellType) == tpFloatingPoint && cellType != ctFloat32 &&
      cellType != ctFloat64)
    return "PREDICTOR=3 (floating point) needs float cells, not " + CellTypeWords(cellType);
  return {};
}

}  // namespace mirava

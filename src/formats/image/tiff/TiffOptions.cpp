#include "formats/image/tiff/TiffOptions.h"

#include <tiffio.h>

#include <algorithm>
#include <iterator>
#include <thread>

#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

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
constexpr uint32_t kCogBlock = 512;  // GDAL's COG driver's tiles

struct TResamplingWord {
  const char* Word;
  TResampling Method;
};
constexpr TResamplingWord kResamplings[] = {{"NEAREST", TResampling::Nearest},
                                            {"NEAR", TResampling::Nearest},
                                            {"AVERAGE", TResampling::Average},
                                            {"BILINEAR", TResampling::Bilinear},
                                            {"MODE", TResampling::Mode}};

struct TCodec {
  const char* Word;
  uint16_t Compression;
};
constexpr TCodec kCodecs[] = {{"NONE", tcNone},         {"DEFLATE", tcDeflate}, {"LZW", tcLzw},
                              {"ZSTD", tcZstd},         {"LZMA", tcLzma},       {"PACKBITS", tcPackBits},
                              {"JPEG", tcJpeg},         {"WEBP", tcWebp}};

// The compressions a predictor serves: the lossless dictionary coders.
bool TakesPredictor(uint16_t compression) {
  return compression == tcDeflate || compression == tcLzw || compression == tcZstd ||
         compression == tcLzma;
}

// A level key, the compression it sets the level of, and its range.
struct TLevelKey {
  const char* Key;
  uint16_t Compression;
  uint32_t Low, High;
};
constexpr TLevelKey kLevels[] = {{"ZLEVEL", tcDeflate, 1, 12},   {"ZSTD_LEVEL", tcZstd, 1, 22},
                                 {"LZMA_PRESET", tcLzma, 0, 9},  {"JPEG_QUALITY", tcJpeg, 1, 100},
                                 {"WEBP_LEVEL", tcWebp, 1, 100}};

}  // namespace

TError ParseTiffOptions(const std::vector<std::string>& options, TTiffOptions& parsed) {
  parsed = {};
  bool predictorGiven = false, blockX = false, lossless = false, compressGiven = false;
  std::string cogKey;   // the first option only a COG takes
  std::string tileKey;  // the first option a COG does not take
  uint32_t cogBlock = 0;
  const TLevelKey* levelGiven = nullptr;
  for (const std::string& option : options) {
    const size_t eq = option.find('=');
    if (eq == std::string::npos || eq == 0)
      return TError::Refused("creation option \"" + option + "\" is not KEY=VALUE");
    const std::string key = UpperCase(option.substr(0, eq));
    const std::string text = option.substr(eq + 1);
    const std::string word = UpperCase(text);
    auto bad = [&](const std::string& why) {
      return TError::Refused("creation option " + key + "=" + text + ": " + why);
    };
    uint32_t n = 0;
    const auto level = std::find_if(std::begin(kLevels), std::end(kLevels),
                                    [&](const TLevelKey& l) { return key == l.Key; });
    if (key == "COMPRESS") {
      const auto codec = std::find_if(std::begin(kCodecs), std::end(kCodecs),
                                      [&](const TCodec& c) { return word == c.Word; });
      if (codec == std::end(kCodecs))
        return bad("the compressions are NONE, DEFLATE, LZW, ZSTD, LZMA, PACKBITS, JPEG and WEBP");
      if (!TIFFIsCODECConfigured(codec->Compression))
        return bad(std::string("this libtiff was built without ") + codec->Word);
      parsed.Compression = codec->Compression;
      compressGiven = true;
    } else if (key == "COG") {
      if (!ParseYesNo(word, parsed.Cog)) return bad("YES or NO");
    } else if (key == "BLOCKSIZE") {
      if (!ParseCount(text, 16, kMostBlock, cogBlock) || cogBlock % 16 != 0)
        return bad("tiles are a multiple of 16 pixels wide and high, up to " +
                   std::to_string(kMostBlock));
      cogKey = cogKey.empty() ? key : cogKey;
    } else if (key == "OVERVIEWS") {
      if (word == "NONE")
        parsed.OverviewCount = 0;
      else if (word != "AUTO" && word != "IGNORE_EXISTING")
        return bad("AUTO, IGNORE_EXISTING or NONE (the overviews are always made anew)");
      cogKey = cogKey.empty() ? key : cogKey;
    } else if (key == "OVERVIEW_COUNT") {
      if (!ParseCount(text, 0, 30, n)) return bad("a number of overviews from 0 to 30");
      parsed.OverviewCount = static_cast<int>(n);
      cogKey = cogKey.empty() ? key : cogKey;
    } else if (key == "RESAMPLING" || key == "OVERVIEW_RESAMPLING") {
      const auto method = std::find_if(std::begin(kResamplings), std::end(kResamplings),
                                       [&](const TResamplingWord& r) { return word == r.Word; });
      if (method == std::end(kResamplings)) return bad("NEAREST, AVERAGE, BILINEAR or MODE");
      parsed.Resampling = method->Method;
      cogKey = cogKey.empty() ? key : cogKey;
    } else if (key == "PREDICTOR") {
      if (!ParseCount(text, 1, 3, n))
        return bad("the predictors are 1 (none), 2 (horizontal) and 3 (floating point)");
      parsed.Predictor = static_cast<uint16_t>(n);
      predictorGiven = true;
    } else if (key == "TILED") {
      if (!ParseYesNo(word, parsed.Tiled)) return bad("YES or NO");
      tileKey = tileKey.empty() ? key : tileKey;
    } else if (key == "BLOCKXSIZE" || key == "BLOCKYSIZE") {
      if (!ParseCount(text, 1, kMostBlock, n))
        return bad("a number of pixels from 1 to " + std::to_string(kMostBlock));
      (key == "BLOCKXSIZE" ? parsed.BlockXSize : parsed.BlockYSize) = n;
      blockX = blockX || key == "BLOCKXSIZE";
      tileKey = tileKey.empty() ? key : tileKey;
    } else if (level != std::end(kLevels)) {
      if (!ParseCount(text, level->Low, level->High, n))
        return bad("a level from " + std::to_string(level->Low) + " to " +
                   std::to_string(level->High));
      if (levelGiven && levelGiven != level)
        return TError::Refused(std::string("creation options ") + levelGiven->Key + " and " +
                               level->Key + " exclude each other");
      parsed.Level = static_cast<int>(n) + (level->Low == 0 ? 1 : 0);
      levelGiven = level;
    } else if (key == "WEBP_LOSSLESS") {
      if (!ParseYesNo(word, parsed.WebpLossless)) return bad("YES or NO");
      lossless = true;
    } else if (key == "BIGTIFF") {
      if (word == "YES")
        parsed.BigTiff = TBigTiff::Yes;
      else if (word == "NO")
        parsed.BigTiff = TBigTiff::No;
      else if (word == "IF_NEEDED" || word == "IF_SAFER")
        parsed.BigTiff = TBigTiff::IfSafer;
      else
        return bad("YES, NO, IF_NEEDED or IF_SAFER");
    } else if (key == "NUM_THREADS") {
      if (word == "ALL_CPUS")
        parsed.Threads = std::max(1u, std::thread::hardware_concurrency());
      else if (!ParseCount(text, 1, 1024, n))
        return bad("a number of threads from 1, or ALL_CPUS");
      else
        parsed.Threads = n;
    } else if (key == "PHOTOMETRIC") {
      if (word == "MINISBLACK")
        parsed.Photometric = pmBlackIsZero + 1;
      else if (word == "MINISWHITE")
        parsed.Photometric = pmWhiteIsZero + 1;
      else if (word == "RGB")
        parsed.Photometric = pmRgb + 1;
      else if (word == "CMYK")
        parsed.Photometric = pmCmyk + 1;
      else if (word == "PALETTE")
        return bad("a palette is written for an input that has one, not asked for");
      else if (word == "YCBCR")
        parsed.Photometric = pmYCbCr + 1;
      else if (word == "CIELAB" || word == "ICCLAB" || word == "ITULAB")
        return bad("Mirava writes the cells as they are and converts no colours but JPEG's "
                   "to YCbCr; it writes MINISBLACK, MINISWHITE, RGB, CMYK and YCBCR");
      else
        return bad("MINISBLACK, MINISWHITE, RGB, CMYK or YCBCR");
    } else {
      return TError::Refused(
          "unknown creation option " + key +
          " (TIFF outputs take COMPRESS, PREDICTOR, TILED, BLOCKXSIZE, BLOCKYSIZE, ZLEVEL, "
          "ZSTD_LEVEL, LZMA_PRESET, JPEG_QUALITY, WEBP_LEVEL, WEBP_LOSSLESS, BIGTIFF, "
          "NUM_THREADS and PHOTOMETRIC)");
      tileKey = tileKey.empty() ? key : tileKey;
    }
  }
  if (!parsed.Cog && !cogKey.empty())
    return TError::Refused("creation option " + cogKey + " needs COG=YES (-of COG)");
  if (parsed.Cog && !tileKey.empty())
    return TError::Refused("creation option " + tileKey +
                           ": a COG is tiled, in square tiles of BLOCKSIZE pixels (512 by "
                           "default)");
  if (parsed.Cog) {
    parsed.Tiled = true;
    parsed.BlockXSize = parsed.BlockYSize = cogBlock ? cogBlock : kCogBlock;
    if (!compressGiven) parsed.Compression = tcLzw;
  }
  if (predictorGiven && !TakesPredictor(parsed.Compression))
    return TError::Refused("creation option PREDICTOR needs COMPRESS=DEFLATE, LZW, ZSTD or LZMA");
  if (levelGiven && levelGiven->Compression != parsed.Compression)
    return TError::Refused(
        std::string("creation option ") + levelGiven->Key + " needs COMPRESS=" +
        std::find_if(std::begin(kCodecs), std::end(kCodecs), [&](const TCodec& c) {
          return c.Compression == levelGiven->Compression;
        })->Word);
  if (parsed.Photometric == pmYCbCr + 1 && parsed.Compression != tcJpeg)
    return TError::Refused(
        "creation option PHOTOMETRIC=YCBCR needs COMPRESS=JPEG, whose codec converts the "
        "colours");
  if (lossless && parsed.Compression != tcWebp)
    return TError::Refused("creation option WEBP_LOSSLESS needs COMPRESS=WEBP");
  if (lossless && parsed.WebpLossless && levelGiven)
    return TError::Refused("creation options WEBP_LEVEL and WEBP_LOSSLESS=YES exclude each other");
  if (blockX && !parsed.Tiled) return TError::Refused("creation option BLOCKXSIZE needs TILED=YES");
  if (parsed.Tiled)
    for (const uint32_t size : {parsed.BlockXSize, parsed.BlockYSize})
      if (size % 16 != 0)
        return TError::Refused(
            "creation options BLOCKXSIZE and BLOCKYSIZE: tiles are a multiple of 16 pixels "
            "wide and high, not " +
            std::to_string(size));
  return {};
}

std::vector<std::string> TiffOptionTexts(const TTiffOptions& options) {
  std::vector<std::string> texts;
  const uint16_t c = options.Compression;
  for (const TCodec& codec : kCodecs)
    if (c != tcNone && codec.Compression == c) texts.push_back(std::string("COMPRESS=") + codec.Word);
  if (TakesPredictor(c) && options.Predictor != 0)
    texts.push_back("PREDICTOR=" + std::to_string(options.Predictor));
  for (const TLevelKey& level : kLevels)
    if (options.Level > 0 && level.Compression == c)
      texts.push_back(std::string(level.Key) + "=" +
                      std::to_string(options.Level - (level.Low == 0 ? 1 : 0)));
  if (c == tcWebp && options.WebpLossless) texts.push_back("WEBP_LOSSLESS=YES");
  if (options.Cog) {
    // A COG without COMPRESS is LZW's.
    if (c == tcNone) texts.push_back("COMPRESS=NONE");
    texts.push_back("COG=YES");
    if (options.BlockXSize && options.BlockXSize != kCogBlock)
      texts.push_back("BLOCKSIZE=" + std::to_string(options.BlockXSize));
    if (options.OverviewCount == 0) texts.push_back("OVERVIEWS=NONE");
    if (options.OverviewCount > 0)
      texts.push_back("OVERVIEW_COUNT=" + std::to_string(options.OverviewCount));
    for (const TResamplingWord& r : kResamplings)
      if (options.Resampling == r.Method && r.Method != TResampling::Nearest)
        texts.push_back(std::string("RESAMPLING=") + r.Word);
    if (options.Resampling == TResampling::Nearest) texts.push_back("RESAMPLING=NEAREST");
    return texts;
  }
  if (options.Tiled) texts.push_back("TILED=YES");
  if (options.Tiled && options.BlockXSize)
    texts.push_back("BLOCKXSIZE=" + std::to_string(options.BlockXSize));
  if (options.BlockYSize) texts.push_back("BLOCKYSIZE=" + std::to_string(options.BlockYSize));
  return texts;
}

uint16_t PredictorFor(const TTiffOptions& options, uint8_t cellType) {
  if (!TakesPredictor(options.Compression)) return tpNone;
  if (options.Predictor != 0) return options.Predictor;
  return cellType == ctFloat32 || cellType == ctFloat64 ? tpFloatingPoint : tpHorizontal;
}

TError TiffOptionsRefusal(const TTiffOptions& options, uint8_t cellType, uint32_t bands) {
  if (PredictorFor(options, cellType) == tpFloatingPoint && cellType != ctFloat32 &&
      cellType != ctFloat64)
    return TError::Refused("PREDICTOR=3 (floating point) needs float cells, not " +
                           CellTypeWords(cellType));
  const uint16_t c = options.Compression;
  if ((c == tcJpeg || c == tcWebp) && cellType != ctUnsigned8)
    return TError::Refused(std::string("COMPRESS=") + (c == tcJpeg ? "JPEG" : "WEBP") +
                           " needs unsigned 8-bit cells, not " + CellTypeWords(cellType));
  // libjpeg's most components; WebP's pictures are RGB or RGBA.
  if (c == tcJpeg && bands > 4)
    return TError::Refused("COMPRESS=JPEG takes 1 to 4 bands, not " + std::to_string(bands));
  if (c == tcWebp && bands != 3 && bands != 4)
    return TError::Refused("COMPRESS=WEBP takes 3 or 4 bands, not " + std::to_string(bands));
  if (options.Photometric - 1 == pmYCbCr && bands != 3)
    return TError::Refused("PHOTOMETRIC=YCBCR takes 3 bands (RGB), not " + std::to_string(bands));
  if (options.Photometric != 0 && ColourSamples(options.Photometric - 1) > bands)
    return TError::Refused(
        "PHOTOMETRIC=" + std::string(options.Photometric - 1 == pmRgb ? "RGB" : "CMYK") +
        " needs " + std::to_string(ColourSamples(options.Photometric - 1)) +
        " bands or more, not " + std::to_string(bands));
  if (options.Photometric - 1 == pmCmyk && cellType != ctUnsigned8 && cellType != ctUnsigned16)
    return TError::Refused("PHOTOMETRIC=CMYK needs unsigned 8- or 16-bit cells, not " +
                           CellTypeWords(cellType));
  return {};
}

uint32_t ColourSamples(uint16_t photometric) {
  return photometric == pmRgb || photometric == pmYCbCr ? 3 : photometric == pmCmyk ? 4 : 1;
}

}  // namespace mirava

#include "formats/image/tiff/TiffChunkCopy.h"

#include <sys/stat.h>

#include <algorithm>

#include "formats/image/tiff/TiffHandle.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// More strips or tiles than this are not worth tables of their places: the
// pixels go the decoding way.
constexpr uint64_t kMostChunks = uint64_t{1} << 22;

}  // namespace

std::string ReadCopyableChunks(const std::string& fileName, TStoredChunks& stored) {
  std::string messages;
  TError error;
  const TTiffHandle handle = OpenTiff(fileName, messages, error);
  if (!handle) return error.Text;
  TIFF* tif = handle.get();
  tdir_t directory = 0;
  if (!FirstFullImage(tif, directory)) return messages.empty() ? "no image" : messages;
  // The mapped reader takes the first image whatever it is.
  if (directory != 0) return "the full-resolution image is not the file's first";
  uint32_t width = 0, length = 0, rowsPerStrip = 0;
  uint16_t bits = 1, samples = 1, format = SAMPLEFORMAT_UINT, compression = COMPRESSION_NONE;
  uint16_t planar = PLANARCONFIG_CONTIG, fill = FILLORDER_MSB2LSB, photometric = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &length);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fill);
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
    photometric = samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  TTiffPixels& p = stored.Pixels;
  p = TTiffPixels{};
  p.CellType = TiffCellType(bits, format);
  if (width == 0 || length == 0 || samples == 0) return "an empty image";
  if (p.CellType == ctUnknown || bits != 8 * CellTypeWidth(p.CellType))
    return std::to_string(bits) + "-bit samples, which are decoded to wider ones";
  if (compression != tcNone && compression != tcLzw && compression != tcDeflate &&
      compression != tcZstd)
    return "compression " + std::to_string(compression) + ", which is not written here";
  // White-is-zero samples are turned over, YCbCr turned into RGB.
  if (photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_RGB &&
      photometric != PHOTOMETRIC_PALETTE)
    return "photometric interpretation " + std::to_string(photometric);
  if (planar != PLANARCONFIG_CONTIG && samples > 1) return "bands stored one after the other";
  if (fill != FILLORDER_MSB2LSB) return "bits filled from the lowest";
  // The predictors and the codecs work on samples in the file's order.
  if (bits > 8 && TIFFIsBigEndian(tif)) return "big-endian samples";
  uint16_t predictor = tpNone;
  if (compression != tcNone) TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &predictor);
  p.Width = width;
  p.Length = length;
  p.Samples = samples;
  p.Compression = compression;
  p.Predictor = predictor;
  p.Tiled = TIFFIsTiled(tif);
  if (p.Tiled) {
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &p.ChunkWidth);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &p.ChunkLength);
    if (p.ChunkWidth == 0 || p.ChunkLength == 0) return "empty tiles";
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    p.ChunkWidth = width;
    p.ChunkLength = std::clamp<uint32_t>(rowsPerStrip, 1, length);
  }
  const uint64_t across = p.Tiled ? (width - 1) / p.ChunkWidth + 1 : 1;
  const uint64_t down = (length - 1) / p.ChunkLength + 1;
  const uint64_t count = across * down;
  if (count != (p.Tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif)))
    return "a table of strips or tiles of the wrong length";
  if (count > kMostChunks) return std::to_string(count) + " strips or tiles";
  struct stat info {};
  if (stat(fileName.c_str(), &info) != 0) return "not readable";
  const uint64_t fileSize = static_cast<uint64_t>(info.st_size);
  const uint64_t chunkRow = uint64_t{p.ChunkWidth} * samples * CellTypeWidth(p.CellType);
  stored.Offsets.resize(count);
  stored.ByteCounts.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    int failed = 0;
    const uint64_t offset = TIFFGetStrileOffsetWithErr(tif, i, &failed);
    const uint64_t bytes = TIFFGetStrileByteCountWithErr(tif, i, &failed);
    // Readers show an empty chunk as zeros, which no codec here writes so.
    if (failed || offset == 0 || bytes == 0) return "strips or tiles left out";
    if (offset > fileSize || bytes > fileSize - offset)
      return "a strip or tile past the end of the file";
    const uint64_t rows =
        p.Tiled ? p.ChunkLength
                : std::min<uint64_t>(p.ChunkLength, length - i * uint64_t{p.ChunkLength});
    if (compression == tcNone && bytes != rows * chunkRow)
      return "an uncompressed strip or tile of " + std::to_string(bytes) + " bytes";
    stored.Offsets[i] = offset;
    stored.ByteCounts[i] = bytes;
  }
  return {};
}

std::string ChunkDifference(const TTiffPixels& stored, const TTiffPixels& wanted) {
  if (stored.Width != wanted.Width || stored.Length != wanted.Length ||
      stored.Samples != wanted.Samples || stored.CellType != wanted.CellType)
    return "the output holds other cells";
  if (stored.Compression != wanted.Compression) return "another compression";
  if (stored.Predictor != wanted.Predictor) return "another predictor";
  if (stored.Tiled != wanted.Tiled || stored.ChunkWidth != wanted.ChunkWidth ||
      stored.ChunkLength != wanted.ChunkLength)
    return "other strips or tiles";
  return {};
}

}  // namespace mirava

#include "formats/image/tiff/TiffDecoder.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "dataset/ByteOrder.h"
#include "formats/image/tiff/TiffHandle.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// Strips and tiles decoded whole are at most this large; larger strips are
// read line by line.
constexpr uint64_t kChunkLimit = 64u << 20;
// Pixel bytes a header may promise per stored byte: Deflate tops out near
// 1,000, ZSTD and CCITT on blank pages reach some 10,000; more is a bomb.
constexpr uint64_t kMaxRatio = 100000;
constexpr uint64_t kSmallImage = 64u << 20;
constexpr tdir_t kMostDirectories = 1000;

// A handle whose errors land in `error` and whose warnings are dropped;
// nothing of libtiff's reaches the terminal.
TTiffHandle OpenTiff(const std::string& fileName, std::string& error) {
  const TTiffOpenOptions options = QuietTiffOptions(error);
  if (!options) {
    error = "out of memory";
    return nullptr;
  }
  TTiffHandle tif(TIFFOpenExt(fileName.c_str(), "r", options.get()));
  if (!tif && error.empty()) error = "not readable";
  return tif;
}

struct TLayout {
  uint32_t Width = 0, Length = 0, Bits = 1, Samples = 1, Format = SAMPLEFORMAT_UINT;
  uint16_t Photometric = PHOTOMETRIC_MINISBLACK, Planar = PLANARCONFIG_CONTIG;
  bool Tiled = false, Invert = false, JpegYCbCr = false;
  uint32_t TileWidth = 0, TileLength = 0, RowsPerStrip = 0;
  uint8_t CellType = ctUnknown;
  uint32_t CellBytes = 1;
  uint64_t PixelBytes() const { return uint64_t{Samples} * CellBytes; }
  uint64_t ImageBytes() const { return PixelBytes() * Width * Length; }
};

// The cell type GDAL reads samples of this size and format as.
uint8_t CellTypeOf(uint32_t bits, uint32_t format) {
  if (format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID) {
    if (bits >= 1 && bits <= 8) return ctUnsigned8;
    if (bits > 8 && bits <= 16) return ctUnsigned16;
    if (bits > 16 && bits <= 32) return ctUnsigned32;
  }
  if (format == SAMPLEFORMAT_INT) {
    if (bits == 8) return ctSigned8;
    if (bits == 16) return ctSigned16;
    if (bits == 32) return ctSigned32;
  }
  if (format == SAMPLEFORMAT_IEEEFP && bits == 32) return ctFloat32;
  if (format == SAMPLEFORMAT_IEEEFP && bits == 64) return ctFloat64;
  return ctUnknown;
}

std::string SampleWords(uint32_t bits, uint32_t format) {
  const char* kind = format == SAMPLEFORMAT_INT             ? "signed integer"
                     : format == SAMPLEFORMAT_IEEEFP        ? "floating-point"
                     : format == SAMPLEFORMAT_COMPLEXINT    ? "complex integer"
                     : format == SAMPLEFORMAT_COMPLEXIEEEFP ? "complex floating-point"
                                                            : "unsigned integer";
  return std::to_string(bits) + "-bit " + kind + " samples not supported";
}

// Moves to the first directory that is not a reduced-resolution copy
// (the first directory when all are).
bool FirstFullImage(TIFF* tif, tdir_t& directory) {
  for (tdir_t d = 0; d < kMostDirectories; ++d) {
    uint32_t subfile = 0;
    TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &subfile);
    if (!(subfile & FILETYPE_REDUCEDIMAGE)) {
      directory = d;
      return true;
    }
    if (!TIFFReadDirectory(tif)) break;
  }
  directory = 0;
  return TIFFSetDirectory(tif, 0) != 0;
}

bool Describe(TIFF* tif, TLayout& layout, std::string& error) {
  uint16_t bits = 1, samples = 1, format = SAMPLEFORMAT_UINT, compression = 1;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &layout.Width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &layout.Length);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &layout.Planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &layout.Photometric))
    layout.Photometric = samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  layout.Bits = bits;
  layout.Samples = samples;
  layout.Format = format;
  if (layout.Width == 0 || layout.Length == 0 || samples == 0) {
    error = "Image of " + std::to_string(layout.Width) + " x " + std::to_string(layout.Length) +
            " pixels";
    return false;
  }
  if (!TIFFIsCODECConfigured(compression)) {
    error = "Compression " + std::to_string(compression) + " not available";
    return false;
  }
  if (layout.Photometric == PHOTOMETRIC_YCBCR) {
    if (compression != COMPRESSION_JPEG) {
      error = "YCbCr samples without JPEG compression not supported";
      return false;
    }
    layout.JpegYCbCr = true;
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
  }
  layout.CellType = CellTypeOf(bits, format);
  if (layout.CellType == ctUnknown) {
    error = SampleWords(bits, format);
    return false;
  }
  layout.CellBytes = CellTypeWidth(layout.CellType);
  layout.Invert = layout.Photometric == PHOTOMETRIC_MINISWHITE &&
                  (format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID);
  layout.Tiled = TIFFIsTiled(tif);
  if (layout.Tiled) {
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &layout.TileWidth);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &layout.TileLength);
    if (layout.TileWidth == 0 || layout.TileLength == 0) {
      error = "Tile of " + std::to_string(layout.TileWidth) + " x " +
              std::to_string(layout.TileLength) + " pixels";
      return false;
    }
    if (static_cast<uint64_t>(TIFFTileSize64(tif)) > kChunkLimit) {
      error = "Tile of " + std::to_string(TIFFTileSize64(tif)) + " bytes";
      return false;
    }
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &layout.RowsPerStrip);
    layout.RowsPerStrip = std::clamp<uint32_t>(layout.RowsPerStrip, 1, layout.Length);
  }
  return true;
}

// Refuses headers that promise far more pixels than the stored bytes can
// hold, and strips or tiles that lie past the end of the file.
bool Plausible(TIFF* tif, const TLayout& layout, uint64_t fileSize, std::string& error) {
  const uint32_t chunks = layout.Tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  uint64_t stored = 0;
  for (uint32_t i = 0; i < chunks; ++i) {
    int failed = 0;
    const uint64_t offset = TIFFGetStrileOffsetWithErr(tif, i, &failed);
    const uint64_t bytes = TIFFGetStrileByteCountWithErr(tif, i, &failed);
    if (failed || offset > fileSize || bytes > fileSize - offset) {
      error = std::string(layout.Tiled ? "Tile " : "Strip ") + std::to_string(i) +
              " runs past the end of the file";
      return false;
    }
    stored += bytes;
  }
  const uint64_t promised =
      (uint64_t{layout.Width} * layout.Bits + 7) / 8 * layout.Length * layout.Samples;
  if (promised > kSmallImage && promised / kMaxRatio > stored) {
    error = "Header promises " + std::to_string(promised) + " bytes of pixels from " +
            std::to_string(stored) + " stored bytes";
    return false;
  }
  return true;
}

// Sample `i` of a row of packed samples, as an unsigned number.
uint64_t PackedSample(const uint8_t* row, uint64_t i, uint32_t bits) {
  uint64_t value = 0;
  uint64_t bit = i * bits;
  for (uint32_t k = 0; k < bits; ++k, ++bit)
    value = value << 1 | ((row[bit >> 3] >> (7 - (bit & 7))) & 1);
  return value;
}

// An unsigned sample of 1, 2 or 4 bytes in the host's order.
uint64_t LoadSample(const uint8_t* p, uint32_t width) {
  if (width == 1) return *p;
  return width == 2 ? Load<uint16_t>(p, false) : Load<uint32_t>(p, false);
}

void StoreSample(uint8_t* p, uint32_t width, uint64_t v) {
  if (width == 1)
    *p = static_cast<uint8_t>(v);
  else if (width == 2)
    Store<uint16_t>(p, static_cast<uint16_t>(v), false);
  else
    Store<uint32_t>(p, static_cast<uint32_t>(v), false);
}

// Copies a decoded piece into the image: `rows` x `columns` pixels from
// (row0, column0), holding all samples (plane < 0) or sample `plane` only.
void Place(const TLayout& layout, uint8_t* image, const uint8_t* source, uint64_t sourceRowBytes,
           uint32_t row0, uint32_t column0, uint32_t rows, uint32_t columns, int plane) {
  const uint32_t width = layout.CellBytes;
  const uint64_t perRow = uint64_t{columns} * (plane < 0 ? layout.Samples : 1);
  const uint64_t step = plane < 0 ? width : layout.PixelBytes();
  const bool packed = layout.Bits != 8 * width;
  const uint64_t top = layout.Bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << layout.Bits) - 1;
  for (uint32_t r = 0; r < rows; ++r) {
    const uint8_t* from = source + r * sourceRowBytes;
    uint8_t* to = image + ((uint64_t{row0} + r) * layout.Width + column0) * layout.PixelBytes() +
                  (plane < 0 ? 0 : uint64_t(plane) * width);
    if (!packed && !layout.Invert && plane < 0) {
      std::memcpy(to, from, perRow * width);
      continue;
    }
    for (uint64_t i = 0; i < perRow; ++i, to += step) {
      if (!packed && !layout.Invert) {
        std::memcpy(to, from + i * width, width);
        continue;
      }
      uint64_t v = 0;
      if (packed) {
        v = PackedSample(from, i, layout.Bits);
      } else {
        v = LoadSample(from + i * width, width);
      }
      if (layout.Invert) v = top - v;
      StoreSample(to, width, v);
    }
  }
}

// Decodes strips or tiles number `first`, `first` + `stride`, ... into the
// image; false with the reason in `error`.
bool DecodeChunks(TIFF* tif, const TLayout& layout, uint8_t* image, uint32_t first, uint32_t stride,
                  const std::atomic<bool>& stop, std::string& error) {
  const bool separate = layout.Planar == PLANARCONFIG_SEPARATE && layout.Samples > 1;
  const uint32_t chunks = layout.Tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  const uint64_t chunkBytes =
      static_cast<uint64_t>(layout.Tiled ? TIFFTileSize64(tif) : TIFFStripSize64(tif));
  const uint64_t rowBytes =
      static_cast<uint64_t>(layout.Tiled ? TIFFTileRowSize64(tif) : TIFFScanlineSize64(tif));
  std::vector<uint8_t> buffer(chunkBytes);
  const uint32_t across = layout.Tiled ? (layout.Width - 1) / layout.TileWidth + 1 : 1;
  const uint32_t down = layout.Tiled ? (layout.Length - 1) / layout.TileLength + 1
                                     : (layout.Length - 1) / layout.RowsPerStrip + 1;
  const uint32_t perPlane = across * down;
  for (uint32_t i = first; i < chunks && !stop; i += stride) {
    const int plane = separate ? static_cast<int>(i / perPlane) : -1;
    if (plane >= static_cast<int>(layout.Samples)) break;
    const uint32_t k = i % perPlane;
    const uint32_t height = layout.Tiled ? layout.TileLength : layout.RowsPerStrip;
    const uint32_t row0 = k / across * height;
    const uint32_t column0 = layout.Tiled ? k % across * layout.TileWidth : 0;
    const uint32_t rows = std::min(height, layout.Length - row0);
    const uint32_t columns =
        layout.Tiled ? std::min(layout.TileWidth, layout.Width - column0) : layout.Width;
    // Empty strips and tiles are sparse: their cells stay 0, as GDAL shows.
    if (TIFFGetStrileByteCount(tif, i) == 0) continue;
    const tmsize_t got = layout.Tiled ? TIFFReadEncodedTile(tif, i, buffer.data(), -1)
                                      : TIFFReadEncodedStrip(tif, i, buffer.data(), -1);
    if (got < 0 || (!layout.Tiled && static_cast<uint64_t>(got) < rows * rowBytes)) {
      if (error.empty())
        error = std::string(layout.Tiled ? "Tile " : "Strip ") + std::to_string(i) + " not decoded";
      return false;
    }
    Place(layout, image, buffer.data(), rowBytes, row0, column0, rows, columns, plane);
  }
  return true;
}

// Strips too large to be decoded whole, one line at a time.
bool DecodeLines(TIFF* tif, const TLayout& layout, uint8_t* image, std::string& error) {
  const bool separate = layout.Planar == PLANARCONFIG_SEPARATE && layout.Samples > 1;
  std::vector<uint8_t> line(static_cast<uint64_t>(TIFFScanlineSize64(tif)));
  for (uint32_t plane = 0; plane < (separate ? layout.Samples : 1); ++plane)
    for (uint32_t row = 0; row < layout.Length; ++row) {
      if (TIFFReadScanline(tif, line.data(), row, static_cast<uint16_t>(plane)) < 0) {
        if (error.empty()) error = "Line " + std::to_string(row) + " not decoded";
        return false;
      }
      Place(layout, image, line.data(), 0, row, 0, 1, layout.Width,
            separate ? static_cast<int>(plane) : -1);
    }
  return true;
}

// The scratch file, mapped whole while it is filled; removed unless kept.
class TScratch {
 public:
  ~TScratch() {
    if (Image) munmap(Image, Size);
    if (Fd >= 0) close(Fd);
    if (!Kept && !Name.empty()) unlink(Name.c_str());
  }
  bool Create(const std::string& folder, uint64_t size, std::string& error) {
    Name = (folder.empty() ? std::string(".") : folder) + "/mirava-tiff-XXXXXX";
    Fd = mkstemp(Name.data());
    if (Fd < 0) {
      error = "Scratch file in " + folder + " not created: " + std::strerror(errno);
      Name.clear();
      return false;
    }
    Size = size;
    if (ftruncate(Fd, static_cast<off_t>(size)) != 0) {
      error = "Scratch file of " + std::to_string(size) + " bytes: " + std::strerror(errno);
      return false;
    }
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, Fd, 0);
    if (view == MAP_FAILED) {
      error = "Scratch file not mapped: " + std::string(std::strerror(errno));
      return false;
    }
    Image = static_cast<uint8_t*>(view);
    return true;
  }
  std::string Name;
  uint8_t* Image = nullptr;
  bool Kept = false;

 private:
  int Fd = -1;
  uint64_t Size = 0;
};

}  // namespace

bool DecodeTiff(const std::string& fileName, const std::string& scratchFolder,
                TDecodedTiff& decoded, std::string& error) {
  error.clear();
  TTiffHandle tif = OpenTiff(fileName, error);
  if (!tif) return false;
  tdir_t directory = 0;
  TLayout layout;
  if (!FirstFullImage(tif.get(), directory) || !Describe(tif.get(), layout, error)) return false;
  struct stat info {};
  if (stat(fileName.c_str(), &info) != 0 ||
      !Plausible(tif.get(), layout, static_cast<uint64_t>(info.st_size), error))
    return false;
  if (layout.Photometric == PHOTOMETRIC_PALETTE) {
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (TIFFGetField(tif.get(), TIFFTAG_COLORMAP, &red, &green, &blue) && layout.Bits <= 16) {
      const size_t n = size_t{1} << layout.Bits;
      decoded.Colors.resize(n);
      for (size_t i = 0; i < n; ++i) decoded.Colors[i] = {red[i], green[i], blue[i]};
    }
  }
  TScratch scratch;
  if (!scratch.Create(scratchFolder, layout.ImageBytes(), error)) return false;

  const bool lines =
      !layout.Tiled && static_cast<uint64_t>(TIFFStripSize64(tif.get())) > kChunkLimit;
  const uint32_t chunks =
      layout.Tiled ? TIFFNumberOfTiles(tif.get()) : TIFFNumberOfStrips(tif.get());
  bool ok = true;
  if (lines) {
    ok = DecodeLines(tif.get(), layout, scratch.Image, error);
  } else if (chunks < 2) {
    const std::atomic<bool> never{false};
    ok = DecodeChunks(tif.get(), layout, scratch.Image, 0, 1, never, error);
  } else {
    // Two handles on the file decode alternate strips or tiles, one per core.
    std::atomic<bool> stop{false};
    std::string otherError;
    bool otherOk = false;
    std::thread other([&] {
      TTiffHandle second = OpenTiff(fileName, otherError);
      if (second && TIFFSetDirectory(second.get(), directory)) {
        if (layout.JpegYCbCr) TIFFSetField(second.get(), TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        otherOk = DecodeChunks(second.get(), layout, scratch.Image, 1, 2, stop, otherError);
      }
      if (!otherOk) stop = true;
    });
    ok = DecodeChunks(tif.get(), layout, scratch.Image, 0, 2, stop, error);
    if (!ok) stop = true;
    other.join();
    if (ok && !otherOk) {
      error = otherError.empty() ? "Second decoder failed" : otherError;
      ok = false;
    }
  }
  if (!ok) return false;
  decoded.ScratchName = scratch.Name;
  decoded.Width = layout.Width;
  decoded.Length = layout.Length;
  decoded.Samples = static_cast<uint16_t>(layout.Samples);
  decoded.CellType = layout.CellType;
  scratch.Kept = true;
  return true;
}

}  // namespace mirava

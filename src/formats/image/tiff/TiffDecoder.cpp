#include "formats/image/tiff/TiffDecoder.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "dataset/BackgroundWriter.h"
#include "dataset/ByteOrder.h"
#include "formats/image/tiff/TiffHandle.h"
#include "dataset/MappedGrid.h"
#include "dataset/MemoryBudget.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// Strips and tiles decoded whole are at most this large; larger strips are
// read line by line.
constexpr uint64_t kChunkLimit = 64u << 20;
// Blocks of rows assembled in memory are at most this large.
constexpr uint64_t kBlockLimit = 32u << 20;
// Pixel bytes a header may promise per stored byte: Deflate tops out near
// 1,000, ZSTD and CCITT on blank pages reach some 10,000; more is a bomb.
constexpr uint64_t kMaxRatio = 100000;
constexpr uint64_t kSmallImage = 64u << 20;

struct TLayout {
  uint32_t Width = 0, Length = 0, Bits = 1, Samples = 1, Format = SAMPLEFORMAT_UINT;
  uint16_t Photometric = PHOTOMETRIC_MINISBLACK, Planar = PLANARCONFIG_CONTIG;
  bool Tiled = false, JpegYCbCr = false;
  // Horizontal differences undone here rather than by libtiff.
  bool Differences = false;
  // The pixel of strips and tiles left out of the file; none: zeros.
  std::vector<uint8_t> Empty;
  uint32_t TileWidth = 0, TileLength = 0, RowsPerStrip = 0;
  uint8_t CellType = ctUnknown;
  uint32_t CellBytes = 1;
  uint64_t PixelBytes() const { return uint64_t{Samples} * CellBytes; }
  uint64_t ImageBytes() const { return PixelBytes() * Width * Length; }
};

std::string SampleWords(uint32_t bits, uint32_t format) {
  const char* kind = format == SAMPLEFORMAT_INT             ? "signed integer"
                     : format == SAMPLEFORMAT_IEEEFP        ? "floating-point"
                     : format == SAMPLEFORMAT_COMPLEXINT    ? "complex integer"
                     : format == SAMPLEFORMAT_COMPLEXIEEEFP ? "complex floating-point"
                                                            : "unsigned integer";
  return std::to_string(bits) + "-bit " + kind + " samples not supported";
}

// libtiff undoes horizontal differences of samples wider than a byte
// through memory, each sum waiting for the store of the last (a fifth of
// the time of decoding a 16-bit Deflate image; its bytes it adds in
// registers); with the predictor off, it hands them over as stored.
bool SkipPredictor(TIFF* tif) { return TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_NONE) != 0; }

template <typename T>
void AddUp(uint8_t* row, uint64_t pixels, uint32_t samples) {
  for (uint32_t c = 0; c < samples; ++c) {
    T sum;
    std::memcpy(&sum, row + c * sizeof(T), sizeof(T));
    for (uint64_t i = 1; i < pixels; ++i) {
      uint8_t* at = row + (i * samples + c) * sizeof(T);
      T step;
      std::memcpy(&step, at, sizeof(T));
      sum = static_cast<T>(sum + step);
      std::memcpy(at, &sum, sizeof(T));
    }
  }
}

// Turns `rows` rows of horizontal differences, `rowBytes` apart, of pixels
// of `samples` samples (1 in a plane of its own), back into samples in the
// host's order, as libtiff hands them.
void UndoDifferences(const TLayout& layout, uint32_t samples, uint8_t* data, uint64_t rows,
                     uint64_t rowBytes) {
  const uint64_t pixels = rowBytes / (uint64_t{samples} * layout.CellBytes);
  for (uint64_t r = 0; r < rows; ++r) {
    uint8_t* row = data + r * rowBytes;
    switch (layout.CellBytes) {
      case 2:
        AddUp<uint16_t>(row, pixels, samples);
        break;
      case 4:
        AddUp<uint32_t>(row, pixels, samples);
        break;
      default:
        AddUp<uint64_t>(row, pixels, samples);
    }
  }
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
  layout.CellType = TiffCellType(bits, format);
  if (layout.CellType == ctUnknown) {
    error = SampleWords(bits, format);
    return false;
  }
  layout.CellBytes = CellTypeWidth(layout.CellType);
  uint16_t predictor = PREDICTOR_NONE;
  if (compression != COMPRESSION_NONE && TIFFGetField(tif, TIFFTAG_PREDICTOR, &predictor) &&
      predictor == PREDICTOR_HORIZONTAL && bits == 8 * layout.CellBytes && layout.CellBytes > 1)
    layout.Differences = SkipPredictor(tif);
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
// hold, and strips or tiles that lie past the end of the file. The stored
// bytes are those the strips or tiles cover between them: strips that all
// point at one block decode it again and again, so a sum of their counts
// would pass a bomb.
bool Plausible(TIFF* tif, const TLayout& layout, uint64_t fileSize, std::string& error) {
  const uint32_t chunks = layout.Tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  ranges.reserve(chunks);
  for (uint32_t i = 0; i < chunks; ++i) {
    int failed = 0;
    const uint64_t offset = TIFFGetStrileOffsetWithErr(tif, i, &failed);
    const uint64_t bytes = TIFFGetStrileByteCountWithErr(tif, i, &failed);
    if (failed || offset > fileSize || bytes > fileSize - offset) {
      error = std::string(layout.Tiled ? "Tile " : "Strip ") + std::to_string(i) +
              " runs past the end of the file";
      return false;
    }
    if (bytes > 0) ranges.emplace_back(offset, offset + bytes);
  }
  std::sort(ranges.begin(), ranges.end());
  uint64_t stored = 0, reached = 0;
  for (const auto& [begin, end] : ranges) {
    if (end <= reached) continue;
    stored += end - std::max(begin, reached);
    reached = end;
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
  for (uint32_t r = 0; r < rows; ++r) {
    const uint8_t* from = source + r * sourceRowBytes;
    uint8_t* to = image + ((uint64_t{row0} + r) * layout.Width + column0) * layout.PixelBytes() +
                  (plane < 0 ? 0 : uint64_t(plane) * width);
    if (!packed && plane < 0) {
      std::memcpy(to, from, perRow * width);
      continue;
    }
    for (uint64_t i = 0; i < perRow; ++i, to += step) {
      if (!packed) {
        std::memcpy(to, from + i * width, width);
        continue;
      }
      StoreSample(to, width, PackedSample(from, i, layout.Bits));
    }
  }
}

// How strips or tiles lie in the image.
struct TChunks {
  uint32_t Count = 0, Across = 1, PerPlane = 0, Height = 0;
  bool Separate = false;
  TChunks(TIFF* tif, const TLayout& layout)
      : Count(layout.Tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif)),
        Across(layout.Tiled ? (layout.Width - 1) / layout.TileWidth + 1 : 1),
        Height(layout.Tiled ? layout.TileLength : layout.RowsPerStrip),
        Separate(layout.Planar == PLANARCONFIG_SEPARATE && layout.Samples > 1) {
    PerPlane = Across * ((layout.Length - 1) / Height + 1);
  }
  // The rows complete in every plane once the chunks before `i` are.
  uint32_t RowsBefore(const TLayout& layout, uint32_t i) const {
    if (i >= Count || (Separate && i / PerPlane >= layout.Samples)) return layout.Length;
    if (Separate && i / PerPlane + 1 < layout.Samples) return 0;
    return std::min(layout.Length, i % PerPlane / Across * Height);
  }
};

// Reports the rows a decoder has completed.
using TPublish = std::function<void(uint32_t)>;
// Waits until a chunk from this row on may be decoded; false once stopped.
using TAdmit = std::function<bool(uint32_t)>;

// An empty strip's or tile's part of the image, `rows` x `columns` pixels
// from (row0, column0), all samples (plane < 0) or sample `plane`, given
// the pixel layout.Empty.
void FillEmpty(const TLayout& layout, uint8_t* image, uint32_t row0, uint32_t column0,
               uint32_t rows, uint32_t columns, int plane) {
  const uint64_t width = plane < 0 ? layout.PixelBytes() : layout.CellBytes;
  const uint8_t* pixel = layout.Empty.data() + (plane < 0 ? 0 : plane * width);
  for (uint32_t r = 0; r < rows; ++r) {
    uint8_t* to = image + ((uint64_t{row0} + r) * layout.Width + column0) * layout.PixelBytes() +
                  (plane < 0 ? 0 : plane * width);
    for (uint32_t c = 0; c < columns; ++c) std::memcpy(to + c * layout.PixelBytes(), pixel, width);
  }
}

// `value` as cells of `cellType` hold it, as GDAL fills empty chunks with
// a no-data value: rounded and clamped to the integers' range.
double WithinCells(double value, uint8_t cellType) {
  if (cellType == ctFloat32 || cellType == ctFloat64) return value;
  if (std::isnan(value)) return 0;
  const double bits = 8.0 * CellTypeWidth(cellType);
  const bool isSigned = cellType == ctSigned8 || cellType == ctSigned16 || cellType == ctSigned32;
  const double lowest = isSigned ? -std::exp2(bits - 1) : 0;
  const double highest = isSigned ? std::exp2(bits - 1) - 1 : std::exp2(bits) - 1;
  return std::clamp(std::nearbyint(value), lowest, highest);
}

// Decodes strip or tile `i` through `buffer` into `image`, whose first
// row is row `firstRow` of the image; false with the reason in `error`.
// Empty strips and tiles are sparse: their cells are layout.Empty's, or
// left as they are.
bool DecodeChunk(TIFF* tif, const TLayout& layout, const TChunks& chunks, uint32_t i,
                 std::vector<uint8_t>& buffer, uint64_t rowBytes, uint8_t* image, uint32_t firstRow,
                 std::string& error) {
  const int plane = chunks.Separate ? static_cast<int>(i / chunks.PerPlane) : -1;
  const uint32_t k = i % chunks.PerPlane;
  const uint32_t row0 = k / chunks.Across * chunks.Height;
  const uint32_t column0 = layout.Tiled ? k % chunks.Across * layout.TileWidth : 0;
  const uint32_t rows = std::min(chunks.Height, layout.Length - row0);
  const uint32_t columns =
      layout.Tiled ? std::min(layout.TileWidth, layout.Width - column0) : layout.Width;
  if (TIFFGetStrileByteCount(tif, i) == 0) {
    if (!layout.Empty.empty())
      FillEmpty(layout, image, row0 - firstRow, column0, rows, columns, plane);
    return true;
  }
  const tmsize_t got = layout.Tiled ? TIFFReadEncodedTile(tif, i, buffer.data(), -1)
                                    : TIFFReadEncodedStrip(tif, i, buffer.data(), -1);
  if (got < 0 || (!layout.Tiled && static_cast<uint64_t>(got) < rows * rowBytes)) {
    if (error.empty())
      error = std::string(layout.Tiled ? "Tile " : "Strip ") + std::to_string(i) + " not decoded";
    return false;
  }
  if (layout.Differences)
    UndoDifferences(layout, chunks.Separate ? 1 : layout.Samples, buffer.data(),
                    layout.Tiled ? chunks.Height : rows, rowBytes);
  Place(layout, image, buffer.data(), rowBytes, row0 - firstRow, column0, rows, columns, plane);
  return true;
}

uint64_t ChunkBytes(TIFF* tif, const TLayout& layout) {
  return static_cast<uint64_t>(layout.Tiled ? TIFFTileSize64(tif) : TIFFStripSize64(tif));
}

uint64_t ChunkRowBytes(TIFF* tif, const TLayout& layout) {
  return static_cast<uint64_t>(layout.Tiled ? TIFFTileRowSize64(tif) : TIFFScanlineSize64(tif));
}

// Decodes strips or tiles number `first`, `first` + `stride`, ... into the
// image; false with the reason in `error`.
bool DecodeChunks(TIFF* tif, const TLayout& layout, uint8_t* image, uint32_t first, uint32_t stride,
                  const std::atomic<bool>& stop, const TAdmit& admit, const TPublish& publish,
                  std::string& error) {
  const TChunks chunks(tif, layout);
  const uint64_t rowBytes = ChunkRowBytes(tif, layout);
  std::vector<uint8_t> buffer(ChunkBytes(tif, layout));
  for (uint32_t i = first; i < chunks.Count && !stop; i += stride) {
    if (chunks.Separate && i / chunks.PerPlane >= layout.Samples) break;
    if (!chunks.Separate && !admit(i % chunks.PerPlane / chunks.Across * chunks.Height)) break;
    if (!DecodeChunk(tif, layout, chunks, i, buffer, rowBytes, image, 0, error)) return false;
    publish(chunks.RowsBefore(layout, i + stride));
  }
  return true;
}

// Decodes blocks of rows (a strip, or a row of tiles) number `first`,
// `first` + `stride`, ... of a pixel-interleaved image, each assembled in
// memory and written with pwrite: pages of the mapping written in place
// were first zeroed by the kernel, which with large folios cost as much as
// decoding 16-bit samples. False with the reason in `error`.
bool DecodeBlocks(TIFF* tif, const TLayout& layout, int fd, uint32_t first, uint32_t stride,
                  const std::atomic<bool>& stop, const TAdmit& admit, const TPublish& publish,
                  std::string& error) {
  const TChunks chunks(tif, layout);
  const uint64_t rowBytes = ChunkRowBytes(tif, layout);
  const uint64_t imageRow = layout.PixelBytes() * layout.Width;
  std::vector<uint8_t> buffer(ChunkBytes(tif, layout));
  std::vector<uint8_t> block(chunks.Height * imageRow);
  const uint32_t blocks = chunks.PerPlane / chunks.Across;
  // The blocks before this decoder's first are none of its own.
  publish(
      static_cast<uint32_t>(std::min<uint64_t>(layout.Length, uint64_t{first} * chunks.Height)));
  for (uint32_t b = first; b < blocks && !stop; b += stride) {
    const uint32_t row0 = b * chunks.Height;
    const uint32_t rows = std::min(chunks.Height, layout.Length - row0);
    if (!admit(row0)) break;
    const uint32_t i0 = b * chunks.Across;
    for (uint32_t i = i0; i < i0 + chunks.Across; ++i)
      if (TIFFGetStrileByteCount(tif, i) == 0) {
        std::fill(block.begin(), block.end(), 0);
        break;
      }
    for (uint32_t i = i0; i < i0 + chunks.Across; ++i)
      if (!DecodeChunk(tif, layout, chunks, i, buffer, rowBytes, block.data(), row0, error))
        return false;
    if (const int code = WriteAllAt(fd, block.data(), rows * imageRow, row0 * imageRow)) {
      if (error.empty()) error = "Scratch file not written: " + std::string(std::strerror(code));
      return false;
    }
    publish(static_cast<uint32_t>(
        std::min<uint64_t>(layout.Length, (uint64_t{b} + stride) * chunks.Height)));
  }
  return true;
}

// Strips too large to be decoded whole, one line at a time.
bool DecodeLines(TIFF* tif, const TLayout& layout, uint8_t* image, const std::atomic<bool>& stop,
                 const TAdmit& admit, const TPublish& publish, std::string& error) {
  const bool separate = layout.Planar == PLANARCONFIG_SEPARATE && layout.Samples > 1;
  const uint32_t planes = separate ? layout.Samples : 1;
  std::vector<uint8_t> line(static_cast<uint64_t>(TIFFScanlineSize64(tif)));
  for (uint32_t plane = 0; plane < planes; ++plane)
    for (uint32_t row = 0; row < layout.Length && !stop; ++row) {
      if (!separate && !admit(row)) break;
      if (TIFFReadScanline(tif, line.data(), row, static_cast<uint16_t>(plane)) < 0) {
        if (error.empty()) error = "Line " + std::to_string(row) + " not decoded";
        return false;
      }
      if (layout.Differences)
        UndoDifferences(layout, separate ? 1 : layout.Samples, line.data(), 1, line.size());
      Place(layout, image, line.data(), 0, row, 0, 1, layout.Width,
            separate ? static_cast<int>(plane) : -1);
      if (plane + 1 == planes) publish(row + 1);
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
  // `reserve`: the file is to be written through the mapping, where a page
  // the full disk has no room for would raise SIGBUS; its room is taken now.
  TError Create(const std::string& folder, uint64_t size, bool reserve) {
    Name = (folder.empty() ? std::string(".") : folder) + "/mirava-tiff-XXXXXX";
    Fd = mkstemp(Name.data());
    if (Fd < 0) {
      TError error = TError::System(errno, "Scratch file in " + folder + " not created");
      Name.clear();
      return error;
    }
    Size = size;
    if (ftruncate(Fd, static_cast<off_t>(size)) != 0)
      return TError::System(errno, "Scratch file of " + std::to_string(size) + " bytes");
    if (reserve && size > 0 && fallocate(Fd, 0, 0, static_cast<off_t>(size)) != 0 &&
        errno != EOPNOTSUPP)
      return TError::System(errno, "Scratch file of " + std::to_string(size) + " bytes in " + folder);
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, Fd, 0);
    if (view == MAP_FAILED) return TError::System(errno, "Scratch file not mapped");
    Image = static_cast<uint8_t*>(view);
    return {};
  }
  // Gives the whole pages before `end` back: what a reader is done with
  // need not go to the disk, and its memory serves the pages to come.
  void Drop(uint64_t end) {
    end &= ~uint64_t{kPage - 1};
    if (end <= Dropped) return;
    if (fallocate(Fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(Dropped),
                  static_cast<off_t>(end - Dropped)) == 0)
      Dropped = end;
  }
  int Descriptor() const { return Fd; }
  std::string Name;
  uint8_t* Image = nullptr;
  bool Kept = false;

 private:
  static constexpr uint64_t kPage = 4096;
  int Fd = -1;
  uint64_t Size = 0;
  uint64_t Dropped = 0;
};

// At most this many decoders, one per core.
constexpr unsigned kMostDecoders = 4;

}  // namespace

struct TTiffDecoding::TState {
  std::string FileName;
  std::optional<double> EmptyValue;
  tdir_t Directory = 0;
  TLayout Layout;
  TScratch Scratch;
  // Each decoder's handle reports into its own text, which outlives it and
  // which the decoder's own reason fills when libtiff gave none.
  std::vector<std::string> Errors;
  TTiffHandle First;

  std::atomic<bool> Stop{false};
  std::mutex Mutex;
  std::condition_variable Changed;
  // Under Mutex: the rows each decoder has completed, and the first
  // failure's reason.
  std::vector<uint32_t> Rows;
  // Under Mutex: the rows the reader gave up and the end of the rows it
  // waited for; the decoders keep AheadRows ahead of both.
  uint32_t Released = 0, Wanted = 0, AheadRows = 0;
  TError Error;
  std::vector<std::thread> Decoders;
  // Whole blocks of rows per decoder, written with pwrite.
  bool Blocks = false;

  uint32_t Done() const { return *std::min_element(Rows.begin(), Rows.end()); }

  void Publish(size_t decoder, uint32_t rows) {
    const std::lock_guard lock(Mutex);
    if (rows == Rows[decoder]) return;
    Rows[decoder] = rows;
    Changed.notify_all();
  }

  bool Admit(uint32_t row) {
    std::unique_lock lock(Mutex);
    Changed.wait(lock,
                 [&] { return Stop || row < uint64_t{std::max(Wanted, Released)} + AheadRows; });
    return !Stop;
  }

  void Finish(size_t decoder, bool ok) {
    const std::lock_guard lock(Mutex);
    if (ok && !Stop) {
      Rows[decoder] = Layout.Length;
    } else if (!ok && !Error.Failed()) {
      Error = TError::Format(Errors[decoder].empty() ? "Decoding failed" : Errors[decoder]);
    }
    if (!ok) Stop = true;
    Changed.notify_all();
  }

  // Decoder `index` of `count`: alternate strips or tiles, or all lines.
  void Decode(unsigned index, unsigned count, bool lines) {
    std::string& error = Errors[index];
    TTiffHandle own;
    TIFF* tif = First.get();
    if (index > 0) {
      TError opened;
      own = OpenTiff(FileName, error, opened);
      if (!own) error = opened.Text;
      if (own && TIFFSetDirectory(own.get(), Directory)) {
        if (Layout.JpegYCbCr) TIFFSetField(own.get(), TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        if (Layout.Differences && !SkipPredictor(own.get())) own.reset();
      }
      tif = own && TIFFCurrentDirectory(own.get()) == Directory ? own.get() : nullptr;
    }
    const TPublish publish = [this, index](uint32_t rows) { Publish(index, rows); };
    const TAdmit admit = [this](uint32_t row) { return Admit(row); };
    const bool ok =
        tif && (Blocks  ? DecodeBlocks(tif, Layout, Scratch.Descriptor(), index, count, Stop, admit,
                                       publish, error)
                : lines ? DecodeLines(tif, Layout, Scratch.Image, Stop, admit, publish, error)
                        : DecodeChunks(tif, Layout, Scratch.Image, index, count, Stop, admit,
                                       publish, error));
    Finish(index, ok);
  }
};

TTiffDecoding::TTiffDecoding() : State(std::make_unique<TState>()) {}

TTiffDecoding::~TTiffDecoding() {
  {
    const std::lock_guard lock(State->Mutex);
    State->Stop = true;
  }
  State->Changed.notify_all();
  for (std::thread& decoder : State->Decoders) decoder.join();
}

TError TTiffDecoding::Inspect(const std::string& fileName) {
  TState& s = *State;
  s.FileName = fileName;
  const uint32_t cores = std::clamp(std::thread::hardware_concurrency(), 1u, kMostDecoders);
  s.Errors.resize(cores);
  TError error;
  s.First = OpenTiff(fileName, s.Errors[0], error);
  if (!s.First) return error;
  TLayout& layout = s.Layout;
  std::string why;
  if (!FirstFullImage(s.First.get(), s.Directory))
    return TError::Format(s.Errors[0].empty() ? "not readable" : s.Errors[0]);
  if (!Describe(s.First.get(), layout, why)) return TError::Refused(why);
  struct stat info {};
  if (stat(fileName.c_str(), &info) != 0) return {TErrorCode::IO, errno, "not readable"};
  if (!Plausible(s.First.get(), layout, static_cast<uint64_t>(info.st_size), why))
    return TError::Format(why);
  if (layout.Photometric == PHOTOMETRIC_PALETTE) {
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (TIFFGetField(s.First.get(), TIFFTAG_COLORMAP, &red, &green, &blue) && layout.Bits <= 16) {
      const size_t n = size_t{1} << layout.Bits;
      Description.Colors.resize(n);
      for (size_t i = 0; i < n; ++i) Description.Colors[i] = {red[i], green[i], blue[i]};
    }
  } else if (layout.Bits == 1 && layout.Samples == 1) {
    // One-bit images come with the two colours GDAL gives them: 0 white and
    // 1 black where white is zero, the other way round otherwise.
    const bool whiteIsZero = layout.Photometric == PHOTOMETRIC_MINISWHITE;
    const std::array<uint16_t, 3> black{0, 0, 0}, white{65535, 65535, 65535};
    Description.Colors = {whiteIsZero ? white : black, whiteIsZero ? black : white};
  }
  Description.Width = layout.Width;
  Description.Length = layout.Length;
  Description.Samples = static_cast<uint16_t>(layout.Samples);
  Description.CellType = layout.CellType;
  return {};
}

TError TTiffDecoding::Start(const std::string& fileName, const std::string& scratchFolder,
                            uint64_t memoryLimit, uint64_t aheadBytes) {
  if (TError error = Inspect(fileName); error.Failed()) return error;
  TState& s = *State;
  TLayout& layout = s.Layout;
  if (s.EmptyValue) {
    layout.Empty.resize(layout.PixelBytes());
    for (uint32_t k = 0; k < layout.Samples; ++k)
      EncodeCellExact(layout.Empty.data() + k * layout.CellBytes, layout.CellType, false,
                      WithinCells(*s.EmptyValue, layout.CellType));
  }
  const uint32_t cores = static_cast<uint32_t>(s.Errors.size());
  // Each decoder holds a decoded strip or tile and libtiff's copy of its
  // stored bytes, and a block of rows where blocks are assembled: as many
  // decoders as fit the memory a job's stores may take; strips too large
  // for it are decoded line by line, tiles are refused.
  const uint64_t memory = JobMemory(memoryLimit);
  const uint64_t room = StoreMemory(memory);
  const uint64_t chunkBytes = ChunkBytes(s.First.get(), layout);
  const bool lines = !layout.Tiled && (chunkBytes > kChunkLimit || 2 * chunkBytes > room);
  if (layout.Tiled && 2 * chunkBytes > room) {
    return TError::Refused(MemoryRefusal("Decoding tiles of " + std::to_string(layout.TileWidth) +
                                             " x " + std::to_string(layout.TileLength) + " pixels",
                                         2 * chunkBytes, memory));
  }
  const TChunks chunks(s.First.get(), layout);
  const uint64_t blockBytes = uint64_t{chunks.Height} * layout.PixelBytes() * layout.Width;
  s.Blocks = !lines && !chunks.Separate && blockBytes <= kBlockLimit &&
             2 * chunkBytes + blockBytes <= room;
  const uint64_t perDecoder = 2 * chunkBytes + (s.Blocks ? blockBytes : 0);
  const unsigned count =
      lines ? 1u
            : static_cast<unsigned>(std::clamp<uint64_t>(
                  std::min<uint64_t>(s.Blocks ? chunks.PerPlane / chunks.Across : chunks.Count,
                                     room / std::max<uint64_t>(perDecoder, 1)),
                  1u, cores));
  aheadBytes = std::min(aheadBytes, room);
  if (TError error = s.Scratch.Create(scratchFolder, layout.ImageBytes(), !s.Blocks);
      error.Failed())
    return error;

  s.Rows.assign(count, 0);
  s.AheadRows = static_cast<uint32_t>(
      std::min<uint64_t>(std::max<uint64_t>(aheadBytes / (layout.PixelBytes() * layout.Width),
                                            2 * uint64_t{chunks.Height}),
                         layout.Length));
  try {
    for (unsigned i = 0; i < count; ++i)
      s.Decoders.emplace_back([&s, i, count, lines] { s.Decode(i, count, lines); });
  } catch (const std::system_error& failure) {
    s.Stop = true;
    for (std::thread& decoder : s.Decoders) decoder.join();
    s.Decoders.clear();
    return {TErrorCode::IO, failure.code().value(), "No thread to decode on"};
  }
  Description.ScratchName = s.Scratch.Name;
  s.Scratch.Kept = true;
  return {};
}

void TTiffDecoding::FillEmpty(double value) { State->EmptyValue = value; }

TRowsState TTiffDecoding::Await(uint32_t end, std::chrono::milliseconds most, TError& error) {
  TState& s = *State;
  std::unique_lock lock(s.Mutex);
  if (end > s.Wanted) {
    s.Wanted = end;
    s.Changed.notify_all();
  }
  s.Changed.wait_for(lock, most, [&] { return s.Error.Failed() || s.Done() >= end; });
  if (s.Done() >= end) return TRowsState::Ready;
  if (!s.Error.Failed()) return TRowsState::Pending;
  error = s.Error;
  return TRowsState::Failed;
}

void TTiffDecoding::Release(uint32_t end) {
  TState& s = *State;
  {
    const std::lock_guard lock(s.Mutex);
    if (end <= s.Released) return;
    s.Released = std::min(end, s.Done());
  }
  s.Changed.notify_all();
  s.Scratch.Drop(s.Released * s.Layout.PixelBytes() * s.Layout.Width);
}

TError TTiffDecoding::WaitFor(uint32_t end) {
  TError error;
  TRowsState state = TRowsState::Pending;
  while (state == TRowsState::Pending) state = Await(end, std::chrono::seconds(1), error);
  return error;
}

}  // namespace mirava

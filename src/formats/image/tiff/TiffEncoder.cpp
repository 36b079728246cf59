#include "formats/image/tiff/TiffEncoder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "formats/image/tiff/TiffHandle.h"
#include "formats/image/tiff/TiffTags.h"
#include "dataset/MemoryBudget.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// Readers decode a strip or tile whole: none is larger than this.
constexpr uint64_t kMostChunkBytes = 64u << 20;
// Strips of about this size where no height is asked for.
constexpr uint64_t kStripBytes = 256u << 10;
constexpr uint32_t kDefaultTile = 256;
// Blocks waiting for or in encoding, beyond which the job waits.
constexpr uint64_t kInFlightBytes = 64u << 20;
// Encoded blocks kept for the blocks to come.
constexpr size_t kSpareBlocks = 2;

// GDAL's JPEG_QUALITY and WEBP_LEVEL when none is asked for.
constexpr int kDefaultQuality = 75;

// Encodes one strip or tile at a time through a libtiff handle on memory,
// a one-strip image of the chunk's size: what libtiff writes while it
// encodes the strip is the strip's encoded bytes.
class TChunkCodec {
 public:
  // A strip of `rows` rows (the last of a file may have fewer), or a tile.
  bool Open(const TTiffPixels& p, uint32_t rows) {
    const TTiffOpenOptions options = QuietTiffOptions(Error);
    if (!options) return false;
    Tif.reset(TIFFClientOpenExt("chunk", "w", this, Read, Write, Seek, Close, Size, Map, Unmap,
                                options.get()));
    if (!Tif) return false;
    TIFF* t = Tif.get();
    const uint16_t bits = static_cast<uint16_t>(8 * CellTypeWidth(p.CellType));
    bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, p.ChunkWidth) &&
              TIFFSetField(t, TIFFTAG_IMAGELENGTH, rows) &&
              TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows) &&
              TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits) &&
              TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(p.Samples)) &&
              TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SampleFormatOf(p.CellType)) &&
              // A palette's indices need no colour map to be encoded.
              TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                           p.Photometric == pmPalette ? uint16_t{pmBlackIsZero} : p.Photometric) &&
              TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(t, TIFFTAG_COMPRESSION, p.Compression);
    if (ok && p.Predictor != tpNone) ok = TIFFSetField(t, TIFFTAG_PREDICTOR, p.Predictor);
    if (ok && p.Level > 0 && p.Compression == tcDeflate)
      ok = TIFFSetField(t, TIFFTAG_ZIPQUALITY, p.Level);
    if (ok && p.Level > 0 && p.Compression == tcZstd)
      ok = TIFFSetField(t, TIFFTAG_ZSTD_LEVEL, p.Level);
    if (ok && p.Level > 0 && p.Compression == tcLzma)
      ok = TIFFSetField(t, TIFFTAG_LZMAPRESET, p.Level - 1);
    // Every strip or tile a whole JPEG stream: the tables of the chunk's
    // own directory would not reach the file.
    if (ok && p.Compression == tcJpeg) {
      ok = TIFFSetField(t, TIFFTAG_JPEGTABLESMODE, 0) &&
           TIFFSetField(t, TIFFTAG_JPEGQUALITY, p.Level > 0 ? p.Level : kDefaultQuality);
      // RGB rows in, YCbCr of half the chroma columns and rows out.
      if (ok && p.Photometric == pmYCbCr)
        ok = TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    }
    if (ok && p.Compression == tcWebp) {
      ok = TIFFSetField(t, TIFFTAG_WEBP_LOSSLESS, p.WebpLossless ? 1 : 0) &&
           TIFFSetField(t, TIFFTAG_WEBP_LEVEL, p.Level > 0 ? p.Level : kDefaultQuality);
    }
    if (!ok && Error.empty()) Error = "encoder not set up";
    return ok;
  }

  // Encodes `bytes` bytes of whole rows into `encoded`.
  bool Encode(uint8_t* data, uint64_t bytes, std::vector<uint8_t>& encoded) {
    Sink.clear();
    if (TIFFWriteEncodedStrip(Tif.get(), 0, data, static_cast<tmsize_t>(bytes)) < 0) {
      if (Error.empty()) Error = "encoding failed";
      return false;
    }
    encoded.assign(Sink.begin(), Sink.end());
    return true;
  }

  std::string Error;

 private:
  static TChunkCodec& Self(thandle_t h) { return *static_cast<TChunkCodec*>(h); }
  // The strip is never read back: libtiff rewrites it in place or appends
  // it, and either way writes it in one sequence of writes.
  static tmsize_t Read(thandle_t, void*, tmsize_t) { return -1; }
  // Nothing may be thrown through libtiff: memory that runs out is a write
  // that failed.
  static tmsize_t Write(thandle_t h, void* data, tmsize_t size) {
    TChunkCodec& c = Self(h);
    const auto* p = static_cast<const uint8_t*>(data);
    try {
      c.Sink.insert(c.Sink.end(), p, p + size);
    } catch (const std::bad_alloc&) {
      return -1;
    }
    c.Position += static_cast<toff_t>(size);
    c.End = std::max(c.End, c.Position);
    return size;
  }
  static toff_t Seek(thandle_t h, toff_t offset, int whence) {
    TChunkCodec& c = Self(h);
    c.Position = whence == SEEK_SET   ? offset
                 : whence == SEEK_CUR ? c.Position + offset
                                      : c.End + offset;
    return c.Position;
  }
  static int Close(thandle_t) { return 0; }
  static toff_t Size(thandle_t h) { return Self(h).End; }
  static int Map(thandle_t, void**, toff_t*) { return 0; }
  static void Unmap(thandle_t, void*, toff_t) {}

  // Declared after the handle's state, so that the handle, whose closing
  // writes its directory, goes first.
  std::vector<uint8_t> Sink;
  toff_t Position = 0, End = 0;
  TTiffHandle Tif;
};

}  // namespace

TError ChunkLayout(const TTiffOptions& options, uint8_t cellType, TTiffPixels& pixels) {
  const uint64_t pixel = uint64_t{pixels.Samples} * CellTypeWidth(cellType);
  pixels.CellType = cellType;
  pixels.Compression = options.Compression;
  pixels.Predictor = PredictorFor(options, cellType);
  pixels.Level = options.Level;
  pixels.WebpLossless = options.WebpLossless;
  pixels.Threads = options.Threads;
  pixels.Tiled = options.Tiled;
  if (options.Tiled) {
    pixels.ChunkWidth = options.BlockXSize ? options.BlockXSize : kDefaultTile;
    pixels.ChunkLength = options.BlockYSize ? options.BlockYSize : kDefaultTile;
  } else {
    pixels.ChunkWidth = pixels.Width;
    const uint64_t rows = options.BlockYSize
                              ? options.BlockYSize
                              : std::max<uint64_t>(1, kStripBytes / (pixel * pixels.Width));
    pixels.ChunkLength = static_cast<uint32_t>(std::min<uint64_t>(rows, pixels.Length));
    // JPEG's strips are whole blocks of 8 rows (16 of YCbCr's halved
    // chroma), but for the last.
    const uint32_t block = options.Photometric - 1 == pmYCbCr ? 16 : 8;
    if (options.Compression == tcJpeg && pixels.ChunkLength < pixels.Length) {
      if (options.BlockYSize % block != 0)
        return TError::Refused("COMPRESS=JPEG: strips of whole blocks of " + std::to_string(block) +
                               " rows, not " + std::to_string(pixels.ChunkLength));
      pixels.ChunkLength = std::max(block, pixels.ChunkLength / block * block);
    }
  }
  const uint64_t bytes = uint64_t{pixels.ChunkWidth} * pixels.ChunkLength * pixel;
  if (bytes > kMostChunkBytes)
    return TError::Refused(std::string(options.Tiled ? "Tiles" : "Strips") + " of " +
                           std::to_string(pixels.ChunkWidth) + " x " +
                           std::to_string(pixels.ChunkLength) + " pixels would hold " +
                           std::to_string(bytes) + " bytes, more than " +
                           std::to_string(kMostChunkBytes >> 20) + " MiB");
  return {};
}

TTiffEncoder::TTiffEncoder(TBinaryFile& file, uint64_t firstOffset, const TTiffPixels& pixels)
    : File(file), Pixels(pixels), NextOffset(firstOffset) {
  PixelBytes = uint64_t{Pixels.Samples} * CellTypeWidth(Pixels.CellType);
  RowBytes = PixelBytes * Pixels.Width;
  BlockBytes = RowBytes * Pixels.ChunkLength;
  Across = Pixels.Tiled ? (Pixels.Width - 1) / Pixels.ChunkWidth + 1 : 1;
  Blocks = (Pixels.Length - 1) / Pixels.ChunkLength + 1;
  Submitted.assign(Blocks, false);
  Offsets.assign(ChunkCount(), 0);
  ByteCounts.assign(ChunkCount(), 0);
}

TTiffEncoder::~TTiffEncoder() {
  {
    const std::lock_guard<std::mutex> lock(Mutex);
    Closing = Abandoned = true;
  }
  Changed.notify_all();
  for (std::thread& worker : Workers)
    if (worker.joinable()) worker.join();
}

bool TTiffEncoder::Start(uint64_t memoryLimit) {
  const unsigned cores = Pixels.Threads ? Pixels.Threads
                                       : std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
  // Within the job's memory, beside the stripes a quarter turn holds: at
  // least one block is encoded at a time, whatever the memory. A block for
  // each worker, and one more while blocks wait for their turn in the file.
  const uint64_t blocks = AnyOrder ? cores : cores + 1;
  Budget = std::max(BlockBytes, std::min(std::max(kInFlightBytes, blocks * BlockBytes),
                                         StoreMemory(JobMemory(memoryLimit)) / 2));
  // A codec set up here first refuses what libtiff cannot encode at once.
  TChunkCodec probe;
  if (!probe.Open(Pixels, Pixels.ChunkLength))
    return Fail(TError::Codec("TIFF encoder: " + probe.Error));
  try {
    for (unsigned i = 0; i < cores; ++i) Workers.emplace_back([this] { Work(); });
  } catch (const std::system_error&) {
    if (Workers.empty()) return Fail(TError::Codec("TIFF encoder: no thread could be started"));
  }
  return true;
}

bool TTiffEncoder::Fail(const TError& error) {
  if (!Failure.Failed()) Failure = error;
  return false;
}

bool TTiffEncoder::Failed() {
  const std::lock_guard<std::mutex> lock(Mutex);
  if (WorkError.Failed()) Fail(WorkError);
  return Failure.Failed();
}

uint8_t* TTiffEncoder::Stage(uint32_t first, uint32_t count) {
  if (StageCount > 0 && first == StageFirst && count == StageCount) return StageData.data();
  if (!Commit() || Failed()) return nullptr;
  StageFirst = first;
  StageCount = count;
  StageData.assign(count * RowBytes, 0);
  return StageData.data();
}

uint8_t* TTiffEncoder::StagedRow(uint32_t row) {
  if (row < StageFirst || row - StageFirst >= StageCount) return nullptr;
  return StageData.data() + (row - StageFirst) * RowBytes;
}

bool TTiffEncoder::Commit() {
  for (uint32_t k = 0; k < StageCount; ++k)
    if (!PutRow(StageFirst + k, StageData.data() + k * RowBytes)) return false;
  StageCount = 0;
  return true;
}

uint32_t TTiffEncoder::RowsIn(uint32_t block) const {
  return std::min(Pixels.ChunkLength, Pixels.Length - block * Pixels.ChunkLength);
}

bool TTiffEncoder::PutRow(uint32_t row, const uint8_t* data) {
  const uint32_t block = row / Pixels.ChunkLength;
  const uint32_t line = row % Pixels.ChunkLength;
  if (row >= Pixels.Length)
    return Fail(TError::Internal("Row " + std::to_string(row) + " is outside the TIFF"));
  if (Submitted[block])
    return Fail(TError::Internal("Row " + std::to_string(row) +
                                 " of the TIFF came again after it was encoded"));
  TBlock& b = Partial[block];
  if (b.Data.empty()) {
    b.Data = SpareBlock();
    b.Data.assign(RowsIn(block) * RowBytes, 0);
    b.Have.assign(RowsIn(block), false);
  }
  std::memcpy(b.Data.data() + line * RowBytes, data, RowBytes);
  if (!b.Have[line]) {
    b.Have[line] = true;
    ++b.Count;
  }
  if (b.Count < RowsIn(block)) return true;
  std::vector<uint8_t> full = std::move(b.Data);
  Partial.erase(block);
  return Submit(block, std::move(full));
}

std::vector<uint8_t> TTiffEncoder::SpareBlock() {
  const std::lock_guard<std::mutex> lock(Mutex);
  if (Spare.empty()) return {};
  std::vector<uint8_t> data = std::move(Spare.back());
  Spare.pop_back();
  return data;
}

bool TTiffEncoder::Submit(uint32_t block, std::vector<uint8_t> data) {
  Submitted[block] = true;
  std::unique_lock<std::mutex> lock(Mutex);
  Changed.wait(lock, [&] {
    return WorkError.Failed() || InFlight == 0 || InFlight + data.size() <= Budget;
  });
  if (WorkError.Failed()) return Fail(WorkError);
  InFlight += data.size();
  Queue.push_back({NextSequence++, block, std::move(data)});
  lock.unlock();
  Changed.notify_all();
  return true;
}

// A worker that fails still takes its turn in the order of writing, so
// that the others do not wait for it; nothing it meets leaves the thread.
void TTiffEncoder::Work() {
  // The last strip, of fewer rows, has a codec of its own.
  TChunkCodec codec, lastCodec;
  const uint32_t lastRows = RowsIn(Blocks - 1);
  bool ready = false;
  std::vector<uint8_t> tile;
  std::vector<std::vector<uint8_t>> encoded(Across);
  std::map<uint32_t, std::vector<uint8_t>> zeroChunks;
  try {
    ready = codec.Open(Pixels, Pixels.ChunkLength) &&
            (Pixels.Tiled || lastRows == Pixels.ChunkLength || lastCodec.Open(Pixels, lastRows));
    if (!ready && codec.Error.empty()) codec.Error = lastCodec.Error;
    tile.resize(Pixels.Tiled ? uint64_t{Pixels.ChunkWidth} * Pixels.ChunkLength * PixelBytes : 0);
  } catch (const std::bad_alloc&) {
    ready = false;
    codec.Error = "out of memory";
  }
  for (;;) {
    TTask task;
    {
      std::unique_lock<std::mutex> lock(Mutex);
      Changed.wait(lock, [&] { return Abandoned || !Queue.empty() || Closing; });
      if (Abandoned || Queue.empty()) return;
      task = std::move(Queue.front());
      Queue.pop_front();
    }
    bool ok = ready;
    const uint32_t rows = RowsIn(task.Block);
    TChunkCodec& strip = Pixels.Tiled || rows == Pixels.ChunkLength ? codec : lastCodec;
    TError shown;
    try {
      // Before the encoding, which may difference a strip's rows in place.
      if (BlockDone)
        shown = BlockDone(task.Block * Pixels.ChunkLength, rows,
                          task.Data.empty() ? nullptr : task.Data.data());
      ok = ok && !shown.Failed();
      for (uint32_t k = 0; ok && k < Across; ++k) {
        std::vector<uint8_t>& bytes = encoded[AnyOrder ? 0 : k];
        if (task.Data.empty()) {
          // Blocks never given are encoded once: a padded tile, or a strip of
          // as many rows, is the same whichever it is.
          std::vector<uint8_t>& zeros = zeroChunks[Pixels.Tiled ? 0 : rows];
          if (zeros.empty()) {
            std::vector<uint8_t> plain(Pixels.Tiled ? tile.size() : rows * RowBytes);
            ok = strip.Encode(plain.data(), plain.size(), zeros);
          }
          bytes = zeros;
        } else if (!Pixels.Tiled) {
          ok = strip.Encode(task.Data.data(), task.Data.size(), bytes);
        } else {
          // Tiles past the image's edge are padded with zeros.
          const uint64_t column0 = uint64_t{k} * Pixels.ChunkWidth;
          const uint64_t width = std::min<uint64_t>(Pixels.ChunkWidth, Pixels.Width - column0);
          const uint64_t tileRow = Pixels.ChunkWidth * PixelBytes;
          if (width < Pixels.ChunkWidth || rows < Pixels.ChunkLength)
            std::fill(tile.begin(), tile.end(), 0);
          for (uint32_t r = 0; r < rows; ++r)
            std::memcpy(tile.data() + r * tileRow,
                        task.Data.data() + r * RowBytes + column0 * PixelBytes,
                        width * PixelBytes);
          ok = codec.Encode(tile.data(), tile.size(), bytes);
        }
        if (ok && AnyOrder) {
          const std::lock_guard<std::mutex> lock(Mutex);
          ok = Append(task.Block * Across + k, bytes);
        }
      }
    } catch (const std::bad_alloc&) {
      ok = false;
      codec.Error = "out of memory";
    }
    std::unique_lock<std::mutex> lock(Mutex);
    if (!AnyOrder)
      Changed.wait(lock, [&] { return Abandoned || NextWrite == task.Sequence; });
    if (shown.Failed() && !WorkError.Failed()) WorkError = shown;
    if (!ok && !WorkError.Failed())
      WorkError =
          TError::Codec("TIFF encoder: " + (codec.Error.empty() ? strip.Error : codec.Error));
    for (uint32_t k = 0; !AnyOrder && !WorkError.Failed() && k < Across; ++k)
      Append(task.Block * Across + k, encoded[k]);
    ++NextWrite;
    InFlight -= task.Data.size();
    if (task.Data.capacity() >= BlockBytes && Spare.size() < kSpareBlocks)
      Spare.push_back(std::move(task.Data));
    lock.unlock();
    Changed.notify_all();
  }
}

bool TTiffEncoder::Append(uint32_t chunk, const std::vector<uint8_t>& bytes) {
  if (WorkError.Failed()) return false;
  if (!File.WriteAt(NextOffset, bytes.data(), bytes.size())) {
    WorkError = {TErrorCode::IO, File.ErrorCode(), "Writing the TIFF: " + File.ErrorText()};
    return false;
  }
  Offsets[chunk] = NextOffset;
  ByteCounts[chunk] = bytes.size();
  NextOffset += bytes.size();
  return true;
}

bool TTiffEncoder::Finish() {
  bool ok = Commit();
  for (uint32_t block = 0; ok && block < Blocks; ++block) {
    if (Submitted[block]) continue;
    auto partial = Partial.find(block);
    ok = Submit(
        block, partial != Partial.end() ? std::move(partial->second.Data) : std::vector<uint8_t>());
  }
  Partial.clear();
  {
    const std::lock_guard<std::mutex> lock(Mutex);
    Closing = true;
    if (!ok) Abandoned = true;
  }
  Changed.notify_all();
  for (std::thread& worker : Workers) worker.join();
  Workers.clear();
  if (WorkError.Failed()) Fail(WorkError);
  return !Failure.Failed();
}

}  // namespace mirava

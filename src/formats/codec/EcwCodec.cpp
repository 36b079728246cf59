#include "formats/codec/EcwCodec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "dataset/ByteOrder.h"
#include "text/TextUtils.h"

namespace mirava::ncs {

namespace {

// ---- Last error of this thread ----

struct TLastError {
  NCSError Code = NCS_SUCCESS;
  std::string Detail;
};
thread_local TLastError LastError;

NCSError SetError(NCSError code, const std::string& detail) {
  LastError.Code = code;
  LastError.Detail = detail;
  return code;
}

NCSError Succeed() {
  LastError = TLastError();
  return NCS_SUCCESS;
}

NCSError FileError(int systemError, const std::string& fileName) {
  const NCSError code =
      systemError == EACCES || systemError == EPERM ? NCS_FILE_NO_PERMISSIONS : NCS_FILE_OPEN_ERROR;
  return SetError(code, fileName + ": " + SystemErrorText(systemError));
}

// ---- File layout ----
//
//   0  8  signature (kLayerSignature)
//   8  4  layout version (1)
//  12  4  width          16  4  height
//  20  2  bands          22  2  compression format
//  24  4  hint           28  4  block width      32  4  block height
//  36  4  cell size units
//  40  4  target compression ratio (IEEE single)
//  44  4  zero
//  48  8  cell increment X     56  8  cell increment Y
//  64  8  origin X             72  8  origin Y     (IEEE doubles)
//  80  8  length of the compressed data that follows
//  88 32  datum name, NUL-padded         (layout 2 on)
// 120 32  projection name, NUL-padded    (layout 2 on)
// 152     zlib stream of the lines' prediction residuals (88 in layout 1)
//
// Layout 2 also keeps the EPSG code of the coordinate system at 44 (0: none).
//
// All numbers little-endian. Each line holds every band's row in turn;
// for an RGB image the bands are first turned into R-G, G, B-G (modulo
// 256), and every sample is replaced by its difference (modulo 256) from the
// median edge predictor over its left, upper and upper-left neighbours.
// Both steps are exactly reversible.

constexpr uint32_t kLayoutVersion = 2;
constexpr size_t kFirstHeaderSize = 88;  // layout 1: no names
constexpr size_t kHeaderSize = 152;
constexpr size_t kNameSize = 32;
constexpr size_t kChunk = 65536;
// Above deflate's largest ratio (1032 to 1), with a margin.
constexpr uint64_t kMaxDeflateRatio = 1100;

struct TLayerHeader {
  uint32_t SizeX = 0;
  uint32_t SizeY = 0;
  uint16_t Bands = 0;
  uint16_t Format = 0;
  int32_t Hint = 0;
  uint32_t BlockSizeX = 0;
  uint32_t BlockSizeY = 0;
  int32_t CellSizeUnits = 0;
  float TargetCompression = 0;
  uint32_t Version = kLayoutVersion;
  int32_t Epsg = 0;
  std::string Datum = "RAW";
  std::string Projection = "RAW";
  double CellIncrementX = 1;
  double CellIncrementY = -1;
  double OriginX = 0;
  double OriginY = 0;
  uint64_t DataLength = 0;

  void Encode(uint8_t* p) const {
    std::memset(p, 0, kHeaderSize);
    std::memcpy(p, kLayerSignature, 8);
    StoreLE<uint32_t>(p + 8, kLayoutVersion);
    StoreLE<uint32_t>(p + 12, SizeX);
    StoreLE<uint32_t>(p + 16, SizeY);
    StoreLE<uint16_t>(p + 20, Bands);
    StoreLE<uint16_t>(p + 22, Format);
    StoreLE<uint32_t>(p + 24, static_cast<uint32_t>(Hint));
    StoreLE<uint32_t>(p + 28, BlockSizeX);
    StoreLE<uint32_t>(p + 32, BlockSizeY);
    StoreLE<uint32_t>(p + 36, static_cast<uint32_t>(CellSizeUnits));
    uint32_t ratio;
    std::memcpy(&ratio, &TargetCompression, 4);
    StoreLE<uint32_t>(p + 40, ratio);
    StoreLE<uint32_t>(p + 44, static_cast<uint32_t>(Epsg));
    StoreLE<double>(p + 48, CellIncrementX);
    StoreLE<double>(p + 56, CellIncrementY);
    StoreLE<double>(p + 64, OriginX);
    StoreLE<double>(p + 72, OriginY);
    StoreLE<uint64_t>(p + 80, DataLength);
    std::memcpy(p + 88, Datum.data(), std::min(Datum.size(), kNameSize - 1));
    std::memcpy(p + 120, Projection.data(), std::min(Projection.size(), kNameSize - 1));
  }

  size_t Size() const { return Version == 1 ? kFirstHeaderSize : kHeaderSize; }

  void Decode(const uint8_t* p) {
    SizeX = LoadLE<uint32_t>(p + 12);
    SizeY = LoadLE<uint32_t>(p + 16);
    Bands = LoadLE<uint16_t>(p + 20);
    Format = LoadLE<uint16_t>(p + 22);
    Hint = static_cast<int32_t>(LoadLE<uint32_t>(p + 24));
    BlockSizeX = LoadLE<uint32_t>(p + 28);
    BlockSizeY = LoadLE<uint32_t>(p + 32);
    CellSizeUnits = static_cast<int32_t>(LoadLE<uint32_t>(p + 36));
    const uint32_t ratio = LoadLE<uint32_t>(p + 40);
    std::memcpy(&TargetCompression, &ratio, 4);
    CellIncrementX = LoadLE<double>(p + 48);
    CellIncrementY = LoadLE<double>(p + 56);
    OriginX = LoadLE<double>(p + 64);
    OriginY = LoadLE<double>(p + 72);
    DataLength = LoadLE<uint64_t>(p + 80);
    Version = LoadLE<uint32_t>(p + 8);
    if (Version == 1) return;
    Epsg = static_cast<int32_t>(LoadLE<uint32_t>(p + 44));
    auto name = [](const uint8_t* at) {
      const char* text = reinterpret_cast<const char*>(at);
      return std::string(text, strnlen(text, kNameSize));
    };
    Datum = name(p + 88);
    Projection = name(p + 120);
  }
};

bool ColourTransformed(const TLayerHeader& h) { return h.Format == COMPRESS_RGB && h.Bands == 3; }

// LOCO-I's median edge detector.
inline uint8_t Predict(uint8_t left, uint8_t up, uint8_t upLeft) {
  const uint8_t lo = std::min(left, up);
  const uint8_t hi = std::max(left, up);
  if (upLeft >= hi) return lo;
  if (upLeft <= lo) return hi;
  return static_cast<uint8_t>(left + up - upLeft);
}

// Residuals of one band's row against the previous row (zeros above the
// first row; the upper neighbour stands in left of the first column).
void ToResiduals(const uint8_t* row, const uint8_t* previous, uint32_t width, uint8_t* residuals) {
  for (uint32_t c = 0; c < width; ++c) {
    const uint8_t up = previous[c];
    const uint8_t left = c ? row[c - 1] : up;
    const uint8_t upLeft = c ? previous[c - 1] : up;
    residuals[c] = static_cast<uint8_t>(row[c] - Predict(left, up, upLeft));
  }
}

void FromResiduals(const uint8_t* residuals, const uint8_t* previous, uint32_t width,
                   uint8_t* row) {
  for (uint32_t c = 0; c < width; ++c) {
    const uint8_t up = previous[c];
    const uint8_t left = c ? row[c - 1] : up;
    const uint8_t upLeft = c ? previous[c - 1] : up;
    row[c] = static_cast<uint8_t>(residuals[c] + Predict(left, up, upLeft));
  }
}

uint8_t ToByte(float v) {
  if (!(v > 0)) return 0;
  if (v >= 255) return 255;
  return static_cast<uint8_t>(std::nearbyint(v));
}

std::string SizeText(uint64_t width, uint64_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

}  // namespace

// ---- Error texts ----

std::string NCSGetErrorText(NCSError error) {
  std::string text;
  switch (error) {
    case NCS_SUCCESS:
      text = "No error";
      break;
    case NCS_FILE_OPEN_FAILED:
      text = "File open failed";
      break;
    case NCS_INVALID_ARGUMENTS:
      text = "Invalid arguments";
      break;
    case NCS_ECW_ERROR:
      text = "ECW error";
      break;
    case NCS_COULDNT_ALLOC_MEMORY:
      text = "Not enough memory";
      break;
    case NCS_INVALID_PARAMETER:
      text = "Invalid parameter";
      break;
    case NCS_FILEIO_ERROR:
      text = "File read or write failed";
      break;
    case NCS_COULDNT_OPEN_COMPRESSION:
      text = "Compression not open";
      break;
    case NCS_COULDNT_PERFORM_COMPRESSION:
      text = "Compression failed";
      break;
    case NCS_GENERATED_TOO_MANY_OUTPUT_LINES:
      text = "No more lines in the view";
      break;
    case NCS_USER_CANCELLED_COMPRESSION:
      text = "Compression cancelled";
      break;
    case NCS_COULDNT_READ_INPUT_LINE:
      text = "An input line could not be read";
      break;
    case NCS_INPUT_SIZE_EXCEEDED:
      text = "Image too large";
      break;
    case NCS_REGION_OUTSIDE_FILE:
      text = "Region outside the image";
      break;
    case NCS_NO_SUPERSAMPLE:
      text = "Supersampling not supported";
      break;
    case NCS_ZERO_SIZE:
      text = "Region of zero size";
      break;
    case NCS_TOO_MANY_BANDS:
      text = "More bands than the file holds";
      break;
    case NCS_INVALID_BAND_NR:
      text = "Invalid band number";
      break;
    case NCS_INPUT_SIZE_TOO_SMALL:
      text = "Image too small";
      break;
    case NCS_INVALID_SETVIEW:
      text = "No view set";
      break;
    case NCS_FILE_EOF:
      text = "Unexpected end of file";
      break;
    case NCS_FILE_NOT_FOUND:
      text = "File not found";
      break;
    case NCS_FILE_INVALID:
      text = "File is invalid or corrupt";
      break;
    case NCS_FILE_NO_PERMISSIONS:
      text = "No permission to access the file";
      break;
    case NCS_FILE_OPEN_ERROR:
      text = "File cannot be opened";
      break;
    case NCS_FILE_CLOSE_ERROR:
      text = "File cannot be closed";
      break;
    case NCS_FILE_IO_ERROR:
      text = "File input/output error";
      break;
    default:
      text = "ECW layer error " + std::to_string(error);
      break;
  }
  if (error != NCS_SUCCESS && error == LastError.Code && !LastError.Detail.empty())
    text += ": " + LastError.Detail;
  return text;
}

NCSError NCSGetLastError() { return LastError.Code; }

// ---- Views ----

class NCSFileView {
 public:
  ~NCSFileView() {
    if (StreamOpen) inflateEnd(&Stream);
    if (File) std::fclose(File);
  }

  FILE* File = nullptr;
  std::string FileName;
  TLayerHeader Header;
  z_stream Stream{};
  bool StreamOpen = false;
  uint64_t CompressedRead = 0;
  uint32_t NextFileLine = 0;
  std::vector<uint8_t> Input;
  std::vector<uint8_t> Residuals;
  std::vector<uint8_t> Previous;  // transformed samples of the last line
  std::vector<uint8_t> Current;
  std::vector<uint8_t> Pixels;  // the last line's samples, band after band

  bool ViewSet = false;
  std::vector<uint32_t> BandList;
  uint32_t Left = 0;
  uint32_t Top = 0;
  uint32_t Right = 0;
  uint32_t Bottom = 0;
  uint32_t NextViewLine = 0;

  NCSError Restart();
  NCSError DecodeLine();
  NCSError CheckStreamEnd();
  NCSError Corrupt(const std::string& what) {
    return SetError(NCS_FILE_INVALID, FileName + ": " + what);
  }
  NCSError FillInput();
};

void NCSFileViewDeleter::operator()(NCSFileView* view) const { delete view; }

NCSError NCSFileView::Restart() {
  if (StreamOpen) inflateEnd(&Stream);
  StreamOpen = false;
  Stream = z_stream{};
  if (inflateInit(&Stream) != Z_OK) return SetError(NCS_COULDNT_ALLOC_MEMORY, "decompressor");
  StreamOpen = true;
  if (std::fseek(File, static_cast<long>(Header.Size()), SEEK_SET) != 0)
    return SetError(NCS_FILE_IO_ERROR, FileName + ": " + SystemErrorText(errno));
  CompressedRead = 0;
  NextFileLine = 0;
  std::fill(Previous.begin(), Previous.end(), 0);
  return NCS_SUCCESS;
}

NCSError NCSFileView::FillInput() {
  const uint64_t left = Header.DataLength - CompressedRead;
  const size_t want = static_cast<size_t>(std::min<uint64_t>(Input.size(), left));
  if (want == 0) return Corrupt("the compressed data ends early");
  const size_t got = std::fread(Input.data(), 1, want, File);
  if (got == 0) {
    if (std::ferror(File))
      return SetError(NCS_FILE_IO_ERROR, FileName + ": " + SystemErrorText(errno));
    return SetError(NCS_FILE_EOF, FileName + ": the file is shorter than its header says");
  }
  CompressedRead += got;
  Stream.next_in = Input.data();
  Stream.avail_in = static_cast<uInt>(got);
  return NCS_SUCCESS;
}

NCSError NCSFileView::DecodeLine() {
  Stream.next_out = Residuals.data();
  Stream.avail_out = static_cast<uInt>(Residuals.size());
  while (Stream.avail_out > 0) {
    if (Stream.avail_in == 0) {
      const NCSError e = FillInput();
      if (e != NCS_SUCCESS) return e;
    }
    const int r = inflate(&Stream, Z_NO_FLUSH);
    if (r == Z_STREAM_END && Stream.avail_out > 0)
      return Corrupt("the compressed data ends before line " + std::to_string(NextFileLine));
    if (r == Z_MEM_ERROR) return SetError(NCS_COULDNT_ALLOC_MEMORY, "decompressor");
    if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR)
      return Corrupt(std::string("compressed data damaged (") +
                     (Stream.msg ? Stream.msg : "zlib error") + ")");
  }
  const uint32_t width = Header.SizeX;
  for (uint32_t b = 0; b < Header.Bands; ++b) {
    const uint64_t at = static_cast<uint64_t>(b) * width;
    FromResiduals(Residuals.data() + at, Previous.data() + at, width, Current.data() + at);
  }
  if (ColourTransformed(Header)) {
    const uint8_t* d0 = Current.data();
    const uint8_t* g = d0 + width;
    const uint8_t* d2 = g + width;
    uint8_t* r = Pixels.data();
    for (uint32_t c = 0; c < width; ++c) {
      r[c] = static_cast<uint8_t>(d0[c] + g[c]);
      r[width + c] = g[c];
      r[2 * width + c] = static_cast<uint8_t>(d2[c] + g[c]);
    }
  } else {
    std::copy(Current.begin(), Current.end(), Pixels.begin());
  }
  Previous.swap(Current);
  ++NextFileLine;
  return NextFileLine == Header.SizeY ? CheckStreamEnd() : NCS_SUCCESS;
}

// After the last line the stream must end, which also checks its checksum.
NCSError NCSFileView::CheckStreamEnd() {
  uint8_t extra;
  for (;;) {
    Stream.next_out = &extra;
    Stream.avail_out = 1;
    if (Stream.avail_in == 0 && CompressedRead < Header.DataLength) {
      const NCSError e = FillInput();
      if (e != NCS_SUCCESS) return e;
    }
    const int r = inflate(&Stream, Z_NO_FLUSH);
    if (r == Z_STREAM_END && Stream.avail_out == 1) break;
    if (Stream.avail_out == 0) return Corrupt("more data than the image holds");
    if (r == Z_BUF_ERROR && Stream.avail_in == 0 && CompressedRead >= Header.DataLength)
      return Corrupt("the compressed data ends early");
    if (r != Z_OK && r != Z_BUF_ERROR)
      return Corrupt(std::string("compressed data damaged (") +
                     (Stream.msg ? Stream.msg : "zlib error") + ")");
  }
  if (Stream.avail_in != 0 || CompressedRead != Header.DataLength)
    return Corrupt("data after the end of the compressed image");
  return NCS_SUCCESS;
}

NCSError NCScbmOpenFileView(const std::string& fileName, TFileViewPtr& view) {
  view.reset();
  if (fileName.empty()) return SetError(NCS_INVALID_ARGUMENTS, "no file name");
  struct stat st;
  if (stat(fileName.c_str(), &st) != 0) {
    if (errno == ENOENT) return SetError(NCS_FILE_NOT_FOUND, fileName);
    return FileError(errno, fileName);
  }
  FILE* file = std::fopen(fileName.c_str(), "rb");
  if (!file) return FileError(errno, fileName);
  TFileViewPtr opened(new (std::nothrow) NCSFileView);
  if (!opened) {
    std::fclose(file);
    return SetError(NCS_COULDNT_ALLOC_MEMORY, "file view");
  }
  opened->File = file;
  opened->FileName = fileName;
  uint8_t head[kHeaderSize];
  const size_t got = std::fread(head, 1, kHeaderSize, file);
  if (got >= 4 && std::memcmp(head, kEcwSdkSignature, 4) == 0)
    return SetError(NCS_ECW_ERROR, fileName +
                                       " is a real ECW file; decoding it needs the "
                                       "ECW SDK, which this program does not include");
  if (got < 8 || std::memcmp(head, kLayerSignature, 8) != 0)
    return opened->Corrupt("not an image of this program's ECW layer");
  const uint32_t version = got >= 12 ? LoadLE<uint32_t>(head + 8) : 0;
  if (version != 1 && version != kLayoutVersion)
    return opened->Corrupt("unknown layout version " + std::to_string(version));
  if (got < (version == 1 ? kFirstHeaderSize : kHeaderSize))
    return opened->Corrupt("the header is cut short");
  TLayerHeader& h = opened->Header;
  h.Decode(head);
  if (h.SizeX == 0 || h.SizeY == 0 || h.Bands == 0)
    return opened->Corrupt("image of " + SizeText(h.SizeX, h.SizeY) + " cells and " +
                           std::to_string(h.Bands) + " bands");
  if (static_cast<uint64_t>(h.SizeX) * h.Bands > kMaxLineSamples)
    return opened->Corrupt("lines of " + std::to_string(h.SizeX) + " cells and " +
                           std::to_string(h.Bands) + " bands are too long");
  if ((h.Format == COMPRESS_UINT8 && h.Bands != 1) || (h.Format == COMPRESS_RGB && h.Bands != 3))
    return opened->Corrupt("format " + std::to_string(h.Format) + " with " +
                           std::to_string(h.Bands) + " bands");
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  // Deflate packs at most 1032 bytes into one: a header promising more
  // cells than its data can hold is damaged, and its size is not allocated.
  const uint64_t cells = static_cast<uint64_t>(h.SizeX) * h.SizeY * h.Bands;
  if (cells / kMaxDeflateRatio > size)
    return opened->Corrupt(SizeText(h.SizeX, h.SizeY) + " cells in " + std::to_string(h.Bands) +
                           " bands cannot fit " + std::to_string(size) + " bytes");
  if (h.DataLength != size - h.Size())
    return opened->Corrupt("the file holds " + std::to_string(size) +
                           " bytes where its header describes " +
                           std::to_string(h.DataLength + h.Size()));
  try {
    const size_t line = static_cast<size_t>(h.SizeX) * h.Bands;
    opened->Input.resize(kChunk);
    opened->Residuals.resize(line);
    opened->Previous.resize(line);
    opened->Current.resize(line);
    opened->Pixels.resize(line);
  } catch (const std::bad_alloc&) {
    return SetError(NCS_COULDNT_ALLOC_MEMORY, "line buffers of " + fileName);
  }
  view = std::move(opened);
  return Succeed();
}

NCSError NCScbmGetViewFileInfo(NCSFileView& view, NCSFileViewFileInfo& info) {
  const TLayerHeader& h = view.Header;
  info.SizeX = h.SizeX;
  info.SizeY = h.SizeY;
  info.Bands = h.Bands;
  info.CellIncrementX = h.CellIncrementX;
  info.CellIncrementY = h.CellIncrementY;
  info.OriginX = h.OriginX;
  info.OriginY = h.OriginY;
  info.CellSizeUnits = h.CellSizeUnits;
  info.Datum = h.Datum;
  info.Projection = h.Projection;
  info.Epsg = h.Epsg;
  return Succeed();
}

NCSError NCScbmSetFileView(NCSFileView& view, uint32_t bandCount, const uint32_t* bandList,
                           uint32_t topLeftX, uint32_t topLeftY, uint32_t bottomRightX,
                           uint32_t bottomRightY, uint32_t sizeX, uint32_t sizeY) {
  view.ViewSet = false;
  const TLayerHeader& h = view.Header;
  if (bandCount == 0 || !bandList) return SetError(NCS_INVALID_ARGUMENTS, "no bands in the view");
  if (bandCount > h.Bands)
    return SetError(NCS_TOO_MANY_BANDS,
                    std::to_string(bandCount) + " bands asked of " + std::to_string(h.Bands));
  for (uint32_t i = 0; i < bandCount; ++i)
    if (bandList[i] >= h.Bands)
      return SetError(NCS_INVALID_BAND_NR,
                      "band " + std::to_string(bandList[i]) + " of " + std::to_string(h.Bands));
  if (topLeftX > bottomRightX || topLeftY > bottomRightY || sizeX == 0 || sizeY == 0)
    return SetError(NCS_ZERO_SIZE, "");
  if (bottomRightX >= h.SizeX || bottomRightY >= h.SizeY)
    return SetError(NCS_REGION_OUTSIDE_FILE, "cells up to " + SizeText(bottomRightX, bottomRightY) +
                                                 " of an image of " + SizeText(h.SizeX, h.SizeY));
  const uint32_t width = bottomRightX - topLeftX + 1;
  const uint32_t height = bottomRightY - topLeftY + 1;
  if (sizeX > width || sizeY > height) return SetError(NCS_NO_SUPERSAMPLE, "");
  if (sizeX != width || sizeY != height)
    return SetError(NCS_INVALID_PARAMETER, "this ECW layer reads views at full resolution only");
  const NCSError e = view.Restart();
  if (e != NCS_SUCCESS) return e;
  view.BandList.assign(bandList, bandList + bandCount);
  view.Left = topLeftX;
  view.Top = topLeftY;
  view.Right = bottomRightX;
  view.Bottom = bottomRightY;
  view.NextViewLine = topLeftY;
  view.ViewSet = true;
  return Succeed();
}

NCSEcwReadStatus NCScbmReadViewLineRGB(NCSFileView& view, uint8_t* rgb) {
  if (!view.ViewSet) {
    SetError(NCS_INVALID_SETVIEW, "");
    return NCSECW_READ_FAILED;
  }
  if (view.NextViewLine > view.Bottom) {
    SetError(NCS_GENERATED_TOO_MANY_OUTPUT_LINES, "");
    return NCSECW_READ_FAILED;
  }
  while (view.NextFileLine <= view.NextViewLine) {
    if (view.DecodeLine() != NCS_SUCCESS) {
      view.ViewSet = false;
      return NCSECW_READ_FAILED;
    }
  }
  const uint32_t width = view.Header.SizeX;
  const uint8_t* planes[3] = {nullptr, nullptr, nullptr};
  if (view.BandList.size() == 1) {
    planes[0] = planes[1] = planes[2] =
        view.Pixels.data() + static_cast<uint64_t>(view.BandList[0]) * width;
  } else {
    for (size_t i = 0; i < 3 && i < view.BandList.size(); ++i)
      planes[i] = view.Pixels.data() + static_cast<uint64_t>(view.BandList[i]) * width;
  }
  for (uint32_t c = view.Left; c <= view.Right; ++c)
    for (int k = 0; k < 3; ++k) *rgb++ = planes[k] ? planes[k][c] : 0;
  ++view.NextViewLine;
  Succeed();
  return NCSECW_READ_OK;
}

NCSError NCScbmCloseFileViewEx(TFileViewPtr& view, bool) {
  view.reset();
  return NCS_SUCCESS;
}

// ---- Compression ----

class TCompressTask {
 public:
  ~TCompressTask() {
    if (StreamOpen) deflateEnd(&Stream);
    if (File) std::fclose(File);
    if (!Committed) Files->Discard(TargetName);
  }

  NCSError Write(const uint8_t* data, size_t size) {
    if (std::fwrite(data, 1, size, File) != size)
      return SetError(NCS_FILEIO_ERROR, TargetName + ": " + SystemErrorText(errno));
    return NCS_SUCCESS;
  }
  NCSError Deflate(int flush) {
    do {
      Stream.next_out = Output.data();
      Stream.avail_out = static_cast<uInt>(Output.size());
      const int r = deflate(&Stream, flush);
      if (r == Z_STREAM_ERROR) return SetError(NCS_COULDNT_PERFORM_COMPRESSION, "compressor state");
      const size_t produced = Output.size() - Stream.avail_out;
      DataLength += produced;
      const NCSError e = Write(Output.data(), produced);
      if (e != NCS_SUCCESS) return e;
      if (flush == Z_FINISH && r == Z_STREAM_END) break;
    } while (Stream.avail_out == 0 || (flush == Z_FINISH));
    return NCS_SUCCESS;
  }

  std::string TargetName;
  TFileMaker* Files = nullptr;
  FILE* File = nullptr;
  z_stream Stream{};
  bool StreamOpen = false;
  TLayerHeader Header;
  std::vector<float> Samples;
  std::vector<float*> Arrays;
  std::vector<uint8_t> Current;
  std::vector<uint8_t> Previous;
  std::vector<uint8_t> Residuals;
  std::vector<uint8_t> Output;
  uint64_t DataLength = 0;
  bool Completed = false;
  bool Committed = false;
};

void TCompressTaskDeleter::operator()(TCompressTask* task) const { delete task; }

std::unique_ptr<NCSEcwCompressClient> NCSEcwCompressAllocClient() {
  return std::unique_ptr<NCSEcwCompressClient>(new (std::nothrow) NCSEcwCompressClient);
}

NCSError NCSEcwCompressOpen(NCSEcwCompressClient& client, bool calculateSizesOnly) {
  client.Task.reset();
  if (!client.ReadCallback) return SetError(NCS_INVALID_ARGUMENTS, "no line callback");
  if (client.OutputFileName.empty()) return SetError(NCS_INVALID_ARGUMENTS, "no output file name");
  if (client.SizeX == 0 || client.SizeY == 0 || client.InputBands == 0)
    return SetError(NCS_INPUT_SIZE_TOO_SMALL, SizeText(client.SizeX, client.SizeY) + " cells, " +
                                                  std::to_string(client.InputBands) + " bands");
  if (client.InputBands > UINT16_MAX)
    return SetError(NCS_INPUT_SIZE_EXCEEDED, std::to_string(client.InputBands) + " bands");
  if (static_cast<uint64_t>(client.SizeX) * client.InputBands > kMaxLineSamples)
    return SetError(NCS_INPUT_SIZE_EXCEEDED,
                    "lines of " + std::to_string(client.SizeX) + " cells and " +
                        std::to_string(client.InputBands) + " bands; this ECW layer takes up to " +
                        std::to_string(kMaxLineSamples) + " samples a line");
  const int32_t format = client.CompressFormat;
  if ((format == COMPRESS_UINT8 && client.InputBands != 1) ||
      (format == COMPRESS_RGB && client.InputBands != 3) ||
      (format != COMPRESS_UINT8 && format != COMPRESS_RGB && format != COMPRESS_MULTI))
    return SetError(NCS_INVALID_PARAMETER, "compression format " + std::to_string(format) +
                                               " with " + std::to_string(client.InputBands) +
                                               " bands");
  if (calculateSizesOnly) return Succeed();

  std::unique_ptr<TCompressTask, TCompressTaskDeleter> task(new (std::nothrow) TCompressTask);
  if (!task) return SetError(NCS_COULDNT_ALLOC_MEMORY, "compression task");
  const size_t line = static_cast<size_t>(client.SizeX) * client.InputBands;
  try {
    task->Samples.resize(line);
    task->Current.resize(line);
    task->Previous.assign(line, 0);
    task->Residuals.resize(line);
    task->Output.resize(kChunk);
    for (uint32_t b = 0; b < client.InputBands; ++b)
      task->Arrays.push_back(task->Samples.data() + static_cast<size_t>(b) * client.SizeX);
  } catch (const std::bad_alloc&) {
    return SetError(NCS_COULDNT_ALLOC_MEMORY, "line buffers");
  }
  TLayerHeader& h = task->Header;
  h.SizeX = client.SizeX;
  h.SizeY = client.SizeY;
  h.Bands = static_cast<uint16_t>(client.InputBands);
  h.Format = static_cast<uint16_t>(format);
  h.Hint = client.CompressHint;
  h.BlockSizeX = client.BlockSizeX;
  h.BlockSizeY = client.BlockSizeY;
  h.CellSizeUnits = client.CellSizeUnits;
  h.TargetCompression = client.TargetCompression;
  h.CellIncrementX = client.CellIncrementX;
  h.CellIncrementY = client.CellIncrementY;
  h.OriginX = client.OriginX;
  h.OriginY = client.OriginY;
  h.Datum = client.Datum;
  h.Projection = client.Projection;
  h.Epsg = client.Epsg;

  task->TargetName = client.OutputFileName;
  task->Files = client.OutputFiles;
  const int fd = task->Files->Create(task->TargetName, O_WRONLY);
  if (fd < 0) {
    task->Committed = true;  // nothing of ours to remove
    return FileError(errno, client.OutputFileName);
  }
  task->File = fdopen(fd, "wb");
  if (!task->File) {
    const int error = errno;
    ::close(fd);
    return FileError(error, client.OutputFileName);
  }
  uint8_t head[kHeaderSize];
  h.Encode(head);
  NCSError e = task->Write(head, kHeaderSize);
  if (e != NCS_SUCCESS) return e;
  if (deflateInit(&task->Stream, Z_DEFAULT_COMPRESSION) != Z_OK)
    return SetError(NCS_COULDNT_ALLOC_MEMORY, "compressor");
  task->StreamOpen = true;
  client.Task = std::move(task);
  return Succeed();
}

NCSError NCSEcwCompress(NCSEcwCompressClient& client) {
  TCompressTask* task = client.Task.get();
  if (!task || task->Completed)
    return SetError(NCS_COULDNT_OPEN_COMPRESSION, "NCSEcwCompressOpen was not called");
  const uint32_t width = task->Header.SizeX;
  const uint32_t bands = task->Header.Bands;
  const bool transform = ColourTransformed(task->Header);
  for (uint32_t line = 0; line < task->Header.SizeY; ++line) {
    if (client.CancelCallback && client.CancelCallback(&client))
      return SetError(NCS_USER_CANCELLED_COMPRESSION, "");
    if (!client.ReadCallback(&client, line, task->Arrays.data()))
      return SetError(NCS_COULDNT_READ_INPUT_LINE, "line " + std::to_string(line));
    uint8_t* cur = task->Current.data();
    const float* s = task->Samples.data();
    if (transform) {
      for (uint32_t c = 0; c < width; ++c) {
        const uint8_t r = ToByte(s[c]);
        const uint8_t g = ToByte(s[width + c]);
        const uint8_t b = ToByte(s[2 * width + c]);
        cur[c] = static_cast<uint8_t>(r - g);
        cur[width + c] = g;
        cur[2 * width + c] = static_cast<uint8_t>(b - g);
      }
    } else {
      for (size_t i = 0; i < task->Current.size(); ++i) cur[i] = ToByte(s[i]);
    }
    for (uint32_t b = 0; b < bands; ++b) {
      const size_t at = static_cast<size_t>(b) * width;
      ToResiduals(cur + at, task->Previous.data() + at, width, task->Residuals.data() + at);
    }
    task->Previous.swap(task->Current);
    task->Stream.next_in = task->Residuals.data();
    task->Stream.avail_in = static_cast<uInt>(task->Residuals.size());
    const NCSError e = task->Deflate(Z_NO_FLUSH);
    if (e != NCS_SUCCESS) return e;
    if (client.StatusCallback) client.StatusCallback(&client, line);
  }
  const NCSError e = task->Deflate(Z_FINISH);
  if (e != NCS_SUCCESS) return e;
  task->Completed = true;
  return Succeed();
}

NCSError NCSEcwCompressClose(NCSEcwCompressClient& client) {
  std::unique_ptr<TCompressTask, TCompressTaskDeleter> task = std::move(client.Task);
  if (!task || !task->Completed) return NCS_SUCCESS;  // discarded
  uint8_t length[8];
  StoreLE<uint64_t>(length, task->DataLength);
  if (std::fseek(task->File, 80, SEEK_SET) != 0)
    return SetError(NCS_FILEIO_ERROR, task->TargetName + ": " + SystemErrorText(errno));
  NCSError e = task->Write(length, 8);
  if (e != NCS_SUCCESS) return e;
  FILE* file = task->File;
  task->File = nullptr;
  if (std::fflush(file) != 0 || std::ferror(file)) {
    const int error = errno;
    std::fclose(file);
    return SetError(NCS_FILEIO_ERROR, task->TargetName + ": " + SystemErrorText(error));
  }
  if (std::fclose(file) != 0)
    return SetError(NCS_FILE_CLOSE_ERROR, task->TargetName + ": " + SystemErrorText(errno));
  task->Committed = true;
  const double raw =
      static_cast<double>(task->Header.SizeX) * task->Header.SizeY * task->Header.Bands;
  client.ActualCompression = raw / static_cast<double>(kHeaderSize + task->DataLength);
  return Succeed();
}

void NCSEcwCompressFreeClient(std::unique_ptr<NCSEcwCompressClient>& client) { client.reset(); }

}  // namespace mirava::ncs

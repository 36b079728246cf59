#include "formats/image/BmpMap.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "formats/image/tiff/TifMap.h"
#include "georef/WorldFile.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

uint32_t Get16(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }
uint32_t Get32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
         uint32_t{p[3]} << 24;
}
void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// File header and information header fields (byte offsets in the file).
enum : uint32_t {
  bfType = 0,
  bfSize = 2,
  bfOffBits = 10,
  biSize = 14,
  biWidth = 18,
  biHeight = 22,
  biPlanes = 26,
  biBitCount = 28,
  biCompression = 30,
  biClrUsed = 46,
};

constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;
constexpr uint32_t kOs2InfoHeaderSize = 12;
constexpr uint32_t kBiCompressionRle8 = 1;
constexpr uint32_t kBiCompressionRle4 = 2;

// Rows are padded to whole 32-bit words.
uint64_t StrideFor(uint64_t width, uint32_t bitCount) {
  return (width * bitCount + 31) / 32 * 4;
}

// The longest row a mapped window can hold with its start rounded down.
constexpr uint64_t kLongestRow = kMaxWindowSize - kWindowAlignment;

}  // namespace

TBMPMap2::TBMPMap2() { ControlPoints = std::make_unique<TGCPList>(); }

TBMPMap2::~TBMPMap2() { Close(); }

void TBMPMap2::ResetDescription() {
  Palette.clear();
  GreyPalette = false;
  Width = Height = 0;
  BitCount = 0;
  StorageBands = 0;
  ReportedBands = 0;
  RowStride = 0;
  PixelOffset = 0;
  DetailText.clear();
  WorldFileError.clear();
  RegistrationCellX = RegistrationCellY = 0;
  RegistrationX = RegistrationY = 0;
  CellSizeX = CellSizeY = 1;
  Projection = Datum = Spheroid = "RAW";
}

bool TBMPMap2::Open(const std::string& fileName, uint32_t columns,
                    uint32_t rows, uint8_t cellType, uint32_t bands,
                    uint8_t mode) {
  SetFileName(fileName);
  OpenMode = mode;
  Closed = false;
  ErrorText.clear();
  ErrorCode = 0;
  ResetDescription();
  // A fresh list: points of a previous file must not travel with this one.
  ControlPoints = std::make_unique<TGCPList>();
  if (mode == omCreate) return CreateFile(fileName, columns, rows, cellType, bands);
  if (mode != omRead) {
    ErrorText = "BMP files are opened for reading or created, not updated";
    return false;
  }
  const std::string world = FindBesideImage(fileName, ".bmpw");
  TWorldFile w;
  if (!world.empty() && w.Read(world)) {
    CellSizeX = w.CellSizeX;
    CellSizeY = w.CellSizeY;
    RegistrationX = w.OriginX();
    RegistrationY = w.OriginY();
    Projection = Datum = Spheroid = "UNKNOWN";
  }
  const std::string gcp = FindBesideImage(fileName, ".gcp");
  if (!gcp.empty()) ControlPoints->LoadFromFile(gcp);
  return OpenExisting(fileName);
}

bool TBMPMap2::OpenRead(const std::string& fileName) {
  if (!FileExists(fileName)) {
    ErrorText = "File not Exists";
    return false;
  }
  return Open(fileName, 0, 0, ctUnsigned8, 1, omRead);
}

bool TBMPMap2::FetchBytes(uint64_t position, uint32_t count, uint8_t* target) {
  if (position > FileSize || count > FileSize - position) return false;
  Position = position;
  MinBytes = count;
  if (!MapWindow()) return false;
  std::memcpy(target, DataPointer, count);
  return true;
}

bool TBMPMap2::OpenExisting(const std::string& fileName) {
  if (!OpenMapping(fileName, omRead, 0)) {
    ErrorText = ErrorWithCode("Open read error ", ErrorCode, ErrorText);
    ErrorCode = 1;
    return false;
  }
  auto refuse = [&](int code, const std::string& text) {
    CloseMapping();
    Palette.clear();
    ErrorCode = code;
    ErrorText = text;
    return false;
  };
  uint8_t type[2];
  if (!FetchBytes(bfType, 2, type) || type[0] != 'B' || type[1] != 'M')
    return refuse(2, "Not a BMP file");
  if (!ParseHeaders()) return refuse(3, "Unknown bitmap type: " + DetailText);
  const uint64_t needed = PixelOffset + uint64_t{RowStride} * Height;
  if (needed > FileSize)
    return refuse(6, "BMP file " + fileName + " holds " + std::to_string(FileSize) +
                         " bytes, fewer than the " + std::to_string(needed) +
                         " its rows need");
  ErrorText.clear();
  ErrorCode = 0;
  return true;
}

bool TBMPMap2::ParseHeaders() {
  uint8_t head[kHeadersSize];
  if (!FetchBytes(0, biSize + 4, head)) {
    DetailText = "file too short for its headers";
    return false;
  }
  const uint32_t infoSize = Get32(head + biSize);
  if (infoSize == kOs2InfoHeaderSize) {
    DetailText = "Not RGB or 8-bit pixel";
    return false;
  }
  // Version 4 and 5 headers extend the 40-byte one.
  if (infoSize != kInfoHeaderSize && infoSize != 52 && infoSize != 56 && infoSize != 108 &&
      infoSize != 124) {
    DetailText = "information header of " + std::to_string(infoSize) + " bytes";
    return false;
  }
  if (!FetchBytes(0, kHeadersSize, head)) {
    DetailText = "file too short for its headers";
    return false;
  }
  PixelOffset = Get32(head + bfOffBits);
  const int32_t width = static_cast<int32_t>(Get32(head + biWidth));
  const int32_t height = static_cast<int32_t>(Get32(head + biHeight));
  BitCount = static_cast<uint16_t>(Get16(head + biBitCount));
  const uint32_t compression = Get32(head + biCompression);
  const uint32_t colorsUsed = Get32(head + biClrUsed);
  if (compression == kBiCompressionRle8) DetailText = "RLE8";
  else if (compression == kBiCompressionRle4) DetailText = "RLE4";
  else if (compression != 0) DetailText = "Unknown compression";
  else if (BitCount != 8 && BitCount != 24) DetailText = "not RGB or 8-bit pixel";
  else if (width <= 0) DetailText = "width of " + std::to_string(width) + " columns";
  else if (height == 0) DetailText = "height of 0 rows";
  else if (height < 0) DetailText = "top-down rows (negative height)";
  if (!DetailText.empty()) return false;
  Width = static_cast<uint32_t>(width);
  Height = static_cast<uint32_t>(height);
  const uint64_t stride = StrideFor(Width, BitCount);
  if (stride > kLongestRow) {
    DetailText = "rows of " + std::to_string(stride) + " bytes are too long";
    return false;
  }
  RowStride = static_cast<uint32_t>(stride);
  const uint64_t paletteAt = uint64_t{kFileHeaderSize} + infoSize;
  const uint32_t colors = BitCount == 24 ? 0 : colorsUsed == 0 ? 256 : colorsUsed;
  if (colors > 256) {
    DetailText = "palette of " + std::to_string(colors) + " colours";
    return false;
  }
  if (PixelOffset < paletteAt + 4ull * colors || PixelOffset > FileSize) {
    DetailText = "pixel data at offset " + std::to_string(PixelOffset) +
                 ", inside the headers or past the end of the file";
    return false;
  }
  if (BitCount == 24) {
    StorageBands = ReportedBands = 3;
    return true;
  }
  StorageBands = 1;
  std::vector<uint8_t> entries(4ull * colors);
  if (colors > 0 &&
      !FetchBytes(paletteAt, static_cast<uint32_t>(entries.size()), entries.data())) {
    DetailText = "palette past the end of the file";
    return false;
  }
  Palette.resize(colors);
  GreyPalette = colors == 256;
  for (uint32_t i = 0; i < colors; ++i) {
    const uint8_t* e = &entries[4ull * i];
    Palette[i] = {e[2], e[1], e[0]};
    if (e[0] != i || e[1] != i || e[2] != i) GreyPalette = false;
  }
  ReportedBands = GreyPalette ? 1 : 3;
  return true;
}

bool TBMPMap2::SelectRow(uint32_t row, uint32_t) {
  if (row >= Height) return false;
  Position = PixelOffset + uint64_t{Height - 1 - row} * RowStride;
  MinBytes = RowStride;
  return MapWindow();
}

uint32_t TBMPMap2::BlockRows() {
  const bool plain = StorageBands == 3 || (StorageBands == 1 && GreyPalette);
  if (!plain || RowStride == 0 || !WorldFileError.empty()) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(UsableWindow() / RowStride, Height));
}

bool TBMPMap2::GetBlock(uint32_t first, uint32_t count, TCellBlock& block) {
  if (BlockRows() == 0 || count == 0 || first >= Height || count > Height - first)
    return false;
  // The block's last row is the lowest in the file.
  uint8_t* lowest = MapRange(PixelOffset + uint64_t{Height - first - count} * RowStride,
                             uint64_t{count} * RowStride);
  if (!lowest) return false;
  block.Data = lowest + uint64_t{count - 1} * RowStride + (StorageBands == 3 ? 2 : 0);
  block.RowStride = -static_cast<int64_t>(RowStride);
  block.BandStride = StorageBands == 3 ? -1 : 0;
  block.ColumnStride = StorageBands;
  block.CellType = ctUnsigned8;
  block.MSBFirst = false;
  return true;
}

bool TBMPMap2::ReadCell(uint32_t column, uint32_t row, uint32_t band,
                        float& value) {
  value = 0;
  if (band >= ReportedBands) band = ReportedBands ? ReportedBands - 1u : 0;
  if (column >= Width || row >= Height) return false;
  if (!SelectRow(row, band)) return false;
  if (StorageBands == 3) {
    value = DataPointer[uint64_t{column} * 3 + 2 - band];
    return true;
  }
  const uint8_t index = DataPointer[column];
  if (GreyPalette)
    value = index;
  else
    value = index < Palette.size() ? Palette[index][band] : 0;
  return true;
}

bool TBMPMap2::WriteCell(uint32_t column, uint32_t row, uint32_t band,
                         float value) {
  if (OpenMode != omCreate) return false;
  if (!WorldFileError.empty()) {
    ErrorText = WorldFileError;
    return false;
  }
  if (band >= ReportedBands) band = ReportedBands - 1u;
  if (column >= Width || row >= Height) return false;
  if (!SelectRow(row, band)) return false;
  const uint64_t at = StorageBands == 3 ? uint64_t{column} * 3 + 2 - band : column;
  EncodeCell(DataPointer + at, ctUnsigned8, false, value);
  return true;
}

bool TBMPMap2::CreateFile(const std::string& fileName, uint32_t columns,
                          uint32_t rows, uint8_t cellType, uint32_t bands) {
  if (cellType != ctUnsigned8) {
    ErrorCode = 4;
    ErrorText = std::string("Not supported cell type(must be byte type): ") +
                (cellType < kCellTypeCount ? CellTypeNames[cellType] : "");
    return false;
  }
  if (bands != 1 && bands != 3) {
    ErrorCode = 5;
    ErrorText = "Wrong number of bands(must be 1 or 3)";
    return false;
  }
  if (columns == 0 || rows == 0 || columns > INT32_MAX || rows > INT32_MAX) {
    ErrorText = "BMP size " + std::to_string(columns) + " x " +
                std::to_string(rows) + " is not valid";
    return false;
  }
  Width = columns;
  Height = rows;
  ReportedBands = static_cast<uint16_t>(bands);
  StorageBands = bands;
  BitCount = static_cast<uint16_t>(8 * bands);
  const uint32_t paletteBytes = bands == 1 ? 1024 : 0;
  const uint64_t stride = StrideFor(columns, BitCount);
  const uint64_t size = kHeadersSize + paletteBytes + stride * rows;
  // The file size and the pixel offset of a bitmap are 32-bit.
  if (size > UINT32_MAX) {
    ErrorText = "BMP files cannot hold more than 4 GiB: " + fileName +
                " would need " + std::to_string(size) + " bytes";
    return false;
  }
  if (stride > kLongestRow) {
    ErrorText = "Buffer size is less than one line";
    return false;
  }
  RowStride = static_cast<uint32_t>(stride);
  PixelOffset = kHeadersSize + paletteBytes;
  if (!OpenMapping(fileName, omCreate, size)) {
    ErrorText = ErrorWithCode("Open write error ", ErrorCode, ErrorText);
    ErrorCode = 5;
    return false;
  }
  Position = 0;
  MinBytes = PixelOffset;
  if (!MapWindow()) return false;
  uint8_t* h = DataPointer;
  h[bfType] = 'B';
  h[bfType + 1] = 'M';
  Put32(h + bfSize, static_cast<uint32_t>(size));
  Put32(h + bfOffBits, PixelOffset);
  Put32(h + biSize, kInfoHeaderSize);
  Put32(h + biWidth, columns);
  Put32(h + biHeight, rows);
  Put16(h + biPlanes, 1);
  Put16(h + biBitCount, BitCount);
  for (uint32_t i = 0; i < paletteBytes / 4; ++i) {
    uint8_t* e = h + kHeadersSize + 4 * i;
    e[0] = e[1] = e[2] = static_cast<uint8_t>(i);
  }
  GreyPalette = bands == 1;
  return true;
}

void TBMPMap2::SetGeoreference(const std::string& spheroid,
                               const std::string& datum, double cellSizeX,
                               double cellSizeY, double registrationCellX,
                               double registrationCellY, double registrationX,
                               double registrationY,
                               const std::string& projection) {
  Spheroid = spheroid;
  Datum = datum;
  CellSizeX = cellSizeX;
  CellSizeY = cellSizeY;
  RegistrationCellX = registrationCellX;
  RegistrationCellY = registrationCellY;
  RegistrationX = registrationX;
  RegistrationY = registrationY;
  Projection = projection;
  if (OpenMode != omCreate) return;
  const TWorldFile world = TWorldFile::FromOrigin(
      GetCellSizeX(), 0, 0, GetCellSizeY(), GetOriginX(), GetOriginY());
  const std::string name = ChangeFileExt(FileName, ".bmpw");
  std::string error;
  // The world file is a bitmap's only georeference: without it the job fails.
  if (!world.Write(name, error))
    WorldFileError = "World file " + name + " not written: " + error;
}

bool TBMPMap2::Close() {
  if (Closed) return true;
  Closed = true;
  bool ok = true;
  if (OpenMode == omCreate && !WorldFileError.empty()) {
    ErrorText = WorldFileError;
    ok = false;
  }
  if (!CloseMapping()) {
    if (ok) ErrorText = "Closing " + FileName + ": " + ErrorText;
    ok = false;
  }
  return ok;
}

}  // namespace mirava

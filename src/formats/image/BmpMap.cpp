#include "formats/image/BmpMap.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dataset/ByteOrder.h"
#include "dataset/ScratchFile.h"
#include "formats/image/ImageBuffer.h"
#include "georef/WorldFile.h"
#include "raster/CellType.h"
#include "text/CompanionFile.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

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
  biRedMask = 54,  // then green, blue and (from 56-byte headers on) alpha
  biAlphaMask = 66,
  bcWidth = 18,  // OS/2 1.x header: 16-bit width, height, planes, bit count
  bcHeight = 20,
  bcBitCount = 24,
};

constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;
constexpr uint32_t kOs2InfoHeaderSize = 12;
constexpr uint32_t kBiCompressionRle8 = 1;
constexpr uint32_t kBiCompressionRle4 = 2;
constexpr uint32_t kBiCompressionBitFields = 3;

// Rows are padded to whole 32-bit words.
uint64_t StrideFor(uint64_t width, uint32_t bitCount) { return (width * bitCount + 31) / 32 * 4; }

// The longest row a mapped window can hold with its start rounded down.
constexpr uint64_t kLongestRow = kMaxWindowSize - kWindowAlignment;

}  // namespace

TBMPMap2::TBMPMap2() { ControlPoints = std::make_unique<TGCPList>(); }

TBMPMap2::~TBMPMap2() { Close(); }

void TBMPMap2::ResetDescription() {
  Palette.clear();
  Decoded.Release();
  Masks = {};
  TopDown = Rle = false;
  GreyPalette = false;
  Width = Height = 0;
  BitCount = 0;
  StorageBands = 0;
  ReportedBands = 0;
  RowStride = 0;
  PixelOffset = 0;
  ResetGeoreference();
}

bool TBMPMap2::Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                    uint32_t bands, uint8_t mode) {
  BeginOpen(fileName, mode);
  Closed = false;
  ResetDescription();
  if (mode == omCreate) return CreateFile(fileName, columns, rows, cellType, bands);
  if (mode != omRead) {
    return Fail(TErrorCode::Format, "BMP files are opened for reading or created, not updated");
  }
  const std::string world = FindCompanion(fileName, ".bmpw");
  if (TWorldFile w; !world.empty() && w.Read(world)) TakeWorldFile(w);
  const std::string gcp = FindCompanion(fileName, ".gcp");
  if (!gcp.empty()) ControlPoints->LoadFromFile(gcp);
  return OpenExisting(fileName);
}

bool TBMPMap2::OpenRead(const std::string& fileName) {
  if (!FileExists(fileName)) {
    return Fail(TErrorCode::Format, "File not Exists");
  }
  return Open(fileName, 0, 0, ctUnsigned8, 1, omRead);
}

bool TBMPMap2::OpenExisting(const std::string& fileName) {
  if (!Mapped.OpenMapping(fileName, omRead, 0, FileMaker())) {
    return FailOpen("Open read error ");
  }
  auto refuse = [&](TError error) {
    Mapped.CloseMapping();
    Palette.clear();
    Decoded.Release();
    return Fail(std::move(error));
  };
  uint8_t type[2];
  if (!Mapped.FetchBytes(bfType, 2, type) || type[0] != 'B' || type[1] != 'M')
    return refuse(TError::Format("Not a BMP file"));
  if (!ParseHeaders()) return refuse(Error().In("Unknown bitmap type: "));
  if (Rle && !DecodeRle()) return refuse(Error().In(fileName + ": "));
  const uint64_t needed = PixelOffset + uint64_t{RowStride} * Height;
  if (Decoded.Empty() && needed > Mapped.GetFileSize())
    return refuse(TError::Format("BMP file " + fileName + " holds " +
                                 std::to_string(Mapped.GetFileSize()) + " bytes, fewer than the " +
                                 std::to_string(needed) + " its rows need"));
  ClearError();
  return true;
}

bool TBMPMap2::ParseHeaders() {
  uint8_t head[kHeadersSize + 16] = {};
  if (!Mapped.FetchBytes(0, biSize + 4, head))
    return Fail(TErrorCode::Format, "file too short for its headers");
  const uint32_t infoSize = LoadLE<uint32_t>(head + biSize);
  const bool os2 = infoSize == kOs2InfoHeaderSize;
  // Version 4 and 5 headers and OS/2 2.x's extend the 40-byte one.
  if (!os2 && infoSize != kInfoHeaderSize && infoSize != 52 && infoSize != 56 && infoSize != 64 &&
      infoSize != 108 && infoSize != 124)
    return Fail(TErrorCode::Format, "information header of " + std::to_string(infoSize) + " bytes");
  // The 40-byte header and the bit-field masks that follow or extend it.
  const uint32_t headBytes = os2 ? kFileHeaderSize + kOs2InfoHeaderSize : kHeadersSize + 16;
  if (!Mapped.FetchBytes(0, std::min<uint64_t>(headBytes, Mapped.GetFileSize()), head) ||
      Mapped.GetFileSize() < kFileHeaderSize + uint64_t{os2 ? kOs2InfoHeaderSize : kInfoHeaderSize})
    return Fail(TErrorCode::Format, "file too short for its headers");
  PixelOffset = LoadLE<uint32_t>(head + bfOffBits);
  int64_t width, height;
  uint32_t compression = 0, colorsUsed = 0;
  if (os2) {
    width = LoadLE<uint16_t>(head + bcWidth);
    height = LoadLE<uint16_t>(head + bcHeight);
    BitCount = LoadLE<uint16_t>(head + bcBitCount);
  } else {
    width = static_cast<int32_t>(LoadLE<uint32_t>(head + biWidth));
    height = static_cast<int32_t>(LoadLE<uint32_t>(head + biHeight));
    BitCount = LoadLE<uint16_t>(head + biBitCount);
    compression = LoadLE<uint32_t>(head + biCompression);
    colorsUsed = LoadLE<uint32_t>(head + biClrUsed);
  }
  TopDown = height < 0;
  Rle = compression == kBiCompressionRle8 || compression == kBiCompressionRle4;
  const bool bitFields = compression == kBiCompressionBitFields;
  std::string unknown;
  if (compression != 0 && !Rle && !bitFields)
    unknown = "Unknown compression";
  else if (BitCount != 1 && BitCount != 4 && BitCount != 8 && BitCount != 16 && BitCount != 24 &&
           BitCount != 32)
    unknown = "pixels of " + std::to_string(BitCount) + " bits";
  else if ((compression == kBiCompressionRle8 && BitCount != 8) ||
           (compression == kBiCompressionRle4 && BitCount != 4) ||
           (bitFields && BitCount != 16 && BitCount != 32))
    unknown = "compression that does not fit " + std::to_string(BitCount) + "-bit pixels";
  else if (width <= 0)
    unknown = "width of " + std::to_string(width) + " columns";
  else if (height == 0 || height == INT32_MIN)
    unknown = "height of " + std::to_string(height) + " rows";
  else if (TopDown && Rle)
    unknown = "top-down rows (negative height) with RLE";
  if (!unknown.empty()) return Fail(TErrorCode::Format, unknown);
  Width = static_cast<uint32_t>(width);
  Height = static_cast<uint32_t>(TopDown ? -height : height);
  const uint64_t stride = StrideFor(Width, BitCount);
  if (stride > kLongestRow)
    return Fail(TErrorCode::Format, "rows of " + std::to_string(stride) + " bytes are too long");
  RowStride = static_cast<uint32_t>(stride);
  uint64_t paletteAt = uint64_t{kFileHeaderSize} + infoSize;
  if (BitCount >= 16) {
    if (!ParseMasks(head, infoSize, bitFields)) return false;
    if (bitFields && infoSize == kInfoHeaderSize) paletteAt += 12;
  }
  const uint32_t entryBytes = os2 ? 3 : 4;
  uint32_t colors = 0;
  if (BitCount <= 8) {
    colors = colorsUsed == 0 || colorsUsed > (1u << BitCount) ? 1u << BitCount : colorsUsed;
    // OS/2 palettes fill the room before the pixels, up to their full size.
    if (os2 && PixelOffset > paletteAt)
      colors =
          static_cast<uint32_t>(std::min<uint64_t>(colors, (PixelOffset - paletteAt) / entryBytes));
  }
  if (PixelOffset < paletteAt + uint64_t{entryBytes} * colors || PixelOffset > Mapped.GetFileSize())
    return Fail(TErrorCode::Format, "pixel data at offset " + std::to_string(PixelOffset) +
                                        ", inside the headers or past the end of the file");
  if (BitCount == 24 || BitCount == 8) StorageBands = BitCount / 8;
  if (BitCount > 8) {
    ReportedBands = Masks[3].Mask ? 4 : 3;
    return true;
  }
  std::vector<uint8_t> entries(uint64_t{entryBytes} * colors);
  if (!Mapped.FetchBytes(paletteAt, static_cast<uint32_t>(entries.size()), entries.data()))
    return Fail(TErrorCode::Format, "palette past the end of the file");
  Palette.resize(colors);
  GreyPalette = colors == 256;
  for (uint32_t i = 0; i < colors; ++i) {
    const uint8_t* e = &entries[uint64_t{entryBytes} * i];
    Palette[i] = {e[2], e[1], e[0]};
    if (e[0] != i || e[1] != i || e[2] != i) GreyPalette = false;
  }
  ReportedBands = GreyPalette ? 1 : 3;
  return true;
}

bool TBMPMap2::ParseMasks(const uint8_t* head, uint32_t infoSize, bool bitFields) {
  // Without bit fields: 5 bits a colour in 16-bit pixels, bytes in 32-bit
  // ones (the fourth byte is no alpha).
  uint32_t masks[4] = {0x7C00, 0x03E0, 0x001F, 0};
  if (BitCount == 32) {
    masks[0] = 0xFF0000;
    masks[1] = 0xFF00;
    masks[2] = 0xFF;
  }
  if (bitFields) {
    for (int i = 0; i < 3; ++i) masks[i] = LoadLE<uint32_t>(head + biRedMask + 4 * i);
    if (infoSize >= 56) masks[3] = LoadLE<uint32_t>(head + biAlphaMask);
  }
  uint32_t seen = 0;
  for (int i = 0; i < 4; ++i) {
    if ((masks[i] & seen) != 0 || (BitCount == 16 && masks[i] > 0xFFFF))
      return Fail(TErrorCode::Format, "bit-field masks that overlap or pass the pixel's bits");
    seen |= masks[i];
    Masks[i].Mask = masks[i];
    Masks[i].Shift = masks[i] ? static_cast<uint32_t>(__builtin_ctz(masks[i])) : 0;
    Masks[i].Width =
        masks[i] ? 32 - static_cast<uint32_t>(__builtin_clz(masks[i])) - Masks[i].Shift : 0;
  }
  return true;
}

// RLE rows are decoded at open, one palette index a pixel, top row first,
// into memory or (larger than the job's memory) a scratch file; the zero
// pages of rows the codes skip are never touched. Pixels that the codes
// skip keep index 0, runs into the row's padding (ImageMagick encodes it)
// are cut at the row's end and data that ends early ends the image, as
// browsers and GDAL read such files; a run past the padding or a delta off
// the image is corrupt data, refused with the row (0 the top) it happened in.
bool TBMPMap2::DecodeRle() {
  if (!Succeeded(
          Decoded.Allocate(Width, Height, 1, MemoryLimit, "RLE bitmap", TemporaryDirectory())))
    return false;
  const uint32_t size = static_cast<uint32_t>(Mapped.GetFileSize() - PixelOffset);
  const uint8_t* data = nullptr;
  if (size > 0 && !(data = Mapped.Reach(PixelOffset, size)))
    return FailIn("RLE data that cannot be mapped: ");
  const bool four = BitCount == 4;
  uint64_t at = 0, x = 0, y = 0;  // y counts rows from the bottom
  auto corrupt = [&](const std::string& what) {
    return Fail(TErrorCode::Format,
                "RLE data " + what + " of row " + std::to_string(Height - 1 - y));
  };
  const uint64_t padded = StrideFor(Width, BitCount) * 8 / BitCount;
  auto fits = [&](uint64_t pixels) { return x + pixels <= padded; };
  auto put = [&](uint32_t index) {
    if (x < Width)
      Decoded.Row(static_cast<uint32_t>(Height - 1 - y))[x] = static_cast<uint8_t>(index);
    ++x;
  };
  while (at + 1 < size && y < Height) {
    const uint32_t count = data[at], code = data[at + 1];
    at += 2;
    if (count > 0) {
      if (!fits(count)) return corrupt("runs past the end");
      for (uint32_t i = 0; i < count; ++i) put(four ? (i % 2 ? code & 15 : code >> 4) : code);
    } else if (code == 0) {
      x = 0;
      ++y;
    } else if (code == 1) {
      break;
    } else if (code == 2) {
      if (at + 1 >= size) break;
      if (x + data[at] > Width || y + data[at + 1] >= Height)
        return corrupt("moves off the image from column " + std::to_string(x));
      x += data[at];
      y += data[at + 1];
      at += 2;
    } else {
      if (!fits(code)) return corrupt("runs past the end");
      const uint64_t bytes = four ? (code + 1) / 2 : code;
      for (uint32_t i = 0; i < code && at + (four ? i / 2 : i) < size; ++i) {
        const uint8_t b = data[at + (four ? i / 2 : i)];
        put(four ? (i % 2 ? b & 15 : b >> 4) : b);
      }
      at += (bytes + 1) / 2 * 2;  // absolute runs end on a word
    }
  }
  BitCount = 8;
  RowStride = Width;
  return true;
}

uint8_t* TBMPMap2::StoredRow(uint32_t row) {
  if (row >= Height) return nullptr;
  return Mapped.Reach(PixelOffset + uint64_t{TopDown ? row : Height - 1 - row} * RowStride,
                      RowStride);
}

const uint8_t* TBMPMap2::RowData(uint32_t row) {
  if (!Decoded.Empty()) return Decoded.Row(row);
  return StoredRow(row);
}

uint32_t TBMPMap2::BlockRows() {
  const bool plain = StorageBands == 3 || (StorageBands == 1 && GreyPalette);
  if (!plain || !Decoded.Empty() || RowStride == 0) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(Mapped.UsableWindow() / RowStride, Height));
}

void TBMPMap2::DescribeRows(TCellBlock& layout) const {
  layout.Data = nullptr;
  layout.RowStride = TopDown ? int64_t{RowStride} : -int64_t{RowStride};
  // Colour pixels are stored blue first: red, the first band, is the last byte.
  layout.BandStride = StorageBands == 3 ? -1 : 0;
  layout.ColumnStride = StorageBands;
  layout.CellType = ctUnsigned8;
  layout.MSBFirst = false;
}

bool TBMPMap2::BlockLayout(TCellBlock& layout) {
  if (OpenMode != omCreate || BlockRows() == 0) return false;
  DescribeRows(layout);
  return true;
}

bool TBMPMap2::GetBlock(uint32_t first, uint32_t count, TCellBlock& block) {
  if (BlockRows() == 0 || count == 0 || first >= Height || count > Height - first) return false;
  // Bottom-up files hold the block's last row lowest.
  const uint64_t firstStored = TopDown ? first : Height - first - count;
  uint8_t* stored =
      Mapped.MapRange(PixelOffset + firstStored * RowStride, uint64_t{count} * RowStride);
  if (!stored) return false;
  DescribeRows(block);
  block.Data =
      stored + (TopDown ? 0 : uint64_t{count - 1} * RowStride) + (StorageBands == 3 ? 2 : 0);
  return true;
}

bool TBMPMap2::ReadCell(uint32_t column, uint32_t row, uint32_t band, float& value) {
  value = 0;
  if (band >= ReportedBands) band = ReportedBands ? ReportedBands - 1u : 0;
  if (column >= Width || row >= Height) return false;
  const uint8_t* p = RowData(row);
  if (!p) return false;
  switch (BitCount) {
    case 24:
      value = p[uint64_t{column} * 3 + 2 - band];
      return true;
    case 16:
    case 32: {
      const uint32_t bits = BitCount == 16 ? LoadLE<uint16_t>(p + uint64_t{column} * 2)
                                           : LoadLE<uint32_t>(p + uint64_t{column} * 4);
      value = Masks[band].Scale(bits);
      return true;
    }
    default:
      break;
  }
  // Palette indices, the first pixel in a byte's high bits.
  const uint64_t bit = uint64_t{column} * BitCount;
  const uint32_t index = (p[bit / 8] >> (8 - BitCount - bit % 8)) & ((1u << BitCount) - 1);
  if (GreyPalette)
    value = static_cast<float>(index);
  else
    value = index < Palette.size() ? Palette[index][band] : 0;
  return true;
}

bool TBMPMap2::WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) {
  if (OpenMode != omCreate) return false;
  if (band >= ReportedBands) band = ReportedBands - 1u;
  if (column >= Width || row >= Height) return false;
  uint8_t* stored = StoredRow(row);
  if (!stored) return false;
  const uint64_t at = StorageBands == 3 ? uint64_t{column} * 3 + 2 - band : column;
  EncodeCell(stored + at, ctUnsigned8, false, value);
  return true;
}

TError TBMPMap2::WriteRefusal(const TRasterShape& shape) {
  if (shape.Bands > 3) return TError::Refused("BMP files do not support more than 3 bands");
  if (shape.CellType != ctUnsigned8) return TError::Refused("BMP files support only byte data");
  if (shape.Bands != 1 && shape.Bands != 3)
    return TError::Refused("Wrong number of bands(must be 1 or 3)");
  return {};
}

bool TBMPMap2::CreateFile(const std::string& fileName, uint32_t columns, uint32_t rows,
                          uint8_t cellType, uint32_t bands) {
  if (cellType != ctUnsigned8) {
    return Fail(TErrorCode::Refused,
                std::string("Not supported cell type(must be byte type): ") +
                    (cellType < kCellTypeCount ? CellTypeNames[cellType] : ""));
  }
  if (bands != 1 && bands != 3) {
    return Fail(TErrorCode::Refused, "Wrong number of bands(must be 1 or 3)");
  }
  if (columns == 0 || rows == 0 || columns > INT32_MAX || rows > INT32_MAX) {
    return Fail(TErrorCode::Format, "BMP size " + std::to_string(columns) + " x " +
                                        std::to_string(rows) + " is not valid");
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
    return Fail(TErrorCode::Format, "BMP files cannot hold more than 4 GiB: " + fileName +
                                        " would need " + std::to_string(size) + " bytes");
  }
  if (stride > kLongestRow) {
    return Fail(TErrorCode::Format, "Buffer size is less than one line");
  }
  RowStride = static_cast<uint32_t>(stride);
  PixelOffset = kHeadersSize + paletteBytes;
  if (!Mapped.OpenMapping(fileName, omCreate, size, FileMaker())) {
    return FailOpen("Open write error ");
  }
  uint8_t* h = Mapped.Reach(0, PixelOffset);
  if (!h) return false;
  h[bfType] = 'B';
  h[bfType + 1] = 'M';
  StoreLE<uint32_t>(h + bfSize, static_cast<uint32_t>(size));
  StoreLE<uint32_t>(h + bfOffBits, PixelOffset);
  StoreLE<uint32_t>(h + biSize, kInfoHeaderSize);
  StoreLE<uint32_t>(h + biWidth, columns);
  StoreLE<uint32_t>(h + biHeight, rows);
  StoreLE<uint16_t>(h + biPlanes, 1);
  StoreLE<uint16_t>(h + biBitCount, BitCount);
  // Grey, or the colours of the cells of a palette; either way the stored
  // bytes are the cells.
  const auto colors = EightBitColors(ColorTable, 256);
  for (uint32_t i = 0; i < paletteBytes / 4; ++i) {
    uint8_t* e = h + kHeadersSize + 4 * i;
    if (ColorTable.empty()) {
      e[0] = e[1] = e[2] = static_cast<uint8_t>(i);
    } else {
      e[0] = colors[i][2];
      e[1] = colors[i][1];
      e[2] = colors[i][0];
    }
  }
  GreyPalette = bands == 1;
  return true;
}

bool TBMPMap2::SetGeoreference(const TGeoreference& georeference) {
  KeepGeoreference(georeference);
  if (OpenMode != omCreate) return true;
  return SaveWorldFile(ChangeFileExt(FileName, ".bmpw"),
                       TWorldFile::FromOrigin(GetGeoreference().Affine));
}

bool TBMPMap2::Close() {
  if (Closed) return true;
  Closed = true;
  bool ok = true;
  if (!Mapped.CloseMapping()) {
    if (ok) FailIn("Closing " + FileName + ": ");
    ok = false;
  }
  return ok;
}

}  // namespace mirava

#include "formats/image/RswMap.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dataset/ByteOrder.h"
#include "dataset/OutputChecks.h"
#include "raster/CellType.h"
#include "text/CompanionFile.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// Header fields (byte offsets). 72 and 76 hold the tile height and then
// the tile width, the order Panorama and GDAL use.
enum : uint32_t {
  hVersion = 4,
  hFileLength = 8,
  hBitsPerPixel = 52,
  hHeight = 56,
  hWidth = 60,
  hTilesAcross = 64,
  hTilesDown = 68,
  hTileHeight = 72,
  hTileWidth = 76,
  hLastTileHeight = 80,
  hLastTileWidth = 84,
  hPaletteOffset = 96,
  hPaletteLength = 100,
  hIndexOffset = 104,
  hIndexLength = 108,
  hMapType = 124,
  hProjection = 128,
  hEpsgCode = 132,
  hScale = 136,
  hResolution = 144,
  hCellSize = 152,
  hLowerY = 160,
  hLeftX = 168,
  hFileLength2 = 220,
  hGeoreferenced = 244,
};

constexpr uint32_t kVersion = 0x200;
// The large-file layout: offsets in the header and the tile index count
// 256-byte units.
constexpr uint32_t kHugeVersion = 0x201;
constexpr double kScale = 1000.0;
// Map type and projection "none": with 0, GDAL reads Pulkovo 1942 Gauss-Kruger;
// with this it takes the EPSG code, or no coordinate system without one.
constexpr uint32_t kNone = UINT32_MAX;
// A tile must fit one mapped window with room for its 64 KiB alignment.
constexpr uint64_t kMaxTileBytes = kMaxWindowSize - kWindowAlignment;

}  // namespace

TRswMap2::TRswMap2() { ControlPoints = std::make_unique<TGCPList>(); }

TRswMap2::~TRswMap2() { Close(); }

bool TRswMap2::Close() {
  const bool staged = StagedCount == 0 || MoveStaged(true);
  StagedCount = 0;
  Staged = {};
  Cached = TTileCache();
  return Mapped.CloseMapping() && staged;
}

uint32_t TRswMap2::BlockRows() {
  if (OpenMode != omCreate || Grey || TileIndex.empty()) return 0;
  return std::min(TileHeight, Rows);
}

bool TRswMap2::BlockLayout(TCellBlock& layout) {
  if (BlockRows() == 0) return false;
  layout.Data = nullptr;
  layout.RowStride = static_cast<int64_t>(LineLength);
  layout.BandStride = 1;
  layout.ColumnStride = 3;
  layout.CellType = ctUnsigned8;
  layout.MSBFirst = false;
  return true;
}

bool TRswMap2::GetBlock(uint32_t first, uint32_t count, TCellBlock& block) {
  if (!BlockLayout(block) || count == 0 || count > BlockRows() || first >= Rows ||
      count > Rows - first)
    return false;
  if (first != StagedFirst || count != StagedCount || Staged.empty()) {
    if (StagedCount > 0 && !MoveStaged(true)) return false;
    Staged.resize(static_cast<size_t>(LineLength) * TileHeight);
    StagedFirst = first;
    StagedCount = count;
    if (!MoveStaged(false)) {
      StagedCount = 0;
      return false;
    }
  }
  block.Data = Staged.data();
  return true;
}

bool TRswMap2::MoveStaged(bool toTiles) {
  for (uint32_t row = StagedFirst; row < StagedFirst + StagedCount; ++row) {
    uint8_t* line = Staged.data() + (row - StagedFirst) * LineLength;
    for (uint32_t left = 0; left < Columns; left += TileWidth) {
      // The tile's stretch of this row, blue, green, red a pixel.
      uint8_t* stored = CellPointer(left, row, 2);
      if (!stored) return false;
      const uint32_t width = std::min(TileWidth, Columns - left);
      uint8_t* pixel = line + uint64_t{left} * 3;
      for (uint32_t c = 0; c < width; ++c, pixel += 3, stored += 3)
        for (int b = 0; b < 3; ++b) {
          if (toTiles)
            stored[2 - b] = pixel[b];
          else
            pixel[b] = stored[2 - b];
        }
    }
  }
  return true;
}

uint32_t TRswMap2::Header32(uint32_t offset) const {
  return LoadLE<uint32_t>(HeaderImage.data() + offset);
}

void TRswMap2::SetHeader32(uint32_t offset, uint32_t value) {
  StoreLE<uint32_t>(HeaderImage.data() + offset, value);
}

double TRswMap2::HeaderDouble(uint32_t offset) const {
  return LoadLE<double>(HeaderImage.data() + offset);
}

void TRswMap2::SetHeaderDouble(uint32_t offset, double value) {
  StoreLE<double>(HeaderImage.data() + offset, value);
}

int32_t TRswMap2::GetRowCount() { return static_cast<int32_t>(Header32(hHeight)); }

int32_t TRswMap2::GetColumnCount() { return static_cast<int32_t>(Header32(hWidth)); }

bool TRswMap2::CopyFromFile(uint64_t offset, uint32_t size, uint8_t* data) {
  Cached = TTileCache();
  return Mapped.FetchBytes(offset, size, data);
}

bool TRswMap2::CopyToFile(uint64_t offset, uint32_t size, const uint8_t* data) {
  Cached = TTileCache();
  if (size == 0) return true;
  uint8_t* stored = Mapped.ReachAnew(offset, size);
  if (!stored) return false;
  std::memcpy(stored, data, size);
  return true;
}

TError TRswMap2::WriteRefusal(const TRasterShape& shape) {
  // One grey band is written as three equal colour bands.
  if (shape.Bands != 3 && shape.Bands != 1) return TError::Refused("Error bands<>3");
  if (shape.CellType != ctUnsigned8) return TError::Refused("Error not byte cell");
  // The header has room for one cell size.
  return SquareCellRefusal("RSW", shape.CellSizeX, shape.CellSizeY, 0);
}

bool TRswMap2::Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                    uint32_t bands, uint8_t mode) {
  FileName = fileName;
  Bands = bands;
  OpenMode = mode;
  Cached = TTileCache();
  Grey = false;
  StagedCount = 0;
  Staged.clear();
  Mapped.CloseMapping();
  TileIndex.clear();
  ControlPoints.reset();
  if (mode == omCreate) {
    if (TError why = WriteRefusal({bands, cellType}); why.Failed()) return Fail(std::move(why));
    if (!Create(columns, rows)) return false;
    Grey = bands == 1;
    if (Grey)
      Notes.push_back(
          "Grey band written as three equal colour bands: RSW files hold 24-bit colour");
    // The worker saves the points it carries as a ".gcp" beside the output,
    // the file a reader of this raster loads.
    ControlPoints = std::make_unique<TGCPList>();
    return true;
  }
  if (mode != omRead && mode != omReadWrite) return false;
  const int code = mode == omRead ? 1 : 2;
  const std::string prefix =
      (mode == omRead ? "Open read error " : "Open update error ") + std::to_string(code) + " ";
  if (!Mapped.OpenMapping(fileName, mode, 0, FileMaker())) {
    return Fail(TErrorCode::Format, prefix + Error().Text);
  }
  if (!ReadStructure()) {
    const std::string reason = Error().Text;
    Mapped.CloseMapping();
    return Fail(TErrorCode::Format, prefix + reason);
  }
  Columns = Header32(hWidth);
  Rows = Header32(hHeight);
  Bands = Header32(hBitsPerPixel) / 8;
  LineLength = static_cast<uint64_t>(Columns) * Bands;
  const double cellSize = HeaderDouble(hCellSize);
  Georef.Placed = Header32(hGeoreferenced) != 0;
  const int32_t epsg = static_cast<int32_t>(Header32(hEpsgCode));
  Georef.Crs = {};
  if (Georef.Placed && epsg > 0) Georef.Crs.Epsg = epsg;
  Georef.Affine.CellSizeX = Georef.Affine.CellSizeY = cellSize;
  Georef.Affine.X0 = HeaderDouble(hLeftX);
  Georef.Affine.Y0 = Rows * cellSize + HeaderDouble(hLowerY);
  ControlPoints = std::make_unique<TGCPList>();
  const std::string points = FindCompanion(fileName, ".gcp");
  if (!points.empty()) ControlPoints->LoadFromFile(points);
  return true;
}

// Checks every size and offset against the file before a cell is read.
bool TRswMap2::ReadStructure() {
  const uint64_t fileSize = Mapped.GetFileSize();
  if (fileSize < kHeaderSize) {
    return Fail(TErrorCode::Format, "the file is shorter than an RSW header");
  }
  if (!CopyFromFile(0, kHeaderSize, HeaderImage.data())) {
    return false;
  }
  auto upper = [](uint8_t c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; };
  if (upper(HeaderImage[0]) != 'R' || upper(HeaderImage[1]) != 'S' ||
      upper(HeaderImage[2]) != 'W') {
    return Fail(TErrorCode::Format, "not an RSW file");
  }
  const uint64_t unit = Header32(hVersion) == kHugeVersion ? 256 : 1;
  const uint32_t bits = Header32(hBitsPerPixel);
  if (bits != 8 && bits != 24) {
    return Fail(TErrorCode::Format,
                std::to_string(bits) + " bits per pixel (only 8 and 24 are read)");
  }
  const uint32_t bytesPerPixel = bits / 8;
  const uint32_t width = Header32(hWidth);
  const uint32_t height = Header32(hHeight);
  TileWidth = Header32(hTileWidth);
  TileHeight = Header32(hTileHeight);
  if (width == 0 || height == 0 || TileWidth == 0 || TileHeight == 0) {
    return Fail(TErrorCode::Format, "image of " + std::to_string(width) + " x " +
                                        std::to_string(height) + " pixels in tiles of " +
                                        std::to_string(TileWidth) + " x " +
                                        std::to_string(TileHeight));
  }
  TilesAcross = static_cast<uint32_t>((static_cast<uint64_t>(width) + TileWidth - 1) / TileWidth);
  TilesDown = static_cast<uint32_t>((static_cast<uint64_t>(height) + TileHeight - 1) / TileHeight);
  LastTileWidth = width - (TilesAcross - 1) * TileWidth;
  LastTileHeight = height - (TilesDown - 1) * TileHeight;
  if (Header32(hTilesAcross) != TilesAcross || Header32(hTilesDown) != TilesDown ||
      Header32(hLastTileWidth) != LastTileWidth || Header32(hLastTileHeight) != LastTileHeight) {
    return Fail(TErrorCode::Format, "the tile counts and sizes do not fit an image of " +
                                        std::to_string(width) + " x " + std::to_string(height) +
                                        " pixels");
  }
  const uint64_t tiles = static_cast<uint64_t>(TilesAcross) * TilesDown;
  IndexOffset = Header32(hIndexOffset) * unit;
  const uint64_t indexBytes = tiles > fileSize / 8 ? UINT64_MAX : tiles * 8;
  if (Header32(hIndexLength) < indexBytes || IndexOffset > fileSize ||
      indexBytes > fileSize - IndexOffset || indexBytes > kMaxTileBytes) {
    return Fail(TErrorCode::Format, "the tile index of " + std::to_string(tiles) +
                                        " tiles does not lie within the file");
  }
  std::vector<uint8_t> index(indexBytes);
  if (!CopyFromFile(IndexOffset, static_cast<uint32_t>(indexBytes), index.data())) {
    return false;
  }
  PaletteOffset = 0;
  Palette.fill(0);
  if (Header32(hPaletteLength) >= kPaletteSize) {
    const uint64_t offset = Header32(hPaletteOffset) * unit;
    if (offset > fileSize || kPaletteSize > fileSize - offset) {
      return Fail(TErrorCode::Format, "the palette does not lie within the file");
    }
    if (!CopyFromFile(offset, kPaletteSize, Palette.data())) {
      return false;
    }
    PaletteOffset = offset;
  } else if (bits == 8) {
    return Fail(TErrorCode::Format, "an 8-bit file without a palette");
  }
  TileIndex.resize(tiles);
  for (uint64_t t = 0; t < tiles; ++t) {
    TTile& tile = TileIndex[t];
    tile.Offset = LoadLE<uint32_t>(index.data() + 8 * t) * unit;
    tile.Length = LoadLE<uint32_t>(index.data() + 8 * t + 4);
    const uint64_t w = t % TilesAcross == TilesAcross - 1 ? LastTileWidth : TileWidth;
    const uint64_t h = t / TilesAcross == TilesDown - 1 ? LastTileHeight : TileHeight;
    const uint64_t raw = w * h * bytesPerPixel;
    if (raw > kMaxTileBytes) {
      return Fail(TErrorCode::Format, "tiles of " + std::to_string(raw) + " bytes are too large");
    }
    if (tile.Length != raw) {
      return Fail(TErrorCode::Format, "tile " + std::to_string(t) + " holds " +
                                          std::to_string(tile.Length) +
                                          " bytes where an uncompressed tile holds " +
                                          std::to_string(raw) + " (compressed tiles are not read)");
    }
    if (tile.Offset > fileSize || tile.Length > fileSize - tile.Offset) {
      return Fail(TErrorCode::Format,
                  "tile " + std::to_string(t) + " runs past the end of the file");
    }
  }
  return true;
}

bool TRswMap2::Create(uint32_t columns, uint32_t rows) {
  if (columns == 0 || rows == 0) {
    return Fail(TErrorCode::Refused, "An RSW raster of " + std::to_string(columns) + " x " +
                                         std::to_string(rows) + " pixels cannot be created");
  }
  HeaderImage.fill(0);
  Palette.fill(0);
  std::memcpy(HeaderImage.data(), "RSW", 4);
  SetHeader32(hVersion, kVersion);
  SetHeader32(hWidth, columns);
  SetHeader32(hHeight, rows);
  SetHeader32(hBitsPerPixel, 24);
  SetHeader32(hPaletteOffset, kCreatedPaletteOffset);
  SetHeader32(hPaletteLength, kPaletteSize);
  SetHeader32(hIndexOffset, kCreatedIndexOffset);
  SetHeaderDouble(hScale, kScale);
  SetHeader32(hMapType, kNone);
  SetHeader32(hProjection, kNone);
  TileWidth = columns < kMaxTileSide ? columns : kMaxTileSide;
  TileHeight = rows < kMaxTileSide ? rows : kMaxTileSide;
  TilesAcross = static_cast<uint32_t>((uint64_t{columns} + TileWidth - 1) / TileWidth);
  TilesDown = static_cast<uint32_t>((uint64_t{rows} + TileHeight - 1) / TileHeight);
  LastTileWidth = columns - (TilesAcross - 1) * TileWidth;
  LastTileHeight = rows - (TilesDown - 1) * TileHeight;
  const uint64_t indexBytes = static_cast<uint64_t>(TilesAcross) * TilesDown * 8;
  const uint64_t length =
      kCreatedIndexOffset + indexBytes + static_cast<uint64_t>(columns) * rows * 3;
  // Every offset and the file length are 32-bit fields.
  if (length > UINT32_MAX) {
    return Fail(TErrorCode::Refused, "RSW files hold at most 4 GiB; " + std::to_string(columns) +
                                         " x " + std::to_string(rows) + " pixels need " +
                                         std::to_string(length) + " bytes");
  }
  SetHeader32(hTilesAcross, TilesAcross);
  SetHeader32(hTilesDown, TilesDown);
  SetHeader32(hTileWidth, TileWidth);
  SetHeader32(hTileHeight, TileHeight);
  SetHeader32(hLastTileWidth, LastTileWidth);
  SetHeader32(hLastTileHeight, LastTileHeight);
  SetHeader32(hIndexLength, static_cast<uint32_t>(indexBytes));
  SetHeader32(hFileLength, static_cast<uint32_t>(length));
  SetHeader32(hFileLength2, static_cast<uint32_t>(length));
  PaletteOffset = kCreatedPaletteOffset;
  IndexOffset = kCreatedIndexOffset;
  TileIndex.resize(static_cast<size_t>(TilesAcross) * TilesDown);
  BuildTileIndex();
  Columns = columns;
  Rows = rows;
  Bands = 3;
  LineLength = static_cast<uint64_t>(columns) * 3;
  if (!Mapped.OpenMapping(FileName, omCreate, length, FileMaker())) {
    return FailOpen("Open map write error=");
  }
  return WriteHeaderBack();
}

void TRswMap2::BuildTileIndex() {
  uint64_t position = IndexOffset + TileIndex.size() * 8;
  for (uint32_t ty = 0; ty < TilesDown; ++ty) {
    const uint32_t h = ty == TilesDown - 1 ? LastTileHeight : TileHeight;
    for (uint32_t tx = 0; tx < TilesAcross; ++tx) {
      const uint32_t w = tx == TilesAcross - 1 ? LastTileWidth : TileWidth;
      TTile& tile = TileIndex[static_cast<size_t>(ty) * TilesAcross + tx];
      tile.Offset = position;
      tile.Length = 3 * w * h;
      position += tile.Length;
    }
  }
}

bool TRswMap2::WriteHeaderBack() {
  if (OpenMode == omRead) return false;
  if (!CopyToFile(0, kHeaderSize, HeaderImage.data())) return false;
  if (PaletteOffset != 0 && !CopyToFile(PaletteOffset, kPaletteSize, Palette.data())) return false;
  const uint64_t unit = Header32(hVersion) == kHugeVersion ? 256 : 1;
  std::vector<uint8_t> index(TileIndex.size() * 8);
  for (size_t t = 0; t < TileIndex.size(); ++t) {
    StoreLE<uint32_t>(index.data() + 8 * t, static_cast<uint32_t>(TileIndex[t].Offset / unit));
    StoreLE<uint32_t>(index.data() + 8 * t + 4, TileIndex[t].Length);
  }
  return CopyToFile(IndexOffset, static_cast<uint32_t>(index.size()), index.data());
}

bool TRswMap2::OpenRead(const std::string& fileName) {
  if (!FileExists(fileName)) {
    return Fail(TErrorCode::Format, "File not Exists");
  }
  return Open(fileName, 0, 0, ctUnsigned8, 3, omRead);
}

uint8_t* TRswMap2::CellPointer(uint32_t column, uint32_t row, uint32_t band) {
  if (band >= 3) band = 2;
  if (column >= Columns || row >= Rows || TileIndex.empty()) return nullptr;
  if (!(Cached.Base && column >= Cached.Left && column < Cached.Right && row >= Cached.Top &&
        row < Cached.Bottom)) {
    Cached = TTileCache();
    const uint32_t tx = column / TileWidth;
    const uint32_t ty = row / TileHeight;
    const TTile& tile = TileIndex[static_cast<size_t>(ty) * TilesAcross + tx];
    uint8_t* base = Mapped.Reach(tile.Offset, tile.Length);
    if (!base) return nullptr;
    Cached.Left = tx * TileWidth;
    Cached.Right = Cached.Left + (tx == TilesAcross - 1 ? LastTileWidth : TileWidth);
    Cached.Top = ty * TileHeight;
    Cached.Bottom = Cached.Top + (ty == TilesDown - 1 ? LastTileHeight : TileHeight);
    Cached.Base = base;
  }
  const uint64_t w = Cached.Right - Cached.Left;
  const uint32_t bands = Bands;
  // Colour pixels are stored blue, green, red.
  const uint32_t inPixel = bands == 1 ? 0 : bands - 1 - band;
  return Cached.Base + ((row - Cached.Top) * w + (column - Cached.Left)) * bands + inPixel;
}

bool TRswMap2::ReadCell(uint32_t column, uint32_t row, uint32_t band, float& value) {
  value = 0;
  const uint8_t* p = CellPointer(column, row, band);
  if (!p) return false;
  if (Bands == 1)
    value = Palette[4 * static_cast<size_t>(*p) + (band >= 3 ? 2 : band)];
  else
    value = *p;
  return true;
}

bool TRswMap2::WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) {
  if (OpenMode == omRead) return false;
  for (uint32_t b = Grey ? 0 : band; b < (Grey ? 3 : band + 1); ++b) {
    uint8_t* p = CellPointer(column, row, b);
    if (!p) return false;
    EncodeCell(p, ctUnsigned8, false, value);
  }
  return true;
}

bool TRswMap2::SetGeoreference(const TGeoreference& georeference) {
  // A read-only mapping cannot take the header.
  if (OpenMode == omRead || TileIndex.empty()) return true;
  const double cellSizeX = georeference.Affine.CellSizeX;
  const double cellSizeY = georeference.Affine.CellSizeY;
  // The file has room for one cell size.
  if (TError why =
          SquareCellRefusal("RSW", cellSizeX, cellSizeY,
                            static_cast<uint64_t>(std::max(GetColumnCount(), GetRowCount())));
      why.Failed())
    return Fail(std::move(why));
  const double cellSize = cellSizeX == 0 ? 1.0 : cellSizeX;
  Georef.Placed = true;
  SetHeader32(hGeoreferenced, 1);
  SetHeaderDouble(hScale, kScale);
  SetHeaderDouble(hResolution, kScale / cellSize);
  SetHeaderDouble(hCellSize, cellSize);
  SetHeaderDouble(hLeftX, georeference.Affine.X0);
  SetHeaderDouble(hLowerY,
                  georeference.Affine.Y0 - static_cast<double>(Header32(hHeight)) * cellSizeY);
  SetHeader32(hEpsgCode, static_cast<uint32_t>(Georef.Crs.Epsg));
  WriteHeaderBack();
  return true;
}

}  // namespace mirava

#include "formats/header/VegFile.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "dataset/BinaryFile.h"
#include "dataset/OutputChecks.h"
#include "dataset/MemoryBudget.h"
#include "raster/CellType.h"
#include "text/CompanionFile.h"
#include "text/ReadLine.h"
#include "text/TextFile.h"
#include "text/TextUtils.h"

namespace mirava {

static_assert(std::endian::native == std::endian::little,
              "VEG words are copied in the file's little-endian order");

// A tile count line: tiles minus one, small enough that the rows or columns
// it gives still count in 32 bits.
static bool ParseTileCount(const std::string& line, int32_t& value) {
  const int64_t n = ParseIntDef(TrimBlanks(line), -1);
  if (n < 0 || n >= INT32_MAX / kVegTileSide) {
    value = 0;
    return false;
  }
  value = static_cast<int32_t>(n);
  return true;
}

bool TVegHeader::ReadHeader(const std::string& fileName) {
  HeaderError.clear();
  Georeferenced = true;  // the format has no raster without a place
  bool ok = true;
  TReadLine reader(fileName);
  if (reader.Error().Failed()) {
    HeaderError = "(" + reader.Error().Text + ")";
    ok = false;
  } else {
    BottomY = ParseHeaderReal(reader.ReadLine(), 0);
    RegistrationX = ParseHeaderReal(reader.ReadLine(), 0);
    CellSizeX = ParseHeaderReal(reader.ReadLine(), 0);
    CellSizeY = CellSizeX;
    const std::string rowsLine = reader.ReadLine();
    if (!ParseTileCount(rowsLine, TileRowsMinusOne)) {
      HeaderError = "(tile rows '" + rowsLine + "')";
      ok = false;
    }
    const std::string columnsLine = reader.ReadLine();
    if (!ParseTileCount(columnsLine, TileColumnsMinusOne)) {
      if (ok) HeaderError = "(tile columns '" + columnsLine + "')";
      ok = false;
    }
  }
  Rows = static_cast<uint32_t>(TileRowsMinusOne + 1) * kVegTileSide;
  Columns = static_cast<uint32_t>(TileColumnsMinusOne + 1) * kVegTileSide;
  Bands = 1;
  CellType = ctFloat32;
  RegistrationY = BottomY + (Rows - 1.0) * CellSizeY;
  return ok;
}

bool TVegHeader::WriteHeader(const std::string& fileName, TFileMaker& files) {
  HeaderError.clear();
  // The file holds the left edge and the top edge of the last tile row's
  // bottom row, and one cell size, which the reader takes for both.
  const double left = RegistrationX - RegistrationCellX * CellSizeX;
  const double top = RegistrationY + RegistrationCellY * CellSizeY;
  const double span = TileRowsMinusOne * 250.0 + 249.0;
  BottomY = top - span * CellSizeX;
  // The reader adds the span back; of the neighbouring values, write one
  // from which it gets the top edge exactly.
  for (int step = 1; step <= 8 && BottomY + span * CellSizeX != top; ++step) {
    const double toward = step % 2 ? HUGE_VAL : -HUGE_VAL;
    double candidate = top - span * CellSizeX;
    for (int i = 0; i < (step + 1) / 2; ++i) candidate = std::nextafter(candidate, toward);
    if (candidate + span * CellSizeX == top) BottomY = candidate;
  }
  TTextFileWriter out(fileName, files);
  out.WriteLine(FormatExact(BottomY, 6));
  out.WriteLine(FormatExact(left, 6));
  out.WriteLine(FormatExact(CellSizeX, 6));
  out.WriteLine(std::to_string(TileRowsMinusOne));
  out.WriteLine(std::to_string(TileColumnsMinusOne));
  if (!out.Close()) {
    HeaderError = "(" + out.Error().Text + ")";
    return false;
  }
  return true;
}

TVegFile::TVegFile() : THeadMap2(std::make_unique<TVegHeader>()) {}

TVegFile::~TVegFile() { Close(); }

void TVegFile::SetFileName(const std::string& fileName) {
  FileName = CompanionFile(fileName, ".veg");
  Header->HeaderFileName = CompanionFile(fileName, ".dat");
}

uint64_t TVegFile::TileCount() const {
  const auto& veg = static_cast<const TVegHeader&>(*Header);
  return (veg.TileRowsMinusOne + 1ull) * (veg.TileColumnsMinusOne + 1ull);
}

TVegFile::TTileEntry& TVegFile::TileOf(uint32_t column, uint32_t row) {
  // Tile rows count from the south, tile columns from the west.
  const uint64_t tileRow = Veg().TileRowsMinusOne - row / kVegTileSide;
  return TileDirectory[column / kVegTileSide + tileRow * (Veg().TileColumnsMinusOne + 1ull)];
}

uint32_t TVegFile::CellByte(uint32_t column, uint32_t row) {
  // Tile rows are stored from the bottom up; the float follows an int16.
  return (kVegTileSide - 1 - row % kVegTileSide) * kVegTileRowSize +
         (column % kVegTileSide) * kVegRecordSize + 2;
}

TError TVegFile::WriteRefusal(const TRasterShape& shape) {
  // A second band has nowhere to go.
  if (shape.Bands != 1)
    return TError::Refused("VEG files hold one band; the input has " + std::to_string(shape.Bands));
  if (TError why = FloatCellRefusal("VEG", shape.CellType); why.Failed()) return why;
  return SquareCellRefusal("VEG", shape.CellSizeX, shape.CellSizeY, 0);
}

bool TVegFile::Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                    uint32_t bands, uint8_t mode) {
  SetFileName(fileName);
  OpenMode = mode;
  if (mode == omRead) {
    if (!Header->Read(Header->HeaderFileName)) {
      return Fail(TErrorCode::Header,
                  "Error loading header " + Header->HeaderFileName + " " + Header->HeaderError);
    }
    if (!Grid.OpenMapping(FileName, omRead, 0, FileMaker())) {
      return FailOpen("Open Map Read Error=");
    }
    if (!LoadDirectory()) return false;
    ClearError();
    return true;
  }
  if (mode != omCreate && mode != omReadWrite) return false;
  if (TError why = WriteRefusal({bands, cellType}); why.Failed()) return Fail(std::move(why));
  if (columns == 0 || rows == 0) {
    return Fail(TErrorCode::Format, "A VEG file cannot hold " + std::to_string(columns) + " x " +
                                        std::to_string(rows) + " cells");
  }
  Header->Setup(rows, columns, 1, 1.0, 1.0, 0, 0, 0, 0, "", "", "", ctFloat32);
  Veg().TileRowsMinusOne = static_cast<int32_t>((rows + 249ull) / kVegTileSide - 1);
  Veg().TileColumnsMinusOne = static_cast<int32_t>((columns + 249ull) / kVegTileSide - 1);
  // Tile offsets are 32-bit words: the last tile must start below 4 GiB
  // even when every tile is present.
  const uint64_t tiles = TileCount();
  if (4 + 8 * tiles + (tiles - 1) * kVegTileSize > UINT32_MAX) {
    return Fail(TErrorCode::Format, "A VEG file of " + std::to_string(columns) + " x " +
                                        std::to_string(rows) + " cells needs " +
                                        std::to_string(tiles) +
                                        " tiles, more than its 32-bit tile offsets can address");
  }
  if (mode == omCreate) {
    // Both files are written only when the raster is closed: find out now
    // whether they can be, with room for every tile.
    TBinaryFile header;
    Cells = std::make_unique<TBinaryFile>();
    const bool ok = (Cells->Create(FileName, FileMaker()) &&
                     Cells->Reserve(4 + (8 + uint64_t{kVegTileSize}) * tiles)) &&
                    header.Create(Header->HeaderFileName, FileMaker()) && header.Close();
    if (!ok) {
      const bool cells = !Cells->ErrorText().empty();
      const std::string& name = cells ? FileName : Header->HeaderFileName;
      const int code = cells ? Cells->ErrorCode() : header.ErrorCode();
      Cells.reset();
      FileMaker().Discard(FileName);
      return Fail(TErrorCode::IO,
                  ErrorWithCode("Open map write error=", code, "") + " (" + name + ")");
    }
  }
  AllocateDirectory();
  if (mode == omCreate) {
    const uint64_t bytes = tiles * kVegTileSize;
    const uint64_t memory = JobMemory(MemoryLimit);
    const TError reason = TileStore.Allocate(
        bytes, HeldInMemory(bytes, memory) ? "" : ScratchDirectoryBeside(FileName));
    if (reason.Failed()) {
      Cells.reset();
      FileMaker().Discard(FileName);
      return Fail(
          TErrorCode::Refused,
          MemoryRefusal("VEG output of " + std::to_string(tiles) + " tiles", bytes, memory) + " (" +
              reason.Text + ")");
    }
    const uint64_t paddedColumns = (Veg().TileColumnsMinusOne + 1ull) * kVegTileSide;
    const uint64_t paddedRows = (Veg().TileRowsMinusOne + 1ull) * kVegTileSide;
    if (paddedColumns != columns || paddedRows != rows)
      Notes.push_back("VEG files hold whole tiles of 250 x 250 cells: " + std::to_string(columns) +
                      " x " + std::to_string(rows) + " cells written as " +
                      std::to_string(paddedColumns) + " x " + std::to_string(paddedRows) +
                      ", the added cells holding no data (-9999)");
  }
  Created = mode == omCreate;
  return true;
}

void TVegFile::AllocateDirectory() {
  TileDirectory.clear();
  TileDirectory.resize(TileCount());
}

bool TVegFile::LoadDirectory() {
  const uint64_t tiles = TileCount();
  const uint64_t fileSize = Grid.GetFileSize();
  if (fileSize < 4 || (fileSize - 4) / 8 < tiles) {
    return Fail(TErrorCode::Format, "The tile directory of " + FileName + " (" +
                                        std::to_string(tiles) + " tiles) does not fit in its " +
                                        std::to_string(fileSize) + " bytes");
  }
  AllocateDirectory();
  for (uint64_t i = 0; i < tiles; ++i) {
    const uint8_t* word = Grid.Reach(4 + 8 * i, 4);
    if (!word) {
      return FailOpen("Open Map Read Error=");
    }
    uint32_t offset;
    std::memcpy(&offset, word, 4);
    if (offset != 0 && (offset > fileSize || fileSize - offset < kVegTileSize)) {
      return Fail(TErrorCode::Format,
                  "Tile " + std::to_string(i) + " of " + FileName + " lies outside the file");
    }
    TileDirectory[i].Offset = offset;
  }
  return true;
}

bool TVegFile::SetGeoreference(const TGeoreference& georeference) {
  THeadMap2::SetGeoreference(georeference);
  // The header has room for one cell size.
  if (TError why =
          SquareCellRefusal("VEG", georeference.Affine.CellSizeX, georeference.Affine.CellSizeY,
                            std::max(Header->Columns, Header->Rows));
      why.Failed())
    return Fail(std::move(why));
  return true;
}

TGeoreference TVegFile::GetGeoreference() const {
  TGeoreference georeference = THeadMap2::GetGeoreference();
  georeference.NoData = kVegNoValue;
  return georeference;
}

bool TVegFile::ReadCell(uint32_t column, uint32_t row, uint32_t, float& value) {
  value = kVegNoValue;
  if (column >= Header->Columns || row >= Header->Rows) return false;
  TTileEntry& entry = TileOf(column, row);
  if (OpenMode != omRead) {
    if (!entry.Tile) return false;
    std::memcpy(&value, entry.Tile + CellByte(column, row), 4);
    return true;
  }
  if (entry.Offset == 0) return false;
  const uint8_t* tile = Grid.Reach(entry.Offset, kVegTileSize);
  if (!tile) return false;
  float stored;
  std::memcpy(&stored, tile + CellByte(column, row), 4);
  if (stored == kVegNoValue) return false;
  value = stored;
  return true;
}

bool TVegFile::WriteCell(uint32_t column, uint32_t row, uint32_t, float value) {
  if (OpenMode == omRead) return false;
  if (column >= Header->Columns || row >= Header->Rows) return false;
  TTileEntry& entry = TileOf(column, row);
  if (!entry.Tile) {
    if (value == kVegNoValue) return true;
    entry.Tile = TileStore.Data() + (&entry - TileDirectory.data()) * uint64_t{kVegTileSize};
    // Tiles are filled a few at a time: those done go to the disk.
    if (++TilesStarted % 8 == 0) TileStore.WriteBack();
    uint8_t record[kVegRecordSize];
    const int16_t noValue16 = static_cast<int16_t>(kVegNoValue);
    std::memcpy(record, &noValue16, 2);
    std::memcpy(record + 2, &kVegNoValue, 4);
    for (uint32_t i = 0; i < kVegTileSize; i += kVegRecordSize)
      std::memcpy(entry.Tile + i, record, kVegRecordSize);
  }
  std::memcpy(entry.Tile + CellByte(column, row), &value, 4);
  return true;
}

bool TVegFile::WriteDirectory(TBinaryFile& file) {
  std::vector<uint8_t> words(4 + 8 * TileDirectory.size(), 0);
  uint64_t offset = words.size();
  for (size_t i = 0; i < TileDirectory.size(); ++i) {
    if (!TileDirectory[i].Tile) continue;
    // Open refused any raster whose tiles could start past 32 bits.
    const uint32_t word = static_cast<uint32_t>(offset);
    std::memcpy(words.data() + 4 + 8 * i, &word, 4);
    offset += kVegTileSize;
  }
  return file.Write(words.data(), words.size());
}

bool TVegFile::WriteTileData(TBinaryFile& file) {
  for (const TTileEntry& entry : TileDirectory)
    if (entry.Tile && !file.Write(entry.Tile, kVegTileSize)) return false;
  return true;
}

bool TVegFile::SaveTiles() {
  TBinaryFile& file = *Cells;
  if (!Header->WriteHeader(Header->HeaderFileName, FileMaker())) {
    return Fail(TErrorCode::Format,
                "Header " + Header->HeaderFileName + " writing error " + Header->HeaderError);
  }
  if (!WriteDirectory(file) || !WriteTileData(file) || !file.EndHere() || !file.Close()) {
    return Fail(TErrorCode::Format, "Writing " + FileName + ": " + file.ErrorText());
  }
  Saved = true;
  return true;
}

void TVegFile::FreeTiles() {
  for (TTileEntry& entry : TileDirectory) entry.Tile = nullptr;
  TileStore.Release();
}

bool TVegFile::Close() {
  if (Closed) return true;
  Closed = true;
  bool ok = true;
  if (Created) {
    if (!Saved && !SaveTiles()) {
      ok = false;
    }
    FreeTiles();
    Cells.reset();
  }
  if (!Grid.CloseMapping() && ok) {
    ok = FailIn("Closing " + FileName + ": ");
  }
  return ok;
}

}  // namespace mirava

// Panorama RSW rasters: a fixed header, a 256-entry palette, a tile index
// and the image cut into uncompressed tiles, read and written in place
// through the mapped windows. 8-bit palette and 24-bit colour files are
// read; 24-bit colour files are created.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "dataset/DataSetRoot.h"
#include "dataset/MappedGrid.h"
#include "dataset/OutputChecks.h"

namespace mirava {

class TRswMap2 : public TDataSetRoot2 {
 public:
  // What an output of this format cannot hold, checked before any file exists.
  static TError WriteRefusal(const TRasterShape& shape);
  static constexpr uint32_t kHeaderSize = 248;
  static constexpr uint32_t kPaletteSize = 1024;
  static constexpr uint32_t kCreatedPaletteOffset = 320;
  static constexpr uint32_t kCreatedIndexOffset = 1344;
  static constexpr uint32_t kMaxTileSide = 64;

  TRswMap2();
  ~TRswMap2() override;

  bool ReadCell(uint32_t column, uint32_t row, uint32_t band, float& value) override;
  bool WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) override;
  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode) override;
  bool OpenRead(const std::string& fileName) override;
  int32_t GetBandCount() override { return Grey ? 1 : 3; }
  int32_t GetRowCount() override;
  int32_t GetColumnCount() override;
  uint8_t GetCellType() override { return 1; }
  // By its EPSG code only.
  bool StatesCoordinateSystem() override { return Georef.Crs.Epsg != 0 || Georef.Crs.Empty(); }
  bool SetGeoreference(const TGeoreference& georeference) override;
  // A created file's colour rows in blocks of at most a tile's height,
  // staged in memory in red, green, blue order: read from the tiles when a
  // block is asked for, written back to them when another one is or at
  // Close. The job's block paths then reach the file a tile row at a time,
  // not a cell at a time across the tiles.
  uint32_t BlockRows() override;
  bool GetBlock(uint32_t first, uint32_t count, TCellBlock& block) override;
  bool BlockLayout(TCellBlock& layout) override;
  bool Close() override;
  bool FileCutShort() const override { return Mapped.FileCutShort(); }

 protected:
  struct TTile {
    uint64_t Offset;
    uint32_t Length;
  };

  uint32_t Header32(uint32_t offset) const;
  void SetHeader32(uint32_t offset, uint32_t value);
  double HeaderDouble(uint32_t offset) const;
  void SetHeaderDouble(uint32_t offset, double value);

  bool Create(uint32_t columns, uint32_t rows);
  bool ReadStructure();
  // Copies `size` bytes between the file at `offset` and `data`.
  bool CopyFromFile(uint64_t offset, uint32_t size, uint8_t* data);
  bool CopyToFile(uint64_t offset, uint32_t size, const uint8_t* data);
  void BuildTileIndex();
  bool WriteHeaderBack();
  // The cell's byte in the mapped tile, or none outside the image or when
  // the tile cannot be mapped.
  uint8_t* CellPointer(uint32_t column, uint32_t row, uint32_t band);

  TMappedFile Mapped{*this};
  uint32_t Columns = 0;
  uint32_t Rows = 0;
  uint32_t Bands = 0;
  uint64_t LineLength = 0;  // of a created file's staged rows
  std::vector<TTile> TileIndex;
  std::array<uint8_t, kPaletteSize> Palette{};
  std::array<uint8_t, kHeaderSize> HeaderImage{};
  uint64_t PaletteOffset = 0;  // 0 when the file has no palette
  uint64_t IndexOffset = 0;
  uint32_t TileWidth = 0;
  uint32_t TileHeight = 0;
  uint32_t TilesAcross = 0;
  uint32_t TilesDown = 0;
  uint32_t LastTileWidth = 0;
  uint32_t LastTileHeight = 0;
  // Created from one grey band, which goes into all three colour bands.
  bool Grey = false;
  // Moves the staged rows between Staged and the tiles.
  bool MoveStaged(bool toTiles);
  std::vector<uint8_t> Staged;
  uint32_t StagedFirst = 0, StagedCount = 0;
  // Why the georeference given cannot be stored (cells not square).
  // The tile the last cell lay in, while its window stays mapped: cells of
  // the same tile need no division and no window check.
  struct TTileCache {
    uint32_t Left = 0, Right = 0, Top = 0, Bottom = 0;  // right, bottom exclusive
    uint8_t* Base = nullptr;
  } Cached;
};

}  // namespace mirava

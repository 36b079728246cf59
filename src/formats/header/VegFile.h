// VEG rasters: a five-line text header "name.dat" and a sparse file of
// 32-bit float cells "name.veg", cut into 250 x 250 tiles of which only
// those holding a value other than -9999 are stored.
#pragma once

#include <memory>
#include <vector>

#include "dataset/HeadMap.h"
#include "dataset/OutputChecks.h"
#include "dataset/ScratchFile.h"

namespace mirava {

class TBinaryFile;

constexpr uint32_t kVegTileSide = 250;
constexpr uint32_t kVegRecordSize = 6;
constexpr uint32_t kVegTileRowSize = kVegTileSide * kVegRecordSize;
constexpr uint32_t kVegTileSize = kVegTileSide * kVegTileRowSize;
constexpr float kVegNoValue = -9999;

class TVegHeader : public THeader {
 public:
  bool ReadHeader(const std::string& fileName) override;
  bool WriteHeader(const std::string& fileName, TFileMaker& files) override;
  TFieldNames FieldNames() const override {
    return {.CellSizeX = "cell size",
            .CellSizeY = "cell size",
            .RegistrationX = "left",
            .RegistrationY = "bottom"};
  }

  int32_t TileRowsMinusOne = 0;
  int32_t TileColumnsMinusOne = 0;
  double BottomY = 0;
};

class TVegFile : public THeadMap2 {
 public:
  // What an output of this format cannot hold, checked before any file exists.
  static TError WriteRefusal(const TRasterShape& shape);
  // Cells are not the plain grid: reached one by one.
  uint32_t BlockRows() override { return 0; }
  TVegFile();
  ~TVegFile() override;
  void SetFileName(const std::string& fileName) override;
  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode) override;
  bool SetGeoreference(const TGeoreference& georeference) override;
  // Its no-data value is the format's.
  TGeoreference GetGeoreference() const override;
  // Cells of absent tiles, and stored -9999 cells of an opened raster, are
  // no-data: -9999 and false with no error text.
  bool ReadCell(uint32_t column, uint32_t row, uint32_t band, float& value) override;
  bool WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) override;
  // A created raster writes both its files here.
  bool Close() override;

 private:
  struct TTileEntry {
    uint32_t Offset = 0;  // in the opened file; 0 when absent
    uint32_t Second = 0;
    uint8_t* Tile = nullptr;  // a created raster's cells, in TileStore
  };
  TVegHeader& Veg() { return static_cast<TVegHeader&>(*Header); }
  uint64_t TileCount() const;
  TTileEntry& TileOf(uint32_t column, uint32_t row);
  static uint32_t CellByte(uint32_t column, uint32_t row);
  void AllocateDirectory();
  bool LoadDirectory();
  bool SaveTiles();
  bool WriteDirectory(TBinaryFile& file);
  bool WriteTileData(TBinaryFile& file);
  void FreeTiles();

  std::vector<TTileEntry> TileDirectory;
  // A created raster's tiles, each at its place in the directory: in
  // memory, or in a scratch file when all of them would not fit the job's.
  TScratchMemory TileStore;
  uint64_t TilesStarted = 0;
  // The cell file, created and reserved at its largest (every tile stored)
  // by Open, written by SaveTiles.
  std::unique_ptr<TBinaryFile> Cells;
  bool Saved = false;
  bool Created = false;  // by a successful Open in mode 1
};

}  // namespace mirava

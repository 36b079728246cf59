// HGT elevation tiles: headerless squares of signed 16-bit heights, most
// significant byte first, one degree a side, placed by their file name
// (N45E006.hgt). Heights lie on the whole-degree lines, so the north-west
// height sits exactly on the named corner. Positions are WGS 84 degrees
// (EPSG:4326), as every GIS reads these tiles.
#pragma once

#include <optional>

#include "dataset/HeadMap.h"
#include "dataset/OutputChecks.h"

namespace mirava {

// Heights a side of the two tile sizes in use: 3 and 1 arc-second.
constexpr uint32_t kHgtSamples3 = 1201;
constexpr uint32_t kHgtSamples1 = 3601;

// A tile's south-west corner in whole degrees.
struct THgtTile {
  int Latitude = 0, Longitude = 0;
};
// The tile a file name names: N or S and 0 to 90, then E or W and 0 to 180
// (N45E006, in either case), followed by nothing or by a '.'
// (N45E006.SRTMGL1.hgt); none for any other name.
std::optional<THgtTile> HgtTileOfName(const std::string& fileName);
// "N45E006" for the tile at 45 N 6 E.
std::string HgtTileName(const THgtTile& tile);

class THgtHeader : public THeader {
 public:
  // Takes the tile's position from the name (without extension), false for
  // a name that is not a tile's; the tile size is Samples, which the
  // dataset sets from the file size.
  bool ReadHeader(const std::string& fileName) override;
  bool WriteHeader(const std::string&, TFileMaker&) override { return true; }

  uint32_t Samples = kHgtSamples3;
};

class THgtMap2 : public THeadMap2 {
 public:
  // What an output of this format cannot hold, checked before any file exists.
  static TError WriteRefusal(const TRasterShape& shape);
  THgtMap2();
  void SetFileName(const std::string& fileName) override;
  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode) override;
  // Voids, in every tile, are its no-data value.
  TGeoreference GetGeoreference() const override;
  // A tile is in WGS 84 degrees by its nature.
  bool StatesCoordinateSystem() override { return Georef.Crs.Empty() || Georef.Crs.Epsg == 4326; }
  // An output is placed by its name alone: refused when the georeference
  // it is given puts it elsewhere than the tile its name names.
  bool SetGeoreference(const TGeoreference& georeference) override;
};

}  // namespace mirava

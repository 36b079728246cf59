#include "formats/header/HgtMap.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "dataset/OutputChecks.h"
#include "georef/CoordinateSystem.h"
#include "raster/CellType.h"
#include "text/CompanionFile.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

constexpr int kEpsgWgs84 = 4326;

// Distance between heights of a tile of `samples` a side, in degrees: 3
// arc-seconds, or 1 for the larger tiles.
static double HgtCellSize(uint32_t samples) {
  return samples == kHgtSamples1 ? 1.0 / 3600 : 1.0 / 1200;
}

static uint64_t HgtFileSize(uint32_t samples) { return 2ull * samples * samples; }

std::optional<THgtTile> HgtTileOfName(const std::string& fileName) {
  const std::string name = UpperCase(ExtractFileName(RemoveFileExt(fileName)));
  if (name.size() < 7 || (name.size() > 7 && name[7] != '.')) return std::nullopt;
  auto digits = [&](size_t first, size_t count) {
    int value = 0;
    for (size_t i = first; i < first + count; ++i) {
      if (name[i] < '0' || name[i] > '9') return -1;
      value = value * 10 + (name[i] - '0');
    }
    return value;
  };
  const int latitude = digits(1, 2), longitude = digits(4, 3);
  if ((name[0] != 'N' && name[0] != 'S') || (name[3] != 'E' && name[3] != 'W') || latitude < 0 ||
      latitude > 90 || longitude < 0 || longitude > 180)
    return std::nullopt;
  return THgtTile{name[0] == 'S' ? -latitude : latitude, name[3] == 'W' ? -longitude : longitude};
}

std::string HgtTileName(const THgtTile& tile) {
  char name[32];
  std::snprintf(name, sizeof name, "%c%02d%c%03d", tile.Latitude < 0 ? 'S' : 'N',
                std::abs(tile.Latitude), tile.Longitude < 0 ? 'W' : 'E', std::abs(tile.Longitude));
  return name;
}

// The names that make the header formats and GeoTIFF state EPSG:4326.
static void SetWgs84Degrees(THeader& header) {
  header.Spheroid = "WGS84";
  header.Datum = "WGS84";
  header.Projection = "GEODETIC";
  header.CoordinateType = ctLATLONG;
}

bool THgtHeader::ReadHeader(const std::string& fileName) {
  const std::optional<THgtTile> tile = HgtTileOfName(fileName);
  if (!tile) return false;
  Georeferenced = true;  // by its name
  SetWgs84Degrees(*this);
  MSBFirst = true;
  CellType = ctSigned16;
  CellSizeX = CellSizeY = HgtCellSize(Samples);
  Bands = 1;
  Rows = Columns = Samples;
  RegistrationCellX = RegistrationCellY = 0;
  // Cell (0, 0) is centred on the north-west corner, so its outer corner
  // lies half a cell to the west and north.
  RegistrationX = tile->Longitude - CellSizeX / 2;
  RegistrationY = tile->Latitude + 1 + CellSizeY / 2;
  return true;
}

static const char* const kTileNames =
    "an HGT tile is named by its south-west corner, N or S 0-90 and E or W 0-180 (N45E006.hgt)";

THgtMap2::THgtMap2() : THeadMap2(std::make_unique<THgtHeader>()) {}

void THgtMap2::SetFileName(const std::string& fileName) {
  FileName = CompanionFile(fileName, ".hgt");
  Header->HeaderFileName = RemoveFileExt(fileName);
}

TError THgtMap2::WriteRefusal(const TRasterShape& shape) {
  return Signed16Refusal("HGT", shape.CellType, shape.Bands);
}

bool THgtMap2::Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                    uint32_t bands, uint8_t mode) {
  SetFileName(fileName);
  auto& hgt = static_cast<THgtHeader&>(*Header);
  if (mode == omCreate) {
    // Nothing records a tile's size but its file size, so no other size
    // could be placed by any reader.
    if (TError why = WriteRefusal({bands, cellType}); why.Failed()) return Fail(std::move(why));
    if (!HgtTileOfName(fileName))
      return Fail(TErrorCode::Refused,
                  ExtractFileName(fileName) + " cannot be placed by its name: " + kTileNames);
    if (rows != columns || (rows != kHgtSamples3 && rows != kHgtSamples1))
      return Fail(TErrorCode::Refused,
                  "HGT tiles are 1201 x 1201 or 3601 x 3601 heights; the output would be " +
                      std::to_string(columns) + " x " + std::to_string(rows));
    hgt.Samples = rows;
    const double cellSize = HgtCellSize(rows);
    Header->Setup(rows, columns, 1, cellSize, cellSize, 0, 0, 0, 0, "", "", "", ctSigned16);
    SetWgs84Degrees(*Header);
    Header->MSBFirst = true;
    OpenMode = omCreate;
    if (!Grid.OpenRaster(FileName, columns, rows, ctSigned16, 1, omCreate, true, FileMaker())) {
      return FailOpen("Open map write error=");
    }
    return true;
  }
  if (mode != omRead && mode != omReadWrite) return true;
  if (!HgtTileOfName(fileName))
    return Fail(TErrorCode::Format, FileName + " has no place: " + kTileNames);
  struct stat st;
  if (stat(FileName.c_str(), &st) != 0) {
    FailSystem(errno);
    return FailOpen("Open Map Read Error=");
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size == HgtFileSize(kHgtSamples3)) {
    hgt.Samples = kHgtSamples3;
  } else if (size == HgtFileSize(kHgtSamples1)) {
    hgt.Samples = kHgtSamples1;
  } else {
    return Fail(TErrorCode::Format,
                FileName + " is not an HGT tile: it holds " + std::to_string(size) +
                    " bytes, where a tile of 1201 x 1201 "
                    "heights holds 2884802 and one of 3601 x 3601 holds 25934402");
  }
  return THeadMap2::Open(fileName, columns, rows, cellType, bands, mode);
}

TGeoreference THgtMap2::GetGeoreference() const {
  TGeoreference georeference = THeadMap2::GetGeoreference();
  georeference.NoData = -32768;
  return georeference;
}

bool THgtMap2::SetGeoreference(const TGeoreference& georeference) {
  if (OpenMode != omCreate) return THeadMap2::SetGeoreference(georeference);
  const std::string name = ExtractFileName(FileName);
  const TCoordinateSystem& crs = Georef.Crs;
  if (!crs.Empty() && crs.Epsg != kEpsgWgs84)
    return Fail(TErrorCode::Refused, name + " would lie in WGS 84 degrees (EPSG:4326), which " +
                                         "HGT tiles are in; the input is in " +
                                         DescribeCoordinateSystem(crs));
  const THgtTile tile = *HgtTileOfName(FileName);
  const double cell = HgtCellSize(Header->Rows);
  const double cellSizeX = georeference.Affine.CellSizeX;
  const double cellSizeY = georeference.Affine.CellSizeY;
  // The south-west height of the input, where the tile's lies on its corner.
  const double west = georeference.Affine.X0 + cellSizeX / 2;
  const double south = georeference.Affine.Y0 - cellSizeY / 2 - (Header->Rows - 1.0) * cellSizeY;
  // A thousandth of a cell, at the corner and over the whole tile.
  const double tolerance = cell / 1000;
  auto lies = [&](const THgtTile& t) {
    return std::fabs(cellSizeX - cell) <= tolerance / Header->Rows &&
           std::fabs(cellSizeY - cell) <= tolerance / Header->Rows &&
           std::fabs(west - t.Longitude) <= tolerance && std::fabs(south - t.Latitude) <= tolerance;
  };
  if (!lies(tile)) {
    std::string text =
        name + " names the tile whose south-west height lies at " + std::to_string(tile.Longitude) +
        ", " + std::to_string(tile.Latitude) + " with heights " + FormatGeneral(cell) +
        " degrees apart; the input's lies at " + FormatGeneral(west) + ", " + FormatGeneral(south) +
        " with cells of " + FormatGeneral(cellSizeX) + " by " + FormatGeneral(cellSizeY);
    if (std::fabs(west) <= 180 && std::fabs(south) <= 90) {
      const THgtTile nearest{static_cast<int>(std::lround(south)),
                             static_cast<int>(std::lround(west))};
      if (lies(nearest)) text += ": the tile is " + HgtTileName(nearest) + ".hgt";
    }
    return Fail(TErrorCode::Refused, text);
  }
  TGeoreference onTile = georeference;
  onTile.Affine = {cell, 0, 0, cell, tile.Longitude - cell / 2, tile.Latitude + 1 + cell / 2};
  THeadMap2::SetGeoreference(onTile);
  SetWgs84Degrees(*Header);
  return true;
}

}  // namespace mirava

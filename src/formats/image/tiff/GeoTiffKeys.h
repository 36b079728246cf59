// GeoTIFF keys: the coordinate system a projection name tells, the key
// directory that says it, and the names read back from a file's keys and
// placement tags.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mirava {

enum : uint16_t { gmNone = 0, gmProjected = 1, gmGeographic = 2 };

// The coordinate system a projection name really tells, as GeoTIFF keys.
struct TGeoTiffCrs {
  uint16_t ModelType = gmNone;
  uint16_t Code = 0;         // EPSG code of the projected or geographic CRS
  double EastingPrefix = 0;  // zone x 1,000,000 carried by the eastings
};
TGeoTiffCrs GeoTiffCrsFor(const std::string& projection, const std::string& datum, double originX);

// The GeoKeyDirectory values for `crs`: its header and the keys.
std::vector<uint16_t> GeoKeyDirectory(const TGeoTiffCrs& crs);

// The keys of a GeoKeyDirectory this program reads.
struct TGeoKeys {
  uint16_t ModelType = gmNone;
  uint16_t RasterType = 1;  // pixel is area
  uint16_t Geographic = 0;
  uint16_t Projected = 0;
};
TGeoKeys ParseGeoKeys(const std::vector<uint32_t>& directory);

// Projection, datum and spheroid names for the keys ("UNKNOWN" for a
// coordinate system this program has no name for).
void NamesOfGeoKeys(const TGeoKeys& keys, std::string& projection, std::string& datum,
                    std::string& spheroid);

// Outer corner of pixel (0, 0), cell sizes and rotation terms.
struct TGeoTiffPlacement {
  double CellSizeX = 1, CellSizeY = 1, OriginX = 0, OriginY = 0;
  double RowTermX = 0, ColumnTermY = 0;
};
// From ModelPixelScale with ModelTiePoint, else ModelTransformation (empty
// vectors for tags the file lacks); none when neither places the image.
std::optional<TGeoTiffPlacement> PlacementOfTags(const std::vector<double>& scale,
                                                 const std::vector<double>& tie,
                                                 const std::vector<double>& matrix,
                                                 uint16_t rasterType);

}  // namespace mirava

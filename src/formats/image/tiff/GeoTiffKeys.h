// GeoTIFF keys: the coordinate system a projection name tells, the key
// directory that says it, and the names read back from a file's keys and
// placement tags.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "georef/ControlPoints.h"
#include "georef/CoordinateSystem.h"

namespace mirava {

enum : uint16_t { gmNone = 0, gmProjected = 1, gmGeographic = 2 };

// The coordinate system a projection name really tells, as GeoTIFF keys.
struct TGeoTiffCrs {
  uint16_t ModelType = gmNone;
  uint16_t Code = 0;         // EPSG code of the projected or geographic CRS
  double EastingPrefix = 0;  // zone x 1,000,000 carried by the eastings
  uint16_t LinearUnit = 0;   // EPSG unit code of a projected CRS, 0 unknown
};
TGeoTiffCrs GeoTiffCrsFor(const std::string& projection, const std::string& datum, double originX);

// The keys a created GeoTIFF writes: an input's own keys where it had them
// (its raster type made pixel-is-area, as the tie point is the outer
// corner), else those of the EPSG code, else those the names tell.
struct TGeoTiffOutput {
  TGeoKeySet Keys;
  double EastingPrefix = 0;  // taken off the tie point's easting
};
TGeoTiffOutput GeoTiffOutputFor(const TCoordinateSystem& crs, const std::string& projection,
                                const std::string& datum, double originX);

// The keys of a GeoKeyDirectory this program reads.
struct TGeoKeys {
  uint16_t ModelType = gmNone;
  uint16_t RasterType = 1;  // pixel is area
  uint16_t Geographic = 0;
  uint16_t Projected = 0;
  uint16_t LinearUnits = 0;  // ProjLinearUnits, 0 when the keys have none
};
TGeoKeys ParseGeoKeys(const std::vector<uint32_t>& directory);

// The coordinate system of a file's keys: its EPSG code where the keys name
// one (none where they give its projected system another linear unit), and
// the whole key set.
TCoordinateSystem CoordinateSystemOfKeys(const TGeoKeys& keys, TGeoKeySet set);

// Projection, datum and spheroid names for `crs` ("UNKNOWN" for a
// coordinate system without an EPSG code).
void NamesOfCoordinateSystem(const TCoordinateSystem& crs, std::string& projection,
                             std::string& datum, std::string& spheroid);

// Outer corner of pixel (0, 0), cell sizes and rotation terms; the cell
// sizes are signed (CellSizeY negative for rows that run north).
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

// The control points of a ModelTiePoint tag that holds tie points without a
// pixel scale (raster column, row, 0, world X, Y, Z each), named 1, 2, ...
// as GDAL names them; pixel-is-point positions moved to the outer corner
// convention of the points.
std::vector<TGCPoint> ControlPointsOfTiePoints(const std::vector<double>& tie, uint16_t rasterType);
// The ModelTiePoint values that state `points` (pixel-is-area).
std::vector<double> TiePointsOfControlPoints(const std::vector<TGCPoint>& points);

}  // namespace mirava

#include "formats/image/tiff/GeoTiffKeys.h"

#include <algorithm>
#include <cmath>

#include "text/TextUtils.h"

namespace mirava {

namespace {

// GeoTIFF keys and values.
enum : uint16_t {
  gkModelType = 1024,
  gkRasterType = 1025,
  gkGeographicType = 2048,
  gkGeogAngularUnits = 2054,
  gkProjectedCSType = 3072,
  gkProjLinearUnits = 3076,
  gkVerticalUnits = 4099,
  kRasterPixelIsArea = 1,
  kRasterPixelIsPoint = 2,
  kEpsgWgs84 = 4326,
  kUserDefined = 32767,
  kUnitMetre = 9001,
  kUnitDegree = 9102,
};

// Eastings of zone-prefixed UTM and Gauss-Kruger coordinates.
constexpr double kZonePrefix = 1000000.0;

int ZoneOfEasting(double originX) {
  const double zone = std::floor(originX / kZonePrefix);
  return zone >= 0 && zone <= 1000 ? static_cast<int>(zone) : 0;
}

// Pulkovo 1942 Gauss-Kruger zones that have an EPSG code of the 284xx series.
bool GaussZone(int zone) { return zone >= 2 && zone <= 32; }
bool UtmZone(int zone) { return zone >= 1 && zone <= 60; }

// The keys of an EPSG code the database knows as geographic or projected;
// none for others, and for codes a key cannot hold.
TGeoTiffCrs CrsOfCode(int code) {
  TGeoTiffCrs crs;
  const TEpsgFacts facts = EpsgFacts(code);
  if (!facts.Known || code >= kUserDefined) return crs;
  crs.ModelType = facts.Geographic ? gmGeographic : gmProjected;
  crs.Code = static_cast<uint16_t>(code);
  crs.LinearUnit = facts.LinearUnit;
  return crs;
}

std::vector<uint16_t> GeoKeyDirectory(const TGeoTiffCrs& crs) {
  std::vector<uint16_t> keys;
  keys.reserve(24);
  auto key = [&](uint16_t id, uint16_t value) { keys.insert(keys.end(), {id, 0, 1, value}); };
  // Without a coordinate system the directory stays empty: a lone raster
  // type key makes readers invent an unnamed local one.
  if (crs.ModelType != gmNone) {
    key(gkModelType, crs.ModelType);
    key(gkRasterType, kRasterPixelIsArea);
  }
  if (crs.ModelType == gmGeographic) {
    key(gkGeographicType, crs.Code);
    key(gkGeogAngularUnits, kUnitDegree);
  } else if (crs.ModelType == gmProjected) {
    key(gkProjectedCSType, crs.Code);
    if (crs.LinearUnit != 0) key(gkProjLinearUnits, crs.LinearUnit);
    if (crs.LinearUnit == kUnitMetre) key(gkVerticalUnits, kUnitMetre);
  }
  keys.insert(keys.begin(), {1, 1, 0, static_cast<uint16_t>(keys.size() / 4)});
  return keys;
}

}  // namespace

TGeoTiffCrs GeoTiffCrsFor(const std::string& projection, const std::string& datum, double originX) {
  if (const int code = EpsgOfErMapperNames(projection, datum)) return CrsOfCode(code);
  // Names that leave the zone to the eastings' millions.
  std::string p;
  for (char c : UpperCase(projection))
    if (c != '"' && c != ' ' && c != '\t') p += c;
  const bool wgs84 = EpsgOfErMapperNames("GEODETIC", datum) == kEpsgWgs84 || NamesNoSystem(datum);
  const int zone = ZoneOfEasting(originX);
  TGeoTiffCrs crs;
  if ((p.find("UTM_NORTH") != std::string::npos || p.find("UTM_SOUTH") != std::string::npos) &&
      UtmZone(zone) && wgs84) {
    crs = CrsOfCode((p.find("UTM_SOUTH") != std::string::npos ? 32700 : 32600) + zone);
    crs.EastingPrefix = zone * kZonePrefix;
  } else if (p.find("GAUSS_NORTH") != std::string::npos && GaussZone(zone)) {
    // The 284xx systems keep the zone prefix in their false easting.
    crs = CrsOfCode(28400 + zone);
  }
  return crs;
}

TGeoTiffOutput GeoTiffOutputFor(const TCoordinateSystem& crs, const std::string& projection,
                                const std::string& datum, double originX) {
  TGeoTiffOutput output;
  if (!crs.GeoKeys.Empty()) {
    output.Keys = crs.GeoKeys;
    std::vector<uint16_t>& d = output.Keys.Directory;
    const size_t count = std::min<size_t>(d[3], (d.size() - 4) / 4);
    for (size_t i = 0; i < count; ++i)
      if (d[4 + 4 * i] == gkRasterType && d[5 + 4 * i] == 0) d[7 + 4 * i] = kRasterPixelIsArea;
    return output;
  }
  const TGeoTiffCrs named =
      crs.Epsg != 0 ? CrsOfCode(crs.Epsg) : GeoTiffCrsFor(projection, datum, originX);
  output.Keys.Directory = GeoKeyDirectory(named);
  output.EastingPrefix = named.EastingPrefix;
  return output;
}

TGeoKeys ParseGeoKeys(const std::vector<uint32_t>& directory) {
  TGeoKeys keys;
  if (directory.size() < 4) return keys;
  const size_t count = std::min<size_t>(directory[3], (directory.size() - 4) / 4);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t* k = &directory[4 + 4 * i];
    if (k[1] != 0 || k[2] != 1) continue;  // only values held in the key
    const uint16_t value = static_cast<uint16_t>(k[3]);
    switch (k[0]) {
      case gkModelType:
        keys.ModelType = value;
        break;
      case gkRasterType:
        keys.RasterType = value;
        break;
      case gkGeographicType:
        keys.Geographic = value;
        break;
      case gkProjectedCSType:
        keys.Projected = value;
        break;
      case gkProjLinearUnits:
        keys.LinearUnits = value;
        break;
      default:
        break;
    }
  }
  return keys;
}

TCoordinateSystem CoordinateSystemOfKeys(const TGeoKeys& keys, TGeoKeySet set) {
  TCoordinateSystem crs;
  const uint16_t code = keys.ModelType == gmProjected    ? keys.Projected
                        : keys.ModelType == gmGeographic ? keys.Geographic
                                                         : 0;
  if (code > 0 && code < kUserDefined) crs.Epsg = code;
  // Metres, the unit of nearly every projected code, are taken as the
  // code's own without opening the EPSG database.
  if (crs.Epsg != 0 && keys.ModelType == gmProjected && keys.LinearUnits != 0 &&
      keys.LinearUnits != kUnitMetre && keys.LinearUnits != EpsgFacts(code).LinearUnit) {
    crs.UnitOverriddenEpsg = crs.Epsg;
    crs.LinearUnit = keys.LinearUnits;
    crs.Epsg = 0;
  }
  if (!set.Empty()) crs.GeoKeys = std::move(set);
  return crs;
}

void NamesOfCoordinateSystem(const TCoordinateSystem& crs, std::string& projection,
                             std::string& datum, std::string& spheroid) {
  projection = datum = spheroid = "UNKNOWN";
  if (crs.Epsg == 0) return;
  const TErMapperNames names = ErMapperNamesOf(crs.Epsg);
  projection = names.Projection;
  datum = names.Datum;
  spheroid = names.Spheroid;
}

std::optional<TGeoTiffPlacement> PlacementOfTags(const std::vector<double>& scale,
                                                 const std::vector<double>& tie,
                                                 const std::vector<double>& matrix,
                                                 uint16_t rasterType) {
  double sx = 1, sy = 1, originX = 0, originY = 0, rowTerm = 0, columnTerm = 0;
  if (scale.size() >= 2 && tie.size() >= 6) {
    sx = scale[0];
    // A negative ScaleY is taken as positive (north-up), as GDAL takes it;
    // a raster whose rows run north states it in a ModelTransformation.
    sy = std::fabs(scale[1]);
    originX = tie[3] - tie[0] * sx;
    originY = tie[4] + tie[1] * sy;
  } else if (matrix.size() >= 8) {
    sx = matrix[0];
    rowTerm = matrix[1];
    originX = matrix[3];
    columnTerm = matrix[4];
    sy = -matrix[5];
    originY = matrix[7];
  } else {
    return std::nullopt;
  }
  if (rasterType == kRasterPixelIsPoint) {
    // The tie point names the centre of the pixel, not its outer corner.
    originX -= (sx + rowTerm) / 2;
    originY += (sy - columnTerm) / 2;
  }
  TGeoTiffPlacement placement;
  placement.CellSizeX = sx;
  placement.CellSizeY = sy;
  placement.RowTermX = rowTerm;
  placement.ColumnTermY = columnTerm;
  placement.OriginX = originX;
  placement.OriginY = originY;
  return placement;
}

std::vector<TGCPoint> ControlPointsOfTiePoints(const std::vector<double>& tie,
                                               uint16_t rasterType) {
  std::vector<TGCPoint> points;
  const double shift = rasterType == kRasterPixelIsPoint ? 0.5 : 0;
  for (size_t i = 0; i + 6 <= tie.size(); i += 6) {
    TGCPoint point;
    point.SetName(std::to_string(points.size() + 1));
    point.SetEnabled(true);
    point.SetCellX(tie[i] + shift);
    point.SetCellY(tie[i + 1] + shift);
    point.SetX(tie[i + 3]);
    point.SetY(tie[i + 4]);
    point.SetZ(tie[i + 5]);
    points.push_back(point);
  }
  return points;
}

std::vector<double> TiePointsOfControlPoints(const std::vector<TGCPoint>& points) {
  std::vector<double> tie;
  tie.reserve(points.size() * 6);
  for (const TGCPoint& p : points)
    tie.insert(tie.end(), {p.GetCellX(), p.GetCellY(), 0, p.GetX(), p.GetY(), p.GetZ()});
  return tie;
}

}  // namespace mirava

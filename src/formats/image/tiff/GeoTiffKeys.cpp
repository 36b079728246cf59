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
  kUnitMetre = 9001,
  kUnitDegree = 9102,
};

// Eastings of zone-prefixed UTM and Gauss-Kruger coordinates.
constexpr double kZonePrefix = 1000000.0;

// Letters and digits only, upper-cased: "WGS 84", "wgs-84" and "WGS84" match.
std::string DatumKey(const std::string& datum) {
  std::string key;
  for (char c : UpperCase(datum))
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) key += c;
  return key;
}

// A datum that names none or WGS 84, the datum of the 326xx/327xx codes.
bool DatumAllowsWgs84(const std::string& datum) {
  const std::string key = DatumKey(datum);
  return key.empty() || key == "RAW" || key == "UNKNOWN" || key == "WGS84";
}

// One or two digits right after `key` in `text`; 0 when there are none.
int ZoneAfter(const std::string& text, size_t keyEnd) {
  int zone = 0;
  size_t i = keyEnd;
  for (; i < text.size() && i < keyEnd + 2 && text[i] >= '0' && text[i] <= '9'; ++i)
    zone = zone * 10 + (text[i] - '0');
  if (i < text.size() && text[i] >= '0' && text[i] <= '9') return 0;
  return zone;
}

int ZoneOfEasting(double originX) {
  const double zone = std::floor(originX / kZonePrefix);
  return zone >= 0 && zone <= 1000 ? static_cast<int>(zone) : 0;
}

// Pulkovo 1942 Gauss-Kruger zones that have an EPSG code of the 284xx series.
bool GaussZone(int zone) { return zone >= 2 && zone <= 32; }
bool UtmZone(int zone) { return zone >= 1 && zone <= 60; }

}  // namespace

TGeoTiffCrs GeoTiffCrsFor(const std::string& projection, const std::string& datum, double originX) {
  // Header formats keep the quotes their files put around names.
  std::string p;
  for (char c : UpperCase(projection))
    if (c != '"' && c != ' ' && c != '\t') p += c;
  TGeoTiffCrs crs;
  auto projected = [&](int code) {
    crs.ModelType = gmProjected;
    crs.Code = static_cast<uint16_t>(code);
  };
  auto contains = [&](const char* key) { return p.find(key) != std::string::npos; };
  if (size_t at = p.find("NUTM"); at != std::string::npos) {
    const int zone = ZoneAfter(p, at + 4);
    if (UtmZone(zone) && DatumAllowsWgs84(datum)) projected(32600 + zone);
  } else if (size_t at = p.find("SUTM"); at != std::string::npos) {
    const int zone = ZoneAfter(p, at + 4);
    if (UtmZone(zone) && DatumAllowsWgs84(datum)) projected(32700 + zone);
  } else if (size_t at = p.find("TMGKN"); at != std::string::npos) {
    const int zone = ZoneAfter(p, at + 5);
    if (GaussZone(zone)) projected(28400 + zone);
  } else if (contains("UTM_NORTH") || contains("UTM_SOUTH")) {
    const int zone = ZoneOfEasting(originX);
    if (UtmZone(zone) && DatumAllowsWgs84(datum)) {
      projected((contains("UTM_SOUTH") ? 32700 : 32600) + zone);
      crs.EastingPrefix = zone * kZonePrefix;
    }
  } else if (contains("GAUSS_NORTH")) {
    // The 284xx systems keep the zone prefix in their false easting.
    const int zone = ZoneOfEasting(originX);
    if (GaussZone(zone)) projected(28400 + zone);
  } else if (p == "GEODETIC" && DatumKey(datum) == "WGS84") {
    crs.ModelType = gmGeographic;
    crs.Code = kEpsgWgs84;
  }
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
    key(gkProjLinearUnits, kUnitMetre);
    key(gkVerticalUnits, kUnitMetre);
  }
  keys.insert(keys.begin(), {1, 1, 0, static_cast<uint16_t>(keys.size() / 4)});
  return keys;
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
      default:
        break;
    }
  }
  return keys;
}

void NamesOfGeoKeys(const TGeoKeys& keys, std::string& projection, std::string& datum,
                    std::string& spheroid) {
  projection = datum = spheroid = "UNKNOWN";
  const uint16_t projected = keys.Projected;
  if (keys.ModelType == gmGeographic && keys.Geographic == kEpsgWgs84) {
    projection = "GEODETIC";
    datum = spheroid = "WGS84";
  } else if (keys.ModelType == gmProjected && ((projected > 32600 && projected <= 32660) ||
                                               (projected > 32700 && projected <= 32760))) {
    const int zone = projected % 100;
    projection = std::string(projected < 32700 ? "NUTM" : "SUTM") + (zone < 10 ? "0" : "") +
                 std::to_string(zone);
    datum = spheroid = "WGS84";
  }
}

std::optional<TGeoTiffPlacement> PlacementOfTags(const std::vector<double>& scale,
                                                 const std::vector<double>& tie,
                                                 const std::vector<double>& matrix,
                                                 uint16_t rasterType) {
  double sx = 1, sy = 1, originX = 0, originY = 0, rowTerm = 0, columnTerm = 0;
  if (scale.size() >= 2 && tie.size() >= 6) {
    sx = scale[0];
    sy = scale[1];
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
  placement.CellSizeY = std::fabs(sy);
  placement.RowTermX = rowTerm;
  placement.ColumnTermY = columnTerm;
  placement.OriginX = originX;
  placement.OriginY = originY;
  return placement;
}

}  // namespace mirava

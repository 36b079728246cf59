// What a coordinate system's EPSG code stands for (PROJ), and the ER Mapper
// names that state a code in ER Mapper, OSD and ECW files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "raster/Error.h"
#include "raster/Georeference.h"

namespace mirava {

// What the EPSG database (PROJ) tells of a code; Known false when it has no
// such coordinate system, or one that is neither geographic nor projected.
struct TEpsgFacts {
  bool Known = false;
  bool Geographic = false;
  uint16_t LinearUnit = 0;  // EPSG code of a projected system's unit, 0 unknown
  bool Feet = false;        // the unit is a foot (international or US survey)
  bool NorthFirst = false;  // latitude or northing is its first axis
};
TEpsgFacts EpsgFacts(int code);

// The coordinate system a user names: "EPSG:n" or n, WKT, or a PROJ
// string, which the EPSG database must identify (a system without a code
// cannot be stated by every format). A failure says why.
TError CoordinateSystemOfText(const std::string& text, TCoordinateSystem& crs);

// The names the EPSG database gives a code's coordinate system, its datum
// and its ellipsoid; empty where it has none.
struct TEpsgNames {
  std::string System, Datum, Ellipsoid;
};
TEpsgNames EpsgNames(int code);

// How an ER Mapper header names a coordinate system.
struct TErMapperNames {
  std::string Projection, Datum, Spheroid;
  bool Feet = false;  // Units = "FEET"
};
// ER Mapper's own names where it has them (NUTMzz/SUTMzz with the datum,
// MGAzz, TMGKNz, GEODETIC), otherwise "EPSG:n" as datum and projection.
TErMapperNames ErMapperNamesOf(int code);
// The EPSG code that ER Mapper names (quoted or not, any case) stand for;
// 0 when they name none.
int EpsgOfErMapperNames(const std::string& projection, const std::string& datum);

// Whether ER Mapper-style names (ER Mapper, OSD and ECW headers) state
// `crs`: by its EPSG code; a system without a code they cannot.
bool ErMapperNamesState(const TCoordinateSystem& crs);
// The names such a header writes for `crs`: its code's, "RAW" for a system
// without a code rather than names that would be wrong, else those `given`.
TErMapperNames ErMapperNamesFor(const TCoordinateSystem& crs, const TErMapperNames& given);

// Names that state no coordinate system: "RAW", "UNKNOWN" or nothing.
bool NamesNoSystem(const std::string& name);

// The system in a few words, for "coordinate system not written: ...".
std::string DescribeCoordinateSystem(const TCoordinateSystem& crs);

}  // namespace mirava

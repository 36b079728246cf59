#include "formats/header/HgtMap.h"

#include <sys/stat.h>

#include <cerrno>

#include "dataset/OutputChecks.h"
#include "text/CompanionFile.h"
#include "text/FileNames.h"
#include "text/TextUtils.h"

namespace mirava {

constexpr double kRadiansPerDegree = 0.017453292519943295769;

// Distance between heights of a tile of `samples` a side, in radians.
static double HgtCellSize(uint32_t samples) {
  // 3 arc-seconds as these tiles have always been read (bits
  // 3EEE80788C7F4A01), a third of it for 1 arc-second tiles.
  constexpr double kThreeSeconds = 1.4544410433280261e-05;
  return samples == kHgtSamples1 ? kThreeSeconds / 3 : kThreeSeconds;
}

static uint64_t HgtFileSize(uint32_t samples) { return 2ull * samples * samples; }

bool THgtHeader::ReadHeader(const std::string& fileName) {
  Georeferenced = true;  // by its name
  Spheroid = "WE";
  Datum = "WGS84";
  Projection = "Geografic";
  MSBFirst = true;
  CellType = ctSigned16;
  CellSizeX = CellSizeY = HgtCellSize(Samples);
  Bands = 1;
  Rows = Columns = Samples;
  RegistrationCellX = RegistrationCellY = 0;
  // N45E006: the tile's south-west corner; either letter in either case.
  const std::string name = ExtractFileName(fileName);
  auto at = [&](size_t i) { return i < name.size() ? name[i] : '\0'; };
  auto number = [&](size_t first, size_t count) {
    return first < name.size() ? ParseIntDef(name.substr(first, count), 0) : 0;
  };
  double latitude = static_cast<double>(number(1, 2));
  if (at(0) == 'S' || at(0) == 's') latitude = -latitude;
  latitude += 1;
  double longitude = static_cast<double>(number(4, 3));
  if (at(3) == 'W' || at(3) == 'w') longitude = -longitude;
  // Cell (0, 0) is centred on the north-west corner, so its outer corner
  // lies half a cell to the west and north.
  RegistrationX = longitude * kRadiansPerDegree - CellSizeX / 2;
  RegistrationY = latitude * kRadiansPerDegree + CellSizeY / 2;
  return true;
}

THgtMap2::THgtMap2() : THeadMap2(std::make_unique<THgtHeader>()) {}

void THgtMap2::SetFileName(const std::string& fileName) {
  FileName = CompanionFile(fileName, ".hgt");
  Header->HeaderFileName = RemoveFileExt(fileName);
}

std::optional<std::string> THgtMap2::WriteRefusal(const TRasterShape& shape) {
  return Signed16Refusal("HGT", shape.CellType, shape.Bands);
}

bool THgtMap2::Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                    uint32_t bands, uint8_t mode) {
  SetFileName(fileName);
  auto& hgt = static_cast<THgtHeader&>(*Header);
  if (mode == omCreate) {
    // Nothing records a tile's size but its file size, so no other size
    // could be placed by any reader.
    if (const auto why = WriteRefusal({bands, cellType})) return Fail(TErrorCode::Refused, *why);
    if (rows != columns || (rows != kHgtSamples3 && rows != kHgtSamples1))
      return Fail(TErrorCode::Refused,
                  "HGT tiles are 1201 x 1201 or 3601 x 3601 heights; the output would be " +
                      std::to_string(columns) + " x " + std::to_string(rows));
    hgt.Samples = rows;
    const double cellSize = HgtCellSize(rows);
    Header->Setup(rows, columns, 1, cellSize, cellSize, 0, 0, 0, 0, "", "", "", ctSigned16);
    Header->MSBFirst = true;
    if (!OpenRaster(FileName, columns, rows, ctSigned16, 1, omCreate, true)) {
      return FailOpen("Open map write error=");
    }
    return true;
  }
  if (mode != omRead && mode != omReadWrite) return true;
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

}  // namespace mirava

#include "dataset/DataSetRoot.h"

#include <algorithm>

namespace mirava {

std::vector<std::array<uint8_t, 3>> EightBitColors(const TColorTable& table, size_t size) {
  const bool eightBit = std::all_of(table.begin(), table.end(), [](const auto& e) {
    return e[0] <= 255 && e[1] <= 255 && e[2] <= 255;
  });
  const uint16_t divisor = eightBit ? 1 : 257;
  std::vector<std::array<uint8_t, 3>> colors(size, {0, 0, 0});
  for (size_t i = 0; i < std::min(size, table.size()); ++i)
    for (size_t c = 0; c < 3; ++c) colors[i][c] = static_cast<uint8_t>(table[i][c] / divisor);
  return colors;
}

TAffine TDataSetRoot2::Affine() {
  return {GetCellSizeX(), ColumnTermY, RowTermX, GetCellSizeY(), GetOriginX(), GetOriginY()};
}

void TDataSetRoot2::KeepGeoreference(const std::string& spheroid, const std::string& datum,
                                     double cellSizeX, double cellSizeY, double registrationCellX,
                                     double registrationCellY, double registrationX,
                                     double registrationY, const std::string& projection) {
  Spheroid = spheroid;
  Datum = datum;
  Projection = projection;
  CellSizeX = cellSizeX;
  CellSizeY = cellSizeY;
  RegistrationCellX = 0;
  RegistrationCellY = 0;
  RegistrationX = registrationX - registrationCellX * cellSizeX;
  RegistrationY = registrationY + registrationCellY * cellSizeY;
  Georeferenced = true;
}

void TDataSetRoot2::TakeWorldFile(const TWorldFile& world) {
  Georeferenced = true;
  CellSizeX = world.CellSizeX;
  CellSizeY = world.CellSizeY;
  ColumnTermY = world.ColumnTermY;
  RowTermX = world.RowTermX;
  RegistrationX = world.OriginX();
  RegistrationY = world.OriginY();
  Projection = Datum = Spheroid = "UNKNOWN";
}

void TDataSetRoot2::ResetGeoreference() {
  RegistrationCellX = RegistrationCellY = 0;
  RegistrationX = RegistrationY = 0;
  CellSizeX = CellSizeY = 1;
  Projection = Datum = Spheroid = "RAW";
  Georeferenced = false;
  if (OpenMode != omCreate) SetExtras({});
}

bool TDataSetRoot2::SaveWorldFile(const std::string& name, const TWorldFile& world) {
  std::string error;
  if (world.Write(name, error)) return true;
  return Fail(TErrorCode::IO, "World file " + name + " not written: " + error);
}

void TDataSetRoot2::PixelToWorld(double column, double row, double& x, double& y) {
  x = GetCellSizeX() * column + GetOriginX();
  y = GetOriginY() - GetCellSizeY() * row;
}

void TDataSetRoot2::WorldToPixel(double x, double y, double& column, double& row) {
  column = (x - GetOriginX()) / GetCellSizeX();
  row = (GetOriginY() - y) / GetCellSizeY();
}

}  // namespace mirava

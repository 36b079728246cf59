#include "dataset/DataSetRoot.h"

namespace mirava {

TAffine TDataSetRoot2::Affine() {
  return {GetCellSizeX(), ColumnTermY, RowTermX, GetCellSizeY(), GetRegistrationX(),
          GetRegistrationY()};
}

bool TDataSetRoot2::SaveWorldFile(const std::string& name, const TWorldFile& world) {
  std::string error;
  if (world.Write(name, error)) return true;
  return Fail(TErrorCode::IO, "World file " + name + " not written: " + error);
}

void TDataSetRoot2::PixelToWorld(double column, double row, double& x,
                                 double& y) {
  x = GetCellSizeX() * column + GetOriginX();
  y = GetOriginY() - GetCellSizeY() * row;
}

void TDataSetRoot2::WorldToPixel(double x, double y, double& column,
                                 double& row) {
  column = (x - GetOriginX()) / GetCellSizeX();
  row = (GetOriginY() - y) / GetCellSizeY();
}

}  // namespace mirava

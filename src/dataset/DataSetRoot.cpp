#include "dataset/DataSetRoot.h"

namespace mirava {

TAffine TDataSetRoot2::Affine() {
  return {GetCellSizeX(), ColumnTermY, RowTermX, GetCellSizeY(), GetRegistrationX(),
          GetRegistrationY()};
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

#include "job/PhotoLayer.h"

namespace mirava {

bool TPhotoLayer::SwapsAxes() const {
  return KindValue == tkRotate90CCW || KindValue == tkRotate90CW;
}

void TPhotoLayer::OutputSize(int32_t& rows, int32_t& columns) const {
  rows = SwapsAxes() ? WidthValue : HeightValue;
  columns = SwapsAxes() ? HeightValue : WidthValue;
}

double TPhotoLayer::OutputX(double c, double r) const {
  const double w1 = static_cast<double>(WidthValue - 1);
  const double h1 = static_cast<double>(HeightValue - 1);
  const double s = ScaleValue;
  switch (KindValue) {
    case tkMirrorHorizontal:
      return (w1 - c) * s;
    case tkRotate90CCW:
      return r * s;
    case tkRotate90CW:
      return (h1 - r) * s;
    case tkMirrorVertical:
      return c * s;
    case tkRotate180:
      return (w1 - c) * s;
    default:
      return c * s;
  }
}

double TPhotoLayer::OutputY(double c, double r) const {
  const double w1 = static_cast<double>(WidthValue - 1);
  const double h1 = static_cast<double>(HeightValue - 1);
  const double s = ScaleValue;
  switch (KindValue) {
    case tkMirrorHorizontal:
      return -r * s;
    case tkRotate90CCW:
      return -(w1 - c) * s;
    case tkRotate90CW:
      return -c * s;
    case tkMirrorVertical:
      return -(h1 - r) * s;
    case tkRotate180:
      return -(h1 - r) * s;
    default:
      return -r * s;
  }
}

double TPhotoLayer::InputColumn(double x, double y) const {
  const double w1 = static_cast<double>(WidthValue - 1);
  const double s = ScaleValue;
  switch (KindValue) {
    case tkMirrorHorizontal:
      return w1 - x / s;
    case tkRotate90CCW:
      return w1 + y / s;
    case tkRotate90CW:
      return -y / s;
    case tkMirrorVertical:
      return x / s;
    case tkRotate180:
      return w1 - x / s;
    default:
      return x / s;
  }
}

double TPhotoLayer::InputRow(double x, double y) const {
  const double h1 = static_cast<double>(HeightValue - 1);
  const double s = ScaleValue;
  switch (KindValue) {
    case tkMirrorHorizontal:
      return -y / s;
    case tkRotate90CCW:
      return x / s;
    case tkRotate90CW:
      return h1 - x / s;
    case tkMirrorVertical:
      return h1 + y / s;
    case tkRotate180:
      return h1 + y / s;
    default:
      return -y / s;
  }
}

void MoveControlPoint(const TPhotoLayer& layer, double& column, double& row) {
  // The forward pair works on pixel centres; control points are measured
  // from the cell's outer corner, half a cell away.
  const double c = column - 0.5;
  const double r = row - 0.5;
  const double s = layer.Scale();
  column = layer.OutputX(c, r) / s + 0.5;
  row = -layer.OutputY(c, r) / s + 0.5;
}

}  // namespace mirava

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

TAffine GroundAffine(const TPhotoLayer& layer, const TAffine& input) {
  // The inverse pair is affine: the input position under output position
  // (j, i), both from the outer corner of cell (0, 0), is
  // (c0 + cj j + ci i, r0 + rj j + ri i). Every term is a whole number or
  // a half, so three evaluations give them exactly.
  const double s = layer.Scale();
  auto source = [&](double j, double i, double& c, double& r) {
    c = layer.InputColumn((j - 0.5) * s, -(i - 0.5) * s) + 0.5;
    r = layer.InputRow((j - 0.5) * s, -(i - 0.5) * s) + 0.5;
  };
  double c0, r0, c1, r1, c2, r2;
  source(0, 0, c0, r0);
  source(1, 0, c1, r1);
  source(0, 1, c2, r2);
  const double cj = c1 - c0, rj = r1 - r0, ci = c2 - c0, ri = r2 - r0;
  // x = CellSizeX c + RowTermX r + X0, y = ColumnTermY c - CellSizeY r + Y0;
  // adding 0.0 turns the -0 of a product by -1 into 0.
  TAffine out;
  out.CellSizeX = input.CellSizeX * cj + input.RowTermX * rj + 0.0;
  out.ColumnTermY = input.ColumnTermY * cj - input.CellSizeY * rj + 0.0;
  out.RowTermX = input.CellSizeX * ci + input.RowTermX * ri + 0.0;
  out.CellSizeY = input.CellSizeY * ri - input.ColumnTermY * ci + 0.0;
  out.X0 = input.X0 + input.CellSizeX * c0 + input.RowTermX * r0;
  out.Y0 = input.Y0 + input.ColumnTermY * c0 - input.CellSizeY * r0;
  return out;
}

}  // namespace mirava

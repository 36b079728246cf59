#include "raster/Placement.h"

namespace mirava {

std::optional<TPlacement> PlacementOfKind(int kind) {
  if (kind < KindOf(TPlacement::None) || kind > KindOf(TPlacement::Rotate180)) return std::nullopt;
  return static_cast<TPlacement>(kind);
}

void TPhotoLayer::OutputSize(int32_t& rows, int32_t& columns) const {
  rows = Turns() ? WidthValue : HeightValue;
  columns = Turns() ? HeightValue : WidthValue;
}

double TPhotoLayer::OutputX(double c, double r) const {
  const double w1 = static_cast<double>(WidthValue - 1);
  const double h1 = static_cast<double>(HeightValue - 1);
  switch (Kind) {
    case TPlacement::MirrorHorizontal:
      return w1 - c;
    case TPlacement::Rotate90CCW:
      return r;
    case TPlacement::Rotate90CW:
      return h1 - r;
    case TPlacement::MirrorVertical:
      return c;
    case TPlacement::Rotate180:
      return w1 - c;
    default:
      return c;
  }
}

double TPhotoLayer::OutputY(double c, double r) const {
  const double w1 = static_cast<double>(WidthValue - 1);
  const double h1 = static_cast<double>(HeightValue - 1);
  switch (Kind) {
    case TPlacement::MirrorHorizontal:
      return -r;
    case TPlacement::Rotate90CCW:
      return -(w1 - c);
    case TPlacement::Rotate90CW:
      return -c;
    case TPlacement::MirrorVertical:
      return -(h1 - r);
    case TPlacement::Rotate180:
      return -(h1 - r);
    default:
      return -r;
  }
}

double TPhotoLayer::InputColumn(double x, double y) const {
  const double w1 = static_cast<double>(WidthValue - 1);
  switch (Kind) {
    case TPlacement::MirrorHorizontal:
      return w1 - x;
    case TPlacement::Rotate90CCW:
      return w1 + y;
    case TPlacement::Rotate90CW:
      return -y;
    case TPlacement::MirrorVertical:
      return x;
    case TPlacement::Rotate180:
      return w1 - x;
    default:
      return x;
  }
}

double TPhotoLayer::InputRow(double x, double y) const {
  const double h1 = static_cast<double>(HeightValue - 1);
  switch (Kind) {
    case TPlacement::MirrorHorizontal:
      return -y;
    case TPlacement::Rotate90CCW:
      return x;
    case TPlacement::Rotate90CW:
      return h1 - x;
    case TPlacement::MirrorVertical:
      return h1 + y;
    case TPlacement::Rotate180:
      return h1 + y;
    default:
      return -y;
  }
}

void MoveControlPoint(const TPhotoLayer& layer, double& column, double& row) {
  // The forward pair works on pixel centres; control points are measured
  // from the cell's outer corner, half a cell away.
  const double c = column - 0.5;
  const double r = row - 0.5;
  column = layer.OutputX(c, r) + 0.5;
  row = -layer.OutputY(c, r) + 0.5;
}

TAffine GroundAffine(const TPhotoLayer& layer, const TAffine& input) {
  // The inverse pair is affine: the input position under output position
  // (j, i), both from the outer corner of cell (0, 0), is
  // (c0 + cj j + ci i, r0 + rj j + ri i). Every term is a whole number or
  // a half, so three evaluations give them exactly.
  auto source = [&](double j, double i, double& c, double& r) {
    c = layer.InputColumn(j - 0.5, -(i - 0.5)) + 0.5;
    r = layer.InputRow(j - 0.5, -(i - 0.5)) + 0.5;
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

// The six placements a job makes of a raster, and where each pixel lands
// under them. The inverse pair maps an output cell to the input pixel it is
// filled from; the forward pair moves a pixel (or a control point) into the
// output.
#pragma once

#include <cstdint>
#include <optional>

#include "raster/Georeference.h"

namespace mirava {

// The values are the kind numbers users type.
enum class TPlacement : uint8_t {
  None = 0,
  MirrorHorizontal = 1,
  Rotate90CCW = 2,
  Rotate90CW = 3,
  MirrorVertical = 4,
  Rotate180 = 5,
};

// The placement a kind number names; none for a number that names none.
std::optional<TPlacement> PlacementOfKind(int kind);
inline int KindOf(TPlacement placement) { return static_cast<int>(placement); }

// What the copy paths and the JPEG coefficient placement ask of a
// placement. The quarter turns exchange rows and columns.
inline bool Turns(TPlacement placement) {
  return placement == TPlacement::Rotate90CCW || placement == TPlacement::Rotate90CW;
}
inline bool CounterClockwise(TPlacement placement) {
  return placement == TPlacement::Rotate90CCW;
}
// The input's columns are met right to left (the output takes its right
// edge first), or its rows bottom up.
inline bool ReversesColumns(TPlacement placement) {
  return placement == TPlacement::MirrorHorizontal || placement == TPlacement::Rotate180 ||
         placement == TPlacement::Rotate90CCW;
}
inline bool ReversesRows(TPlacement placement) {
  return placement == TPlacement::MirrorVertical || placement == TPlacement::Rotate180 ||
         placement == TPlacement::Rotate90CW;
}

// A placement of an input of Width x Height cells.
class TPhotoLayer {
 public:
  TPhotoLayer() = default;
  TPhotoLayer(TPlacement placement, int32_t width, int32_t height)
      : Kind(placement), WidthValue(width), HeightValue(height) {}

  TPlacement Placement() const { return Kind; }
  int32_t Width() const { return WidthValue; }
  int32_t Height() const { return HeightValue; }
  void SetSize(int32_t width, int32_t height) {
    WidthValue = width;
    HeightValue = height;
  }

  // Output rows and columns.
  void OutputSize(int32_t& rows, int32_t& columns) const;
  bool Turns() const { return mirava::Turns(Kind); }
  bool CounterClockwise() const { return mirava::CounterClockwise(Kind); }
  bool ReversesColumns() const { return mirava::ReversesColumns(Kind); }
  bool ReversesRows() const { return mirava::ReversesRows(Kind); }

  // Of pixel centres: output x grows with the output's columns, y is the
  // negated output row.
  double OutputX(double column, double row) const;
  double OutputY(double column, double row) const;
  double InputColumn(double x, double y) const;
  double InputRow(double x, double y) const;

 private:
  TPlacement Kind = TPlacement::None;
  int32_t WidthValue = 0;
  int32_t HeightValue = 0;
};

// Moves a control point, whose position is measured from the outer corner
// of cell (0, 0), so that it stays on the same spot of the picture.
void MoveControlPoint(const TPhotoLayer& layer, double& column, double& row);

// The georeference that keeps every output cell over the ground of the
// input cell it comes from: the input's affine model, about the outer
// corner of cell (0, 0), composed with the inverse placement. Flips and
// turns give it columns or rows that run the other way, or rotation terms
// with cell sizes of 0; a south-up input flipped top to bottom comes out
// north-up.
TAffine GroundAffine(const TPhotoLayer& layer, const TAffine& input);

}  // namespace mirava

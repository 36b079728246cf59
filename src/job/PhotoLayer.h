// Where each pixel lands under the six placements. The inverse pair maps an
// output cell to the input pixel it is filled from; the forward pair moves
// a pixel (or a control point) into the output.
#pragma once

#include <cstdint>
#include <functional>

#include "georef/WorldFile.h"

namespace mirava {

enum : int32_t {
  tkNone = 0,
  tkMirrorHorizontal = 1,
  tkRotate90CCW = 2,
  tkRotate90CW = 3,
  tkMirrorVertical = 4,
  tkRotate180 = 5,
};

class TPhotoLayer {
 public:
  using TNotify = std::function<void(TPhotoLayer&)>;

  virtual ~TPhotoLayer() = default;

  int32_t Kind() const { return KindValue; }
  double Scale() const { return ScaleValue; }
  int32_t Width() const { return WidthValue; }
  int32_t Height() const { return HeightValue; }
  void SetKind(int32_t v) { Change(KindValue, v); }
  void SetScale(double v) { Change(ScaleValue, v); }
  void SetWidth(int32_t v) { Change(WidthValue, v); }
  void SetHeight(int32_t v) { Change(HeightValue, v); }

  // Output rows and columns for an input of Width x Height.
  void OutputSize(int32_t& rows, int32_t& columns) const;
  // Kinds 2 and 3 exchange rows and columns.
  bool SwapsAxes() const;

  virtual double OutputX(double column, double row) const;
  virtual double OutputY(double column, double row) const;
  virtual double InputColumn(double x, double y) const;
  virtual double InputRow(double x, double y) const;

  TNotify OnChange;

 private:
  template <typename T>
  void Change(T& field, T value) {
    if (field == value) return;
    field = value;
    if (OnChange) OnChange(*this);
  }
  int32_t KindValue = 0;
  double ScaleValue = 1.0;
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

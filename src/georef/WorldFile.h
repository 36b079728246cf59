// World files: six numbers beside an image that place it in the world.
// Lines 5 and 6 name the centre of the top-left pixel (the convention every
// GIS follows), while this program registers rasters at the outer corner of
// cell (0, 0): OriginX/OriginY and FromOrigin convert between the two.
#pragma once

#include <string>

#include "raster/Error.h"
#include "raster/Georeference.h"
#include "text/FileMaker.h"

namespace mirava {

struct TWorldFile {
  double CellSizeX = 1;    // line 1: world X change per column
  double ColumnTermY = 0;  // line 2: world Y change per column
  double RowTermX = 0;     // line 3: world X change per row
  double CellSizeY = 1;    // line 4 negated: positive when rows run south
  double CentreX = 0;      // line 5: centre of the top-left pixel
  double CentreY = 0;      // line 6
  int Lines = 0;           // number lines the file held

  // Outer top-left corner of cell (0, 0).
  double OriginX() const { return CentreX - CellSizeX / 2 - RowTermX / 2; }
  double OriginY() const { return CentreY - ColumnTermY / 2 + CellSizeY / 2; }
  static TWorldFile FromOrigin(const TAffine& affine);

  // Missing lines and unparsable ones keep the defaults above. False when
  // the file cannot be read or holds no line at all.
  bool Read(const std::string& fileName);
  // Fixed notation, 14 decimals, right-aligned in 18 characters, CR LF.
  // Made by `files` (an output's, under a temporary name); the failure,
  // naming the file, when it could not be written.
  TError Write(const std::string& fileName, TFileMaker& files) const;
};

}  // namespace mirava

// Checks a format that cannot hold every raster makes when it is created,
// before any file is touched. Each gives the request's refusal (a TError
// of code Refused), no failure when it fits.
#pragma once

#include <cstdint>
#include <string>

#include "raster/Error.h"

namespace mirava {

// What an output is asked to hold, apart from its size (which the format's
// create checks). Cell sizes of 0 are not known yet.
struct TRasterShape {
  uint32_t Bands = 1;
  uint8_t CellType = 0;
  double CellSizeX = 0;
  double CellSizeY = 0;
  bool ColorTable = false;  // one band of a palette's indices
};

// One band of signed 16-bit cells: 8-bit and signed 16-bit cells convert
// exactly, wider ones would be cut.
TError Signed16Refusal(const std::string& format, uint8_t cellType, uint32_t bands);
// A picture of one grey or three colour bands of bytes.
TError BytePictureRefusal(const std::string& format, const TRasterShape& shape);
// Cells stored as 32-bit floats: those of 64-bit floats and unsigned 32-bit
// integers would not come back.
TError FloatCellRefusal(const std::string& format, uint8_t cellType);
// One stored cell size: the cells count as square while the difference of
// their sizes over the `cellsAcross` cells of the raster's longer side (0:
// not known yet, taken as 1) stays under half a cell, so that no cell of
// the output lies half a cell from where the input has it. None while the
// cell sizes are not known.
TError SquareCellRefusal(const std::string& format, double cellSizeX, double cellSizeY,
                         uint64_t cellsAcross);

}  // namespace mirava

#include "dataset/OutputChecks.h"

#include <algorithm>
#include <cmath>

#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

TError Signed16Refusal(const std::string& format, uint8_t cellType, uint32_t bands) {
  if (bands != 1)
    return TError::Refused(format + " files hold one band; the input has " + std::to_string(bands));
  if (cellType == ctUnsigned8 || cellType == ctSigned8 || cellType == ctSigned16) return {};
  return TError::Refused(format + " files hold signed 16-bit cells; " + CellTypeWords(cellType) +
                         " cells cannot be written exactly");
}

TError BytePictureRefusal(const std::string& format, const TRasterShape& shape) {
  if (shape.CellType != ctUnsigned8)
    return TError::Refused(format + " files support only byte data, not " +
                           CellTypeWords(shape.CellType) + " cells");
  if (shape.Bands != 1 && shape.Bands != 3)
    return TError::Refused(format + " files hold 1 or 3 bands, not " + std::to_string(shape.Bands));
  return {};
}

TError FloatCellRefusal(const std::string& format, uint8_t cellType) {
  if (cellType != ctFloat64 && cellType != ctUnsigned32) return {};
  return TError::Refused(format + " files hold 32-bit floats; " + CellTypeWords(cellType) +
                         " cells cannot be written exactly");
}

TError SquareCellRefusal(const std::string& format, double cellSizeX, double cellSizeY,
                         uint64_t cellsAcross) {
  const double across = static_cast<double>(std::max<uint64_t>(cellsAcross, 1));
  if (cellSizeX == 0 || cellSizeY == 0 ||
      std::fabs(cellSizeX - cellSizeY) * across <
          0.5 * std::min(std::fabs(cellSizeX), std::fabs(cellSizeY)))
    return {};
  return TError::Refused(format + " files hold square cells; the input's are " +
                         FormatGeneral(cellSizeX) + " by " + FormatGeneral(cellSizeY) +
                         ", which differ by " +
                         FormatGeneral(std::fabs(cellSizeX - cellSizeY) * across /
                                       std::min(std::fabs(cellSizeX), std::fabs(cellSizeY))) +
                         " cells across the raster");
}

}  // namespace mirava

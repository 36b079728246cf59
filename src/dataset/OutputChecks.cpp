#include "dataset/OutputChecks.h"

#include <algorithm>
#include <cmath>

#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

std::optional<std::string> Signed16Refusal(const std::string& format, uint8_t cellType,
                                           uint32_t bands) {
  if (bands != 1) return format + " files hold one band; the input has " + std::to_string(bands);
  if (cellType == ctUnsigned8 || cellType == ctSigned8 || cellType == ctSigned16)
    return std::nullopt;
  return format + " files hold signed 16-bit cells; " + CellTypeWords(cellType) +
         " cells cannot be written exactly";
}

std::optional<std::string> BytePictureRefusal(const std::string& format,
                                              const TRasterShape& shape) {
  if (shape.CellType != ctUnsigned8)
    return format + " files support only byte data, not " + CellTypeWords(shape.CellType) +
           " cells";
  if (shape.Bands != 1 && shape.Bands != 3)
    return format + " files hold 1 or 3 bands, not " + std::to_string(shape.Bands);
  return std::nullopt;
}

std::optional<std::string> FloatCellRefusal(const std::string& format, uint8_t cellType) {
  if (cellType != ctFloat64 && cellType != ctUnsigned32) return std::nullopt;
  return format + " files hold 32-bit floats; " + CellTypeWords(cellType) +
         " cells cannot be written exactly";
}

std::optional<std::string> SquareCellRefusal(const std::string& format, double cellSizeX,
                                             double cellSizeY, uint64_t cellsAcross) {
  const double across = static_cast<double>(std::max<uint64_t>(cellsAcross, 1));
  if (cellSizeX == 0 || cellSizeY == 0 ||
      std::fabs(cellSizeX - cellSizeY) * across <
          0.5 * std::min(std::fabs(cellSizeX), std::fabs(cellSizeY)))
    return std::nullopt;
  return format + " files hold square cells; the input's are " + FormatGeneral(cellSizeX) + " by " +
         FormatGeneral(cellSizeY) + ", which differ by " +
         FormatGeneral(std::fabs(cellSizeX - cellSizeY) * across /
                       std::min(std::fabs(cellSizeX), std::fabs(cellSizeY))) +
         " cells across the raster";
}

}  // namespace mirava

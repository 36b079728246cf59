#include "raster/CellType.h"

namespace mirava {

const uint32_t CellWidth[kCellTypeCount] = {0, 1, 1, 2, 2, 4, 4, 3, 8, 16, 1, 4};

uint32_t CellTypeWidth(uint8_t cellType) {
  return cellType < kCellTypeCount ? CellWidth[cellType] : 1;
}

bool CellTypeConvertible(uint8_t cellType) {
  return (cellType >= ctUnsigned8 && cellType <= ctFloat32) || cellType == ctFloat64 ||
         cellType == ctUnsigned32;
}

const char* const CellTypeNames[kCellTypeCount] = {"ONEBIT",
                                                   "UNSIGNED8BITINTEGER",
                                                   "SIGNED8BITINTEGER",
                                                   "SIGNED16BITINTEGER",
                                                   "UNSIGNED16BITINTEGER",
                                                   "SIGNED32BITINTEGER",
                                                   "SIGNED32BITSINGLE",
                                                   "RGB24BIT",
                                                   "SIGNED64BITDOUBLE",
                                                   "POINT2DDOUBLE",
                                                   "",
                                                   "UNSIGNED32BITINTEGER"};

std::string CellTypeWords(uint8_t cellType) {
  static const char* const words[kCellTypeCount] = {"1-bit",
                                                    "unsigned 8-bit integer",
                                                    "signed 8-bit integer",
                                                    "signed 16-bit integer",
                                                    "unsigned 16-bit integer",
                                                    "signed 32-bit integer",
                                                    "32-bit float",
                                                    "24-bit RGB",
                                                    "64-bit float",
                                                    "pair of 64-bit floats",
                                                    "unrecognised",
                                                    "unsigned 32-bit integer"};
  return cellType < kCellTypeCount ? words[cellType] : words[ctUnknown];
}

uint8_t ParseCellType(const std::string& word) {
  for (uint8_t code = ctUnsigned8; code < kCellTypeCount; ++code)
    if (CellTypeConvertible(code) && word == CellTypeNames[code]) return code;
  // The names ER Mapper itself and GDAL write for floating-point cells.
  if (word == "IEEE4BYTEREAL") return ctFloat32;
  if (word == "IEEE8BYTEREAL") return ctFloat64;
  return ctUnknown;
}

}  // namespace mirava

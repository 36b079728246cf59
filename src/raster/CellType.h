// The cell types a raster's cells may have: their codes (those ER Mapper
// headers and the formats' tables use), widths in bytes and names.
#pragma once

#include <cstdint>
#include <string>

namespace mirava {

enum : uint8_t {
  ctOneBit = 0,
  ctUnsigned8 = 1,
  ctSigned8 = 2,
  ctSigned16 = 3,
  ctUnsigned16 = 4,
  ctSigned32 = 5,
  ctFloat32 = 6,
  ctThreeBytes = 7,
  ctFloat64 = 8,
  ctSixteenBytes = 9,
  ctUnknown = 10,
  ctUnsigned32 = 11,
};
constexpr int kCellTypeCount = 12;
extern const uint32_t CellWidth[kCellTypeCount];
uint32_t CellTypeWidth(uint8_t cellType);
// The types the mapped grid converts to and from numbers.
bool CellTypeConvertible(uint8_t cellType);

// ER Mapper's names of the cell types ("IEEE4BYTEREAL" is read as well).
extern const char* const CellTypeNames[kCellTypeCount];
// The cell type as a person names it ("32-bit float"), for messages.
std::string CellTypeWords(uint8_t cellType);
uint8_t ParseCellType(const std::string& word);

}  // namespace mirava

// Checks a format that cannot hold every raster makes when it is created,
// before any file is touched. Each gives an empty text when the request
// fits, else the reason it is refused.
#pragma once

#include <cstdint>
#include <string>

namespace mirava {

// One band of signed 16-bit cells: 8-bit and signed 16-bit cells convert
// exactly, wider ones would be cut.
std::string Signed16Refusal(const std::string& format, uint8_t cellType,
                            uint32_t bands);
// One stored cell size: the cells must be square to the digits we keep.
std::string SquareCellRefusal(const std::string& format, double cellSizeX,
                              double cellSizeY);

}  // namespace mirava

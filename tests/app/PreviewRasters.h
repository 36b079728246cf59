// Rasters for the preview's tests: one with a colour in each quarter and a
// control point near its top-left corner, one of 16-bit heights with voids.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "../TestRasters.h"

namespace mirava::test {

constexpr uint32_t kCornerColumns = 40, kCornerRows = 30;
constexpr double kPointColumn = 4.5, kPointRow = 3.5;
// Red, green, blue, yellow: top left, top right, bottom left, bottom right.
constexpr std::array<uint32_t, 4> kCornerColours = {0xffff0000u, 0xff00ff00u, 0xff0000ffu,
                                                    0xffffff00u};

inline void WriteCornerRaster(const std::string& headerPath) {
  TestRaster testRaster;
  testRaster.Columns = kCornerColumns;
  testRaster.Rows = kCornerRows;
  testRaster.Bands = 3;
  testRaster.Extra =
      "\t\tWarpControl Begin\n\t\t\tControlPoints = {\n\t\t\t\t\"P1\" Yes No 4.5 3.5 6 50 0\n"
      "\t\t\t}\n\t\tWarpControl End\n";
  WriteErs(headerPath, testRaster);
  std::vector<uint8_t> data;
  for (uint32_t r = 0; r < testRaster.Rows; ++r)
    for (uint32_t b = 0; b < 3; ++b)
      for (uint32_t c = 0; c < testRaster.Columns; ++c) {
        const uint32_t colour = kCornerColours[(r < testRaster.Rows / 2 ? 0 : 2) +
                                               (c < testRaster.Columns / 2 ? 0 : 1)];
        data.push_back(static_cast<uint8_t>(colour >> (16 - 8 * b)));
      }
  WriteBytes(headerPath.substr(0, headerPath.rfind('.')), data);
}

// 100 x 50 heights of 1000 + 10 x column, voids (-32768) in the first ten
// columns of the first ten rows and one spike of 30000 at column 99, row 49.
constexpr uint32_t kHeightColumns = 100, kHeightRows = 50;
inline void WriteHeightRaster(const std::string& headerPath) {
  TestRaster testRaster;
  testRaster.Columns = kHeightColumns;
  testRaster.Rows = kHeightRows;
  testRaster.Bands = 1;
  testRaster.CellType = "Signed16BitInteger";
  testRaster.Width = 2;
  testRaster.Signed = true;
  WriteErs(headerPath, testRaster);
  std::vector<uint8_t> data;
  for (uint32_t r = 0; r < testRaster.Rows; ++r)
    for (uint32_t c = 0; c < testRaster.Columns; ++c) {
      int v = 1000 + 10 * static_cast<int>(c);
      if (r < 10 && c < 10) v = -32768;
      if (r == 49 && c == 99) v = 30000;
      data.push_back(static_cast<uint8_t>(v));
      data.push_back(static_cast<uint8_t>(v >> 8));
    }
  WriteBytes(headerPath.substr(0, headerPath.rfind('.')), data);
}

// A byte raster of side x side cells, all 0 and sparse on disk.
inline void WriteSparseRaster(const std::string& headerPath, uint32_t side) {
  const std::string n = std::to_string(side);
  WriteText(headerPath,
            "DatasetHeader Begin\n\tVersion\t= \"6.0\"\n\tDataSetType\t= ERStorage\n"
            "\tDataType\t= Raster\n\tByteOrder\t= LSBFirst\n"
            "\tCoordinateSpace Begin\n\t\tDatum\t= \"RAW\"\n\t\tProjection\t= \"RAW\"\n"
            "\t\tCoordinateType\t= RAW\n\tCoordinateSpace End\n"
            "\tRasterInfo Begin\n\t\tCellType\t= Unsigned8BitInteger\n"
            "\t\tNrOfLines = " +
                n + "\n\t\tNrOfCellsPerLine\t= " + n +
                "\n\t\tNrOfBands\t= 1\n\tRasterInfo End\nDatasetHeader End\n");
  const std::string data = headerPath.substr(0, headerPath.rfind('.'));
  WriteText(data, "");
  std::filesystem::resize_file(data, uint64_t{side} * side);
}

// The corner colours a placement gives, in the order of kCornerColours
// (computed by hand, not by the placement code).
inline std::array<uint32_t, 4> PlacedCorners(int32_t kind) {
  const auto [red, green, blue, yellow] = kCornerColours;
  switch (kind) {
    case 1:
      return {green, red, yellow, blue};
    case 4:
      return {blue, yellow, red, green};
    case 5:
      return {yellow, blue, green, red};
    case 3:
      return {blue, red, yellow, green};
    case 2:
      return {green, yellow, red, blue};
    default:
      return {red, green, blue, yellow};
  }
}

// Where the control point lands, in output cells, by hand.
inline std::array<double, 2> PlacedPoint(int32_t kind) {
  const double w = kCornerColumns, h = kCornerRows, c = kPointColumn, r = kPointRow;
  switch (kind) {
    case 1:
      return {w - c, r};
    case 4:
      return {c, h - r};
    case 5:
      return {w - c, h - r};
    case 3:
      return {h - r, c};
    case 2:
      return {r, w - c};
    default:
      return {c, r};
  }
}

}  // namespace mirava::test

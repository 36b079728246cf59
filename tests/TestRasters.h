// Small ER Mapper rasters written byte by byte, independently of the code
// under test, and a pattern of cell values that tells every cell apart.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "TestUtil.h"

namespace mirava::test {

struct TestRaster {
  uint32_t Columns = 5, Rows = 3, Bands = 2;
  std::string CellType = "Unsigned8BitInteger";
  uint32_t Width = 1;
  bool Signed = false, Float = false, MsbFirst = false;
  std::string Extra;  // more RasterInfo lines (WarpControl, ...)
  std::string CoordinateSpace =
      "\t\tDatum = \"WGS84\"\n\t\tProjection = \"GEODETIC\"\n\t\tCoordinateType = EN\n";
  std::string CellInfo =
      "\t\tCellInfo Begin\n\t\t\tXdimension = 0.000833333333333333\n"
      "\t\t\tYdimension = 0.000833333333333334\n\t\tCellInfo End\n"
      "\t\tRegistrationCoord Begin\n\t\t\tEastings = 5.741666666666667\n"
      "\t\t\tNorthings = 50.19166666666667\n\t\tRegistrationCoord End\n";
};

// A value that differs for every cell and fits every cell type.
inline double PatternValue(const TestRaster& s, uint32_t c, uint32_t r, uint32_t b) {
  double v = (b * 7 + r) * 13 + c + 1;
  if (s.Width == 1) v = std::fmod(v, 120);
  if (s.Signed) v = -v;
  if (s.Float) v += 0.25;
  if (s.Width == 4 && !s.Float) v *= 1001;
  // Values a float cannot hold: the cells must not pass through one.
  if (s.Width == 4 && !s.Float && !s.Signed) v += 4000000000.0;
  if (s.Width == 8) v += 1.0 / 3;
  return v;
}

inline std::vector<uint8_t> Encode(const TestRaster& s, double v) {
  std::vector<uint8_t> bytes(s.Width);
  if (s.Float && s.Width == 8) {
    std::memcpy(bytes.data(), &v, 8);
  } else if (s.Float) {
    float f = static_cast<float>(v);
    std::memcpy(bytes.data(), &f, 4);
  } else {
    int64_t i = static_cast<int64_t>(v);
    for (uint32_t k = 0; k < s.Width; ++k) bytes[k] = static_cast<uint8_t>(i >> (8 * k));
  }
  if (s.MsbFirst) std::reverse(bytes.begin(), bytes.end());
  return bytes;
}

inline void WriteErsHeader(const std::string& headerPath, const TestRaster& s) {
  const std::string header =
      "DatasetHeader Begin\n\tVersion = \"6.0\"\n\tDataSetType = ERStorage\n"
      "\tDataType = Raster\n\tByteOrder = " +
      std::string(s.MsbFirst ? "MSBFirst" : "LSBFirst") + "\n\tCoordinateSpace Begin\n" +
      s.CoordinateSpace +
      "\tCoordinateSpace End\n\tRasterInfo Begin\n\t\tCellType = " + s.CellType +
      "\n\t\tNrOfLines = " + std::to_string(s.Rows) +
      "\n\t\tNrOfCellsPerLine = " + std::to_string(s.Columns) +
      "\n\t\tNrOfBands = " + std::to_string(s.Bands) + "\n" + s.CellInfo + s.Extra +
      "\tRasterInfo End\nDatasetHeader End\n";
  WriteText(headerPath, header);
}

inline void WriteErs(const std::string& headerPath, const TestRaster& s) {
  WriteErsHeader(headerPath, s);
  std::vector<uint8_t> data;
  for (uint32_t r = 0; r < s.Rows; ++r)
    for (uint32_t b = 0; b < s.Bands; ++b)
      for (uint32_t c = 0; c < s.Columns; ++c) {
        std::vector<uint8_t> cell = Encode(s, PatternValue(s, c, r, b));
        data.insert(data.end(), cell.begin(), cell.end());
      }
  WriteBytes(headerPath.substr(0, headerPath.rfind('.')), data);
}

// The testRasters of every cell type ER Mapper files carry.
inline std::vector<TestRaster> AllCellTypes() {
  std::vector<TestRaster> testRasters;
  auto add = [&](const char* type, uint32_t width, bool isSigned, bool isFloat) {
    TestRaster s;
    s.CellType = type;
    s.Width = width;
    s.Signed = isSigned;
    s.Float = isFloat;
    testRasters.push_back(s);
  };
  add("Unsigned8BitInteger", 1, false, false);
  add("Signed8BitInteger", 1, true, false);
  add("Signed16BitInteger", 2, true, false);
  add("Unsigned16BitInteger", 2, false, false);
  add("Signed32BitInteger", 4, true, false);
  add("IEEE4ByteReal", 4, false, true);
  add("IEEE8ByteReal", 8, false, true);
  add("Unsigned32BitInteger", 4, false, false);
  return testRasters;
}

}  // namespace mirava::test

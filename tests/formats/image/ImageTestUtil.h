// Helpers shared by the image format tests: test pictures, ER Mapper inputs,
// and a raster's cells as Mirava and as GDAL read them.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "../../TestUtil.h"
#include "dataset/DataSet.h"

namespace mirava::test {

// Cells one byte each, band-interleaved by line.
struct TRaster {
  uint32_t Columns = 0;
  uint32_t Rows = 0;
  uint32_t Bands = 0;
  std::vector<uint8_t> Cells;

  uint8_t At(uint32_t c, uint32_t r, uint32_t b) const {
    return Cells[(static_cast<size_t>(r) * Bands + b) * Columns + c];
  }
  uint8_t& At(uint32_t c, uint32_t r, uint32_t b) {
    return Cells[(static_cast<size_t>(r) * Bands + b) * Columns + c];
  }
};

// Smooth shading, hard edges and fine texture: everything a codec meets.
inline TRaster MakePicture(uint32_t columns, uint32_t rows, uint32_t bands) {
  TRaster p{columns, rows, bands, {}};
  p.Cells.resize(static_cast<size_t>(columns) * rows * bands);
  for (uint32_t r = 0; r < rows; ++r)
    for (uint32_t b = 0; b < bands; ++b)
      for (uint32_t c = 0; c < columns; ++c) {
        int v = static_cast<int>(c * 255 / (columns ? columns : 1) + 60 * b + r);
        if ((c / 16 + r / 16) % 2) v += 90;
        if (c % 7 == 3 && r % 5 == 1) v ^= 0x55;
        p.At(c, r, b) = static_cast<uint8_t>(v);
      }
  return p;
}

// An ER Mapper byte raster placed in UTM zone 32 (so its georeference is
// written and read back), cells of `cellSize` and the top-left corner at
// (east, north).
inline void WriteErs(const std::string& header, const TRaster& p,
                     double cellSize = 2.5, double east = 500000,
                     double north = 5600000) {
  std::ostringstream h;
  h.precision(17);
  h << "DatasetHeader Begin\n  Version = \"6.0\"\n  DataSetType = ERStorage\n"
    << "  DataType = Raster\n  ByteOrder = LSBFirst\n"
    << "  CoordinateSpace Begin\n    Datum = \"WGS84\"\n"
    << "    Projection = \"NUTM32\"\n    CoordinateType = EN\n"
    << "  CoordinateSpace End\n  RasterInfo Begin\n"
    << "    CellType = Unsigned8BitInteger\n"
    << "    NrOfLines = " << p.Rows << "\n    NrOfCellsPerLine = " << p.Columns
    << "\n    NrOfBands = " << p.Bands << "\n    CellInfo Begin\n"
    << "      Xdimension = " << cellSize << "\n      Ydimension = " << cellSize
    << "\n    CellInfo End\n    RegistrationCoord Begin\n      Eastings = " << east
    << "\n      Northings = " << north << "\n    RegistrationCoord End\n"
    << "  RasterInfo End\nDatasetHeader End\n";
  WriteText(header, h.str());
  WriteBytes(header.substr(0, header.size() - 4), p.Cells);
}

// Every cell of a file as Mirava's facade reads it; Bands 0 when it fails.
inline TRaster ReadWithMirava(const std::string& path, std::string* error = nullptr) {
  TRaster p;
  TDataSet2 set;
  if (!set.Open(path, 0, 0, 1, 1, omRead)) {
    if (error) *error = set.GetErrorText();
    return p;
  }
  p.Columns = static_cast<uint32_t>(set.GetColumnCount());
  p.Rows = static_cast<uint32_t>(set.GetRowCount());
  p.Bands = static_cast<uint32_t>(set.GetBandCount());
  p.Cells.resize(static_cast<size_t>(p.Columns) * p.Rows * p.Bands);
  for (uint32_t r = 0; r < p.Rows; ++r)
    for (uint32_t b = 0; b < p.Bands; ++b)
      for (uint32_t c = 0; c < p.Columns; ++c) {
        float v = -1;
        if (!set.ReadCell(c, r, b, v)) {
          if (error) *error = "cell " + std::to_string(c) + "," + std::to_string(r);
          return TRaster();
        }
        p.At(c, r, b) = static_cast<uint8_t>(v);
      }
  return p;
}

struct TGdalInfo {
  uint32_t Columns = 0;
  uint32_t Rows = 0;
  uint32_t Bands = 0;
  double OriginX = NAN;
  double OriginY = NAN;
  double PixelX = NAN;
  double PixelY = NAN;
};

// What gdalinfo reports of a file's size, bands and geotransform.
inline TGdalInfo GdalInfo(const std::string& path) {
  TGdalInfo info;
  const std::string out = Run("gdalinfo " + Quote(path)).Output;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Size is ", 0) == 0)
      std::sscanf(line.c_str(), "Size is %u, %u", &info.Columns, &info.Rows);
    else if (line.rfind("Origin = (", 0) == 0)
      std::sscanf(line.c_str(), "Origin = (%lf,%lf)", &info.OriginX, &info.OriginY);
    else if (line.rfind("Pixel Size = (", 0) == 0)
      std::sscanf(line.c_str(), "Pixel Size = (%lf,%lf)", &info.PixelX, &info.PixelY);
    else if (line.rfind("Band ", 0) == 0)
      ++info.Bands;
  }
  return info;
}

// GDAL's decoding of a file (a palette expanded to red, green and blue).
inline TRaster ReadWithGdal(const std::string& path, const std::string& scratch,
                            bool expandPalette = false) {
  const TGdalInfo info = GdalInfo(path);
  const std::string raw = scratch + "/gdal-cells.bil";
  const CommandResult r =
      Run("gdal_translate -q -of ENVI -co INTERLEAVE=BIL " +
          std::string(expandPalette ? "-expand rgb " : "") + Quote(path) + " " +
          Quote(raw));
  TRaster p;
  if (r.ExitCode != 0) return p;
  p.Columns = info.Columns;
  p.Rows = info.Rows;
  p.Bands = expandPalette ? 3 : info.Bands;
  p.Cells = ReadBytes(raw);
  if (p.Cells.size() != static_cast<size_t>(p.Columns) * p.Rows * p.Bands)
    return TRaster();
  return p;
}

// Largest difference between two rasters of the same shape (-1 when the
// shapes differ).
inline int MaxDifference(const TRaster& a, const TRaster& b) {
  if (a.Columns != b.Columns || a.Rows != b.Rows || a.Bands != b.Bands ||
      a.Cells.size() != b.Cells.size())
    return -1;
  int worst = 0;
  for (size_t i = 0; i < a.Cells.size(); ++i)
    worst = std::max(worst, std::abs(int(a.Cells[i]) - int(b.Cells[i])));
  return worst;
}

}  // namespace mirava::test

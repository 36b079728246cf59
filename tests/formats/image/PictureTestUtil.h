// Helpers of the image format tests, on top of the header formats' ones:
// byte pictures, and a raster as GDAL reads it.
#pragma once

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>

#include "formats/header/HeaderTestUtil.h"
#include "formats/image/ImageTestUtil.h"
#include "raster/CellType.h"

namespace mirava::test {

// Smooth shading, hard edges and fine texture: everything a codec meets.
inline double PictureValue(int c, int r, int b) {
  int v = c * 3 + 60 * b + r;
  if ((c / 16 + r / 16) % 2) v += 90;
  if (c % 7 == 3 && r % 5 == 1) v ^= 0x55;
  return v & 0xFF;
}

inline TRaster Picture(int columns, int rows, int bands) {
  TRaster p;
  p.Columns = columns;
  p.Rows = rows;
  p.Bands = bands;
  p.CellType = ctUnsigned8;
  for (int r = 0; r < rows; ++r)
    for (int b = 0; b < bands; ++b)
      for (int c = 0; c < columns; ++c)
        p.Cells.push_back(static_cast<float>(PictureValue(c, r, b)));
  return p;
}

inline void WritePicture(const std::string& ers, int columns, int rows, int bands,
                         const TGeo& geo = TGeo()) {
  WriteErs(ers, columns, rows, bands, ctUnsigned8, PictureValue, geo);
}

struct TGdalInfo {
  int Columns = 0, Rows = 0, Bands = 0;
  double OriginX = NAN, OriginY = NAN, PixelX = NAN, PixelY = NAN;
};

// What gdalinfo reports of a file's size, bands and geotransform.
inline TGdalInfo GdalInfo(const std::string& path) {
  TGdalInfo info;
  std::istringstream lines(Run("gdalinfo " + Quote(path)).Output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Size is ", 0) == 0)
      std::sscanf(line.c_str(), "Size is %d, %d", &info.Columns, &info.Rows);
    else if (line.rfind("Origin = (", 0) == 0)
      std::sscanf(line.c_str(), "Origin = (%lf,%lf)", &info.OriginX, &info.OriginY);
    else if (line.rfind("Pixel Size = (", 0) == 0)
      std::sscanf(line.c_str(), "Pixel Size = (%lf,%lf)", &info.PixelX, &info.PixelY);
    else if (line.rfind("Band ", 0) == 0)
      ++info.Bands;
  }
  return info;
}

// GDAL's decoding of a file's cells (a palette expanded to red, green and
// blue) as a raster like ours; no cells when GDAL cannot read it.
inline TRaster ReadWithGdal(const std::string& path, const std::string&,
                            bool expandPalette = false) {
  GdalRaster gdal;
  TRaster p;
  if (!ReadWithGdal(path, gdal, expandPalette ? "-expand rgb" : "")) return p;
  p.Columns = gdal.Columns;
  p.Rows = gdal.Rows;
  p.Bands = gdal.Bands;
  for (int r = 0; r < p.Rows; ++r)
    for (int b = 0; b < p.Bands; ++b)
      for (int c = 0; c < p.Columns; ++c) p.Cells.push_back(gdal.At(c, r, b));
  return p;
}

// Largest difference between `out` and `in` placed by `kind`; -1 when the
// shapes do not match.
inline int PlacedDifference(const TRaster& in, const TRaster& out, int kind = 0) {
  const bool swap = kind == 2 || kind == 3;
  if (out.Columns != (swap ? in.Rows : in.Columns) || out.Rows != (swap ? in.Columns : in.Rows) ||
      out.Bands != in.Bands || out.Cells.size() != in.Cells.size())
    return -1;
  int worst = 0;
  for (int i = 0; i < out.Rows; ++i)
    for (int j = 0; j < out.Columns; ++j)
      for (int b = 0; b < out.Bands; ++b) {
        auto [c, r] = SourcePixel(kind, in.Columns, in.Rows, j, i);
        worst = std::max(worst, static_cast<int>(std::fabs(out.At(j, i, b) - in.At(c, r, b))));
      }
  return worst;
}

// The text a failed open leaves.
inline std::string OpenError(const std::string& path) {
  TDataSet2 set;
  if (set.Open(path, 0, 0, 1, 1, omRead)) return "";
  return set.Error().Text;
}

}  // namespace mirava::test

// GDAL as the independent reader of the image formats' tests: cells, the
// geotransform and the coordinate system of a file as GDAL sees them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "../../Placement.h"
#include "../../TestUtil.h"
#include "dataset/DataSetRoot.h"

namespace mirava::test {

struct GdalRaster {
  int Columns = 0;
  int Rows = 0;
  int Bands = 0;
  std::vector<double> Cells;  // band-sequential, exact for every cell type
  double At(int column, int row, int band) const {
    return Cells[(static_cast<size_t>(band) * Rows + row) * Columns + column];
  }
};

// "lines   = 95" in an ENVI header.
inline int HeaderNumber(const std::string& header, const std::string& key) {
  const size_t at = header.find("\n" + key + " ");
  if (at == std::string::npos) return -1;
  const size_t eq = header.find('=', at);
  return eq == std::string::npos ? -1 : std::stoi(header.substr(eq + 1));
}

// Every cell as GDAL reads it, as 32-bit floats. `options` go to
// gdal_translate (for instance "-expand rgb").
inline bool ReadWithGdal(const std::string& file, GdalRaster& raster,
                         const std::string& options = "") {
  const TempDir scratch;
  const std::string raw = scratch / "cells.raw";
  const CommandResult r = Run("gdal_translate -q -of ENVI -co INTERLEAVE=BSQ -ot Float64 " +
                              options + " " + Quote(file) + " " + Quote(raw));
  if (r.ExitCode != 0) {
    ADD_FAILURE() << r.Output;
    return false;
  }
  const std::string header = ReadText(scratch / "cells.hdr");
  raster.Columns = HeaderNumber(header, "samples");
  raster.Rows = HeaderNumber(header, "lines");
  raster.Bands = HeaderNumber(header, "bands");
  const std::vector<uint8_t> bytes = ReadBytes(raw);
  raster.Cells.resize(bytes.size() / 8);
  std::memcpy(raster.Cells.data(), bytes.data(), raster.Cells.size() * 8);
  return raster.Cells.size() == static_cast<size_t>(raster.Columns) * raster.Rows * raster.Bands;
}

// GDAL's geotransform, read exactly (a VRT keeps 17 significant digits).
inline std::vector<double> GdalGeoTransform(const std::string& file) {
  const TempDir scratch;
  const std::string vrt = scratch / "place.vrt";
  Run("gdal_translate -q -of VRT " + Quote(file) + " " + Quote(vrt));
  const std::string text = ReadText(vrt);
  std::vector<double> gt;
  const size_t at = text.find("<GeoTransform>");
  if (at == std::string::npos) return gt;
  std::string list = text.substr(at + 14, text.find("</GeoTransform>") - at - 14);
  size_t pos = 0;
  while (gt.size() < 6 && pos < list.size()) {
    size_t used = 0;
    gt.push_back(std::stod(list.substr(pos), &used));
    pos += used;
    while (pos < list.size() && (list[pos] == ',' || list[pos] == ' ')) ++pos;
  }
  return gt;
}

// Whether the file begins as a little-endian BigTIFF does.
// Two GDAL geotransforms agree to the last few digits.
inline void ExpectSameTransform(const std::vector<double>& out, const std::vector<double>& in,
                                const std::string& what) {
  ASSERT_EQ(out.size(), 6u) << what;
  ASSERT_EQ(in.size(), 6u) << what;
  for (int i = 0; i < 6; ++i)
    EXPECT_NEAR(out[i], in[i], 1e-9 * std::max(1.0, std::fabs(in[i]))) << what << " term " << i;
}

inline bool IsBigTiff(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  char magic[4] = {};
  in.read(magic, 4);
  return std::string(magic, 4) == std::string("II\x2B\0", 4);
}

// "EPSG:nnnn" when GDAL finds a coordinate system with an EPSG code,
// "none" when it finds no coordinate system at all.
inline std::string GdalCrs(const std::string& file) {
  const CommandResult r = Run("gdalsrsinfo -e " + Quote(file));
  if (r.ExitCode != 0) return "none";
  const size_t at = r.Output.find("EPSG:");
  if (at == std::string::npos) return "other";
  size_t end = at + 5;
  while (end < r.Output.size() && isdigit(static_cast<unsigned char>(r.Output[end]))) ++end;
  return r.Output.substr(at, end - at);
}

// The input pixel an output cell of a placement is filled from.
inline void InputPixel(int kind, int width, int height, int column, int row, int& inColumn,
                       int& inRow) {
  std::tie(inColumn, inRow) = SourcePixel(kind, width, height, column, row);
}

// Compares every cell our dataset reads with GDAL's reading of the file.
inline void ExpectSameCells(TDataSetRoot2& ours, const GdalRaster& gdal) {
  ASSERT_EQ(ours.GetColumnCount(), gdal.Columns);
  ASSERT_EQ(ours.GetRowCount(), gdal.Rows);
  ASSERT_EQ(ours.GetBandCount(), gdal.Bands);
  int mismatches = 0;
  for (int b = 0; b < gdal.Bands; ++b)
    for (int r = 0; r < gdal.Rows; ++r)
      for (int c = 0; c < gdal.Columns; ++c) {
        double v = -12345;
        ASSERT_TRUE(ours.ReadCellExact(c, r, b, v)) << ours.Error().Text;
        if (v != gdal.At(c, r, b) && ++mismatches <= 5)
          ADD_FAILURE() << "cell " << c << "," << r << " band " << b << ": ours " << v << ", GDAL "
                        << gdal.At(c, r, b);
      }
  EXPECT_EQ(mismatches, 0);
}

// Every output cell holds the input cell the placement designates.
inline void ExpectPlaced(const GdalRaster& in, const GdalRaster& out, int kind) {
  const bool swap = kind == 2 || kind == 3;
  ASSERT_EQ(out.Columns, swap ? in.Rows : in.Columns);
  ASSERT_EQ(out.Rows, swap ? in.Columns : in.Rows);
  ASSERT_EQ(out.Bands, in.Bands);
  int mismatches = 0;
  for (int b = 0; b < out.Bands; ++b)
    for (int r = 0; r < out.Rows; ++r)
      for (int c = 0; c < out.Columns; ++c) {
        int ic, ir;
        InputPixel(kind, in.Columns, in.Rows, c, r, ic, ir);
        if (out.At(c, r, b) != in.At(ic, ir, b)) ++mismatches;
      }
  EXPECT_EQ(mismatches, 0) << "kind " << kind;
}

}  // namespace mirava::test

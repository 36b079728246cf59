// Helpers for the header-format tests: ER Mapper inputs written by hand,
// rasters read back through the facade, the placements' pixel table.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "../../Placement.h"
#include "../../TestRasters.h"
#include "../../TestUtil.h"
#include "dataset/DataSet.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava::test {

struct TTestPoint {
  std::string Name;
  double CellX, CellY, X, Y;
};

// A raster as read back: every cell of every band, and its georeference.
struct TRaster {
  int32_t Columns = 0, Rows = 0, Bands = 0;
  uint8_t CellType = 0;
  std::vector<float> Cells;  // band-interleaved by line
  double CellSizeX = 0, CellSizeY = 0, OriginX = 0, OriginY = 0;
  std::vector<TTestPoint> Points;

  float At(int c, int r, int b = 0) const {
    return Cells[(static_cast<size_t>(r) * Bands + b) * Columns + c];
  }
};

// More digits than any fixed format keeps.
struct TGeo {
  double CellSizeX = 2.123456789012345, CellSizeY = 2.123456789012345;
  double OriginX = 523456.7890123457, OriginY = 6123456.789012346;
  const char* Projection = "NUTM32";  // with the WGS84 datum
};

// The place of the HGT tile N45E006: WGS 84 degrees, heights 3" apart on
// the whole degrees.
inline TGeo TileN45E006() {
  TGeo geo;
  geo.CellSizeX = geo.CellSizeY = 1.0 / 1200;
  geo.OriginX = 6 - geo.CellSizeX / 2;
  geo.OriginY = 46 + geo.CellSizeY / 2;
  geo.Projection = "GEODETIC";
  return geo;
}

inline std::string Exact(double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.17g", v);
  return buffer;
}

// Writes "path" (ending in .ers) and its LSB-first data file through the
// test rasters' writer; value(c, r, b) gives each cell.
inline void WriteErs(const std::string& path, int columns, int rows, int bands, uint8_t type,
                     const std::function<double(int, int, int)>& value, const TGeo& geo = TGeo(),
                     const std::vector<TTestPoint>& points = {}) {
  TestRaster s;
  s.Columns = static_cast<uint32_t>(columns);
  s.Rows = static_cast<uint32_t>(rows);
  s.Bands = static_cast<uint32_t>(bands);
  s.CellType = type == ctFloat32 ? "IEEE4ByteReal" : CellTypeNames[type];
  s.Width = CellTypeWidth(type);
  s.Float = type == ctFloat32;
  s.CoordinateSpace = "\t\tDatum = \"WGS84\"\n\t\tProjection = \"" + std::string(geo.Projection) +
                      "\"\n\t\tCoordinateType = EN\n";
  s.CellInfo =
      "\t\tCellInfo Begin\n\t\t\tXdimension = " + Exact(geo.CellSizeX) +
      "\n\t\t\tYdimension = " + Exact(geo.CellSizeY) +
      "\n\t\tCellInfo End\n\t\tRegistrationCoord Begin\n\t\t\tEastings = " + Exact(geo.OriginX) +
      "\n\t\t\tNorthings = " + Exact(geo.OriginY) + "\n\t\tRegistrationCoord End\n";
  if (!points.empty()) {
    s.Extra = "\t\tControlPoints = {\n";
    for (const TTestPoint& p : points)
      s.Extra += "\t\t\t" + p.Name + " Yes No " + Exact(p.CellX) + " " + Exact(p.CellY) + " " +
                 Exact(p.X) + " " + Exact(p.Y) + " 0\n";
    s.Extra += "\t\t}\n";
  }
  WriteErsHeader(path, s);
  std::vector<uint8_t> data;
  for (int r = 0; r < rows; ++r)
    for (int b = 0; b < bands; ++b)
      for (int c = 0; c < columns; ++c) {
        const std::vector<uint8_t> cell = Encode(s, value(c, r, b));
        data.insert(data.end(), cell.begin(), cell.end());
      }
  WriteBytes(path.substr(0, path.size() - 4), data);
}

// Reads any raster the facade opens; a failure fails the test.
inline TRaster ReadRaster(const std::string& path) {
  TRaster r;
  TDataSet2 set;
  if (!set.Open(path, 0, 0, 1, 1, 0)) {
    ADD_FAILURE() << "cannot open " << path << ": " << set.Error().Text;
    return r;
  }
  r.Columns = set.GetColumnCount();
  r.Rows = set.GetRowCount();
  r.Bands = set.GetBandCount();
  r.CellType = set.GetCellType();
  const TAffine affine = set.GetGeoreference().Affine;
  r.CellSizeX = affine.StepX();
  r.CellSizeY = affine.StepY();
  r.OriginX = affine.X0;
  r.OriginY = affine.Y0;
  r.Cells.assign(static_cast<size_t>(r.Columns) * r.Rows * r.Bands, 0);
  size_t i = 0;
  for (int row = 0; row < r.Rows; ++row)
    for (int b = 0; b < r.Bands; ++b)
      for (int c = 0; c < r.Columns; ++c, ++i)
        if (set.ReadCell(c, row, b, r.Cells[i]) == TCellRead::Failed) {
          ADD_FAILURE() << path << " at " << c << "," << row << ": " << set.Error().Text;
          return r;
        }
  if (TGCPList* points = set.GetControlPoints())
    for (int k = 0; k < points->Count(); ++k) {
      const TGCPoint* p = points->Items(k);
      r.Points.push_back({p->GetName(), p->GetCellX(), p->GetCellY(), p->GetX(), p->GetY()});
    }
  return r;
}

// `out` holds `in` placed by `kind` in its top-left corner (formats that
// grow the grid add cells to the right and below).
inline void ExpectPlaced(const TRaster& in, const TRaster& out, int kind, const std::string& what) {
  const bool swap = kind == 2 || kind == 3;
  const int columns = swap ? in.Rows : in.Columns;
  const int rows = swap ? in.Columns : in.Rows;
  ASSERT_GE(out.Columns, columns) << what;
  ASSERT_GE(out.Rows, rows) << what;
  ASSERT_EQ(out.Bands, in.Bands) << what;
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < columns; ++j)
      for (int b = 0; b < in.Bands; ++b) {
        auto [c, r] = SourcePixel(kind, in.Columns, in.Rows, j, i);
        if (out.At(j, i, b) != in.At(c, r, b)) {
          ADD_FAILURE() << what << ": cell " << j << "," << i << " band " << b << " holds "
                        << out.At(j, i, b) << ", not " << in.At(c, r, b);
          return;
        }
      }
}

inline void ExpectCli(const std::vector<std::string>& args) {
  CommandResult result = RunCli(args);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_NE(result.Output.find("Successful Finish"), std::string::npos) << result.Output;
}

// Runs a job that must be refused with `message`, leaving none of `files`.
inline void ExpectRefused(const std::vector<std::string>& args, const std::string& message,
                          const std::vector<std::string>& files) {
  CommandResult result = RunCli(args);
  EXPECT_EQ(result.ExitCode, 1) << result.Output;
  EXPECT_NE(result.Output.find(message), std::string::npos) << result.Output;
  for (const std::string& f : files) EXPECT_FALSE(Exists(f)) << f;
}

}  // namespace mirava::test

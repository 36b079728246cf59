// Helpers for the header-format tests: ER Mapper inputs written by hand,
// any raster read back through the facade, the six placements' pixel table.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "../../TestUtil.h"
#include "dataset/DataSet.h"
#include "text/TextUtils.h"

namespace mirava::test {

struct TTestPoint {
  std::string Name;
  double CellX, CellY, X, Y, Z;
};

// A raster as read back: every cell of every band, and its georeference.
struct TRaster {
  int32_t Columns = 0, Rows = 0, Bands = 0;
  uint8_t CellType = 0;
  std::vector<float> Cells;  // band-interleaved by line
  std::vector<bool> Present;  // false where ReadCell answered no-data
  double CellSizeX = 0, CellSizeY = 0, OriginX = 0, OriginY = 0;
  std::string Datum, Projection, Spheroid;
  std::vector<TTestPoint> Points;

  float At(int c, int r, int b = 0) const {
    return Cells[(static_cast<size_t>(r) * Bands + b) * Columns + c];
  }
  bool Has(int c, int r, int b = 0) const {
    return Present[(static_cast<size_t>(r) * Bands + b) * Columns + c];
  }
};

// Georeference of the hand-written inputs: projected metres, cell sizes and
// corner with more digits than any fixed format keeps.
struct TGeo {
  double CellSizeX = 2.123456789012345;
  double CellSizeY = 2.123456789012345;
  double OriginX = 523456.7890123457;
  double OriginY = 6123456.789012346;
  std::string Datum = "WGS84";
  std::string Projection = "NUTM32";
};

inline const char* ErsCellType(uint8_t type) {
  switch (type) {
    case ctUnsigned8: return "Unsigned8BitInteger";
    case ctSigned8: return "Signed8BitInteger";
    case ctSigned16: return "Signed16BitInteger";
    case ctUnsigned16: return "Unsigned16BitInteger";
    case ctSigned32: return "Signed32BitInteger";
    default: return "IEEE4ByteReal";
  }
}

inline std::string Exact(double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.17g", v);
  return buffer;
}

// Writes "path" (the header, ending in .ers) and its data file, LSB first;
// value(c, r, b) gives each cell.
inline void WriteErs(const std::string& path, int columns, int rows, int bands,
                     uint8_t type,
                     const std::function<double(int, int, int)>& value,
                     const TGeo& geo = TGeo(),
                     const std::vector<TTestPoint>& points = {}) {
  std::ostringstream h;
  h << "DatasetHeader Begin\n  ByteOrder = LSBFirst\n  CoordinateSpace Begin\n"
    << "    Datum = \"" << geo.Datum << "\"\n    Projection = \"" << geo.Projection
    << "\"\n    CoordinateType = EN\n  CoordinateSpace End\n  RasterInfo Begin\n"
    << "    CellType = " << ErsCellType(type) << "\n"
    << "    CellInfo Begin\n      Xdimension = " << Exact(geo.CellSizeX)
    << "\n      Ydimension = " << Exact(geo.CellSizeY) << "\n    CellInfo End\n"
    << "    NrOfLines = " << rows << "\n    NrOfCellsPerLine = " << columns << "\n"
    << "    RegistrationCoord Begin\n      Eastings = " << Exact(geo.OriginX)
    << "\n      Northings = " << Exact(geo.OriginY) << "\n    RegistrationCoord End\n"
    << "    NrOfBands = " << bands << "\n";
  if (!points.empty()) {
    h << "    WarpControl Begin\n      CoordinateSpace Begin\n        Datum = \"WGS84\"\n"
      << "        Projection = \"NUTM32\"\n        CoordinateType = EN\n"
      << "      CoordinateSpace End\n      ControlPoints = {\n";
    for (const TTestPoint& p : points)
      h << "\t\t\t" << p.Name << "\tYes\tNo\t" << Exact(p.CellX) << "\t"
        << Exact(p.CellY) << "\t" << Exact(p.X) << "\t" << Exact(p.Y) << "\t"
        << Exact(p.Z) << "\n";
    h << "      }\n    WarpControl End\n";
  }
  h << "  RasterInfo End\nDatasetHeader End\n";
  WriteText(path, h.str());
  const uint32_t width = CellTypeWidth(type);
  std::vector<uint8_t> data(static_cast<size_t>(columns) * rows * bands * width);
  size_t i = 0;
  for (int r = 0; r < rows; ++r)
    for (int b = 0; b < bands; ++b)
      for (int c = 0; c < columns; ++c, i += width) {
        const double v = value(c, r, b);
        switch (type) {
          case ctUnsigned8: data[i] = static_cast<uint8_t>(v); break;
          case ctSigned8: data[i] = static_cast<uint8_t>(static_cast<int8_t>(v)); break;
          case ctSigned16: { int16_t x = static_cast<int16_t>(v); std::memcpy(&data[i], &x, 2); break; }
          case ctUnsigned16: { uint16_t x = static_cast<uint16_t>(v); std::memcpy(&data[i], &x, 2); break; }
          case ctSigned32: { int32_t x = static_cast<int32_t>(v); std::memcpy(&data[i], &x, 4); break; }
          default: { float x = static_cast<float>(v); std::memcpy(&data[i], &x, 4); break; }
        }
      }
  WriteBytes(path.substr(0, path.size() - 4), data);
}

// Reads any raster the facade opens; fails the test when it does not.
inline TRaster ReadRaster(const std::string& path) {
  TRaster r;
  TDataSet2 set;
  if (!set.Open(path, 0, 0, 1, 1, 0)) {
    ADD_FAILURE() << "cannot open " << path << ": " << set.GetErrorText();
    return r;
  }
  r.Columns = set.GetColumnCount();
  r.Rows = set.GetRowCount();
  r.Bands = set.GetBandCount();
  r.CellType = set.GetCellType();
  r.CellSizeX = set.GetCellSizeX();
  r.CellSizeY = set.GetCellSizeY();
  r.OriginX = set.GetOriginX();
  r.OriginY = set.GetOriginY();
  set.GetDatum(r.Datum);
  set.GetProjection(r.Projection);
  set.GetSpheroid(r.Spheroid);
  const size_t n = static_cast<size_t>(r.Columns) * r.Rows * r.Bands;
  r.Cells.assign(n, 0);
  r.Present.assign(n, true);
  size_t i = 0;
  for (int row = 0; row < r.Rows; ++row)
    for (int b = 0; b < r.Bands; ++b)
      for (int c = 0; c < r.Columns; ++c, ++i)
        if (!set.ReadCell(c, row, b, r.Cells[i])) {
          r.Present[i] = false;
          if (!set.GetErrorText().empty()) {
            ADD_FAILURE() << path << " at " << c << "," << row << ": "
                          << set.GetErrorText();
            return r;
          }
        }
  if (TGCPList* points = set.GetControlPoints())
    for (int k = 0; k < points->Count(); ++k) {
      const TGCPoint* p = points->Items(k);
      r.Points.push_back({p->GetName(), p->GetCellX(), p->GetCellY(), p->GetX(),
                          p->GetY(), p->GetZ()});
    }
  return r;
}

// The input pixel that output cell (column j, row i) comes from under each
// placement, for an input of W x H.
inline std::pair<int, int> SourcePixel(int kind, int W, int H, int j, int i) {
  switch (kind) {
    case 1: return {W - 1 - j, i};
    case 2: return {W - 1 - i, j};
    case 3: return {i, H - 1 - j};
    case 4: return {j, H - 1 - i};
    case 5: return {W - 1 - j, H - 1 - i};
    default: return {j, i};
  }
}

// Where a control point (measured from the outer corner of cell (0, 0))
// lands under each placement.
inline std::pair<double, double> MovedPoint(int kind, int W, int H, double c,
                                            double r) {
  switch (kind) {
    case 1: return {W - c, r};
    case 2: return {r, W - c};
    case 3: return {H - r, c};
    case 4: return {c, H - r};
    case 5: return {W - c, H - r};
    default: return {c, r};
  }
}

// Checks that `out` holds `in` placed by `kind`, in its top-left
// (kind 0 when `out` is `in` read through another format).
inline void ExpectPlaced(const TRaster& in, const TRaster& out, int kind,
                         const std::string& what) {
  const bool swap = kind == 2 || kind == 3;
  const int columns = swap ? in.Rows : in.Columns;
  const int rows = swap ? in.Columns : in.Rows;
  ASSERT_GE(out.Columns, columns) << what;
  ASSERT_GE(out.Rows, rows) << what;
  ASSERT_EQ(out.Bands, in.Bands) << what;
  int wrong = 0;
  for (int i = 0; i < rows && wrong < 5; ++i)
    for (int j = 0; j < columns && wrong < 5; ++j)
      for (int b = 0; b < in.Bands; ++b) {
        auto [c, r] = SourcePixel(kind, in.Columns, in.Rows, j, i);
        if (out.At(j, i, b) != in.At(c, r, b)) {
          ADD_FAILURE() << what << ": cell " << j << "," << i << " band " << b
                        << " holds " << out.At(j, i, b) << ", expected "
                        << in.At(c, r, b);
          ++wrong;
        }
      }
}

inline void ExpectCli(const std::vector<std::string>& args) {
  CommandResult result = RunCli(args);
  EXPECT_EQ(result.ExitCode, 0) << result.Output;
  EXPECT_NE(result.Output.find("Successful Finish"), std::string::npos)
      << result.Output;
}

}  // namespace mirava::test

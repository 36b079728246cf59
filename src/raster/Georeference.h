// Where a raster lies: its affine model, the coordinate system and names it
// travels with, and the value of its cells that hold no data. Datasets are
// given and give their georeference as one TGeoreference.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mirava {

// The affine model of a world file with its two rotation terms, about the
// world point (x0, y0) of pixel position (0, 0).
struct TAffine {
  double CellSizeX = 1, ColumnTermY = 0, RowTermX = 0, CellSizeY = 1, X0 = 0, Y0 = 0;
  void PixelToWorld(double column, double row, double& x, double& y) const {
    x = CellSizeX * column + RowTermX * row + X0;
    y = ColumnTermY * column - CellSizeY * row + Y0;
  }
  // A turned georeference has cell sizes of 0: the whole matrix is
  // inverted.
  void WorldToPixel(double x, double y, double& column, double& row) const {
    const double dx = x - X0, dy = y - Y0;
    const double det = -CellSizeX * CellSizeY - RowTermX * ColumnTermY;
    column = (-CellSizeY * dx - RowTermX * dy) / det;
    row = (CellSizeX * dy - ColumnTermY * dx) / det;
  }
  bool Turned() const { return ColumnTermY != 0 || RowTermX != 0; }
  // The cell sizes as a description or a check of north-up cells takes
  // them: 1 for the 0 of a turned georeference.
  double StepX() const { return CellSizeX == 0 ? 1.0 : CellSizeX; }
  double StepY() const { return CellSizeY == 0 ? 1.0 : CellSizeY; }
  // North-up, with columns that run east and rows that run south: what a
  // format without an affine form states.
  bool NorthUp() const { return CellSizeX > 0 && CellSizeY > 0 && !Turned(); }
};

// A GeoTIFF's keys as its file held them: the GeoKeyDirectory shorts and
// the double and ASCII parameters its keys point into.
struct TGeoKeySet {
  std::vector<uint16_t> Directory;
  std::vector<double> Doubles;
  std::string Ascii;
  bool Empty() const { return Directory.size() < 4 || Directory[3] == 0; }
};

// The coordinate system a raster travels with: an EPSG code where one is
// known and, from a GeoTIFF, its whole key set.
struct TCoordinateSystem {
  int Epsg = 0;        // 0: no EPSG code known
  TGeoKeySet GeoKeys;  // of a GeoTIFF input; empty otherwise
  // Of keys that name a projected EPSG code with another linear unit, which
  // GDAL reads as that code's system in this unit (a system without a code
  // of its own): the code named and the unit's EPSG code.
  int UnitOverriddenEpsg = 0;
  uint16_t LinearUnit = 0;
  bool Empty() const { return Epsg == 0 && GeoKeys.Empty(); }
};

struct TGeoreference {
  // About the outer corner of cell (0, 0), rows growing southwards. Cell
  // sizes are signed: negative for columns that run west or rows that run
  // north; a quarter turn kept over its ground has cell sizes of 0 beside
  // its rotation terms.
  TAffine Affine;
  TCoordinateSystem Crs;
  // The names a header states its system by ("RAW" where it has none).
  std::string Spheroid = "RAW", Datum = "RAW", Projection = "RAW";
  // False for a raster that its file places nowhere (a plain picture): the
  // affine is then a default that no output repeats.
  bool Placed = false;
  // Registered in longitude and latitude (ER Mapper's LATLONG).
  bool Geographic = false;
  std::optional<double> NoData;  // the cell value meaning "no data"

  // Whether only an affine form states it: turned, or with columns that
  // run west or rows that run north.
  bool NeedsAffine() const {
    return Affine.Turned() || Affine.CellSizeX < 0 || Affine.CellSizeY < 0;
  }
};

}  // namespace mirava

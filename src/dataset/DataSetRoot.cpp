#include "dataset/DataSetRoot.h"

#include <algorithm>

namespace mirava {

std::vector<std::array<uint8_t, 3>> EightBitColors(const TColorTable& table, size_t size) {
  const bool eightBit = std::all_of(table.begin(), table.end(), [](const auto& e) {
    return e[0] <= 255 && e[1] <= 255 && e[2] <= 255;
  });
  const uint16_t divisor = eightBit ? 1 : 257;
  std::vector<std::array<uint8_t, 3>> colors(size, {0, 0, 0});
  for (size_t i = 0; i < std::min(size, table.size()); ++i)
    for (size_t c = 0; c < 3; ++c) colors[i][c] = static_cast<uint8_t>(table[i][c] / divisor);
  return colors;
}

TGeoreference TDataSetRoot2::GetGeoreference() const {
  TGeoreference georeference = Georef;
  TAffine& a = georeference.Affine;
  if (!a.Turned()) {
    if (a.CellSizeX == 0) a.CellSizeX = 1;
    if (a.CellSizeY == 0) a.CellSizeY = 1;
  }
  return georeference;
}

void TDataSetRoot2::PlanGeoreference(const TGeoreference& planned) {
  Georef.Affine.ColumnTermY = planned.Affine.ColumnTermY;
  Georef.Affine.RowTermX = planned.Affine.RowTermX;
  ReversedSteps = planned.Affine.CellSizeX < 0 || planned.Affine.CellSizeY < 0;
  Georef.Crs = planned.Crs;
  KeepPlanned(planned);
}

void TDataSetRoot2::KeepGeoreference(const TGeoreference& georeference) {
  Georef.Affine = georeference.Affine;
  Georef.Spheroid = georeference.Spheroid;
  Georef.Datum = georeference.Datum;
  Georef.Projection = georeference.Projection;
  Georef.Placed = true;
}

void TDataSetRoot2::TakeWorldFile(const TWorldFile& world) {
  Georef.Placed = true;
  Georef.Affine = {world.CellSizeX, world.ColumnTermY, world.RowTermX,
                   world.CellSizeY, world.OriginX(),   world.OriginY()};
  Georef.Projection = Georef.Datum = Georef.Spheroid = "UNKNOWN";
}

void TDataSetRoot2::ResetGeoreference() {
  if (OpenMode != omCreate) {
    Georef = {};
    ReversedSteps = false;
    SetExtras({});
    return;
  }
  const TAffine& planned = Georef.Affine;
  Georef.Affine = {1, planned.ColumnTermY, planned.RowTermX, 1, 0, 0};
  Georef.Projection = Georef.Datum = Georef.Spheroid = "RAW";
  Georef.Placed = false;
}

bool TDataSetRoot2::SaveWorldFile(const std::string& name, const TWorldFile& world) {
  return Succeeded(world.Write(name, FileMaker()).In("World file " + name + " not written: "));
}

}  // namespace mirava

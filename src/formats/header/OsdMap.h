// OSD rasters ("OrthoSetData"): a bracketed text header "name.osd" and raw
// cells in "name". The formats the detection names but has no class for
// (GIF, DCR, BIT, MMMM/IIII, BYT) open through this dataset as well.
#pragma once

#include "formats/header/ErsMap.h"
#include "georef/CoordinateSystem.h"

namespace mirava {

// Read as an ER Mapper header but for its signature, the SPHEROID keyword
// and the native line form of its control points.
class TOsdHeader : public TErsHeader {
 public:
  void ParseLine(const std::string& line) override;
  bool WriteHeader(const std::string& fileName, TFileMaker& files) override;

  bool SpheroidSeen = false;

 protected:
  void AddControlPointLine(const std::string& line) override { ControlPoints->AddFromLine(line); }
  const char* Signature() const override { return "ORTH"; }
  const char* KindName() const override { return "OSD"; }
};

class TOsdMap2 : public THeadMap2 {
 public:
  TOsdMap2();
  void SetFileName(const std::string& fileName) override;
  bool ReadCellExact(uint32_t column, uint32_t row, uint32_t band, double& value) override {
    return Grid.ReadCell(column, row, band, value);
  }
  bool WriteCellExact(uint32_t column, uint32_t row, uint32_t band, double value) override {
    return Grid.WriteCell(column, row, band, value);
  }
  // The names are written with a registration only: an output placed
  // nowhere (by control points alone) states no system.
  bool StatesCoordinateSystem() override {
    return Georef.Crs.Empty() || (Header->Georeferenced && ErMapperNamesState(Georef.Crs));
  }
};

}  // namespace mirava

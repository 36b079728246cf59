// ER Mapper rasters: a text header "name.ers" and raw cells in "name".
#pragma once

#include "dataset/HeadMap.h"
#include "georef/CoordinateSystem.h"

namespace mirava {

// "Tue Mar 04 09:05:07 \"GMT\" 2003": local time with English names, as the
// ER Mapper and OSD headers carry it.
std::string LastUpdatedStamp();

class TErsHeader : public THeader {
 public:
  void ParseLine(const std::string& line) override;
  bool ReadHeader(const std::string& fileName) override;
  bool WriteHeader(const std::string& fileName, TFileMaker& files) override;
  std::string CellTypeText() const override;
  TFieldNames FieldNames() const override {
    return {"Xdimension", "Ydimension",        "Eastings",
            "Northings",  "RegistrationCellX", "RegistrationCellY"};
  }

  bool InControlPoints = false;
  bool DatumSeen = false;
  bool CoordinateTypeSeen = false;
  bool ProjectionSeen = false;

 protected:
  // Both names saying RAW make the header's coordinate type RAW.
  static bool IsRaw(const std::string& datum, const std::string& projection) {
    return datum.find("RAW") != std::string::npos && projection.find("RAW") != std::string::npos;
  }
  // What a sibling header format reads differently.
  virtual void AddControlPointLine(const std::string& line);
  // The ER Mapper names (and units) for the system (ErMapperNamesFor).
  void StateCoordinateSystem(const TCoordinateSystem& crs) override;
  virtual const char* Signature() const { return "DATA"; }
  virtual const char* KindName() const { return "ER Mapper"; }

 private:
  // Heights for points whose lines had none (as earlier versions wrote
  // them), from the ".gcp" beside the header when it holds the same points.
  void HeightsFromPointFile(const std::string& headerName);
  double HeaderNumber(const char* field, const std::string& value);
  std::string CellTypeWord;  // as the file named it
  bool PointsWithoutHeight = false;
};

class TErsMap2 : public THeadMap2 {
 public:
  TErsMap2();
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

 protected:
  // The no-data value is written as NullCellValue.
  void KeepPlanned(const TGeoreference& planned) override {
    THeadMap2::KeepPlanned(planned);
    Header->NoData = planned.NoData;
  }
};

}  // namespace mirava

// ER Mapper rasters: a text header "name.ers" and raw cells in "name".
#pragma once

#include "dataset/HeadMap.h"

namespace mirava {

// "Tue Mar 04 09:05:07 \"GMT\" 2003": local time with English names, as the
// ER Mapper and OSD headers carry it.
std::string LastUpdatedStamp();

class TErsHeader : public THeader {
 public:
  void ParseLine(const std::string& line) override;
  bool ReadHeader(const std::string& fileName) override;
  bool WriteHeader(const std::string& fileName) override;
  std::string CellTypeText() const override;

  bool InControlPoints = false;
  bool DatumSeen = false;
  bool CoordinateTypeSeen = false;
  bool ProjectionSeen = false;

 private:
  std::string CellTypeWord;  // as the file named it
};

class TErsMap2 : public THeadMap2 {
 public:
  TErsMap2();
  void SetFileName(const std::string& fileName) override;
  uint32_t BlockRows() override { return GridBlockRows(); }
  bool GetBlock(uint32_t first, uint32_t count, TCellBlock& block) override {
    return GridBlock(first, count, block);
  }
};

}  // namespace mirava

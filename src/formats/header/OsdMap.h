// OSD rasters ("OrthoSetData"): a bracketed text header "name.osd" and raw
// cells in "name". The formats the detection names but has no class for
// (GIF, DCR, BIT, MMMM/IIII, BYT) open through this dataset as well.
#pragma once

#include "dataset/HeadMap.h"

namespace mirava {

class TOsdHeader : public THeader {
 public:
  void ParseLine(const std::string& line) override;
  bool ReadHeader(const std::string& fileName) override;
  bool WriteHeader(const std::string& fileName) override;
  std::string CellTypeText() const override;

  bool InControlPoints = false;
  bool SpheroidSeen = false;
  bool DatumSeen = false;
  bool CoordinateTypeSeen = false;
  bool ProjectionSeen = false;

 private:
  std::string CellTypeWord;  // as the file named it
};

class TOsdMap2 : public THeadMap2 {
 public:
  TOsdMap2();
  void SetFileName(const std::string& fileName) override;
};

}  // namespace mirava

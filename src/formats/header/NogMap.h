// NOG rasters: a 1700-byte binary header "name.001" holding a few
// NUL-terminated texts at fixed offsets, and signed 16-bit cells in
// "name.002".
#pragma once

#include <array>

#include "dataset/HeadMap.h"
#include "dataset/OutputChecks.h"

namespace mirava {

constexpr size_t kNogHeaderSize = 1700;

class TNogHeader : public THeader {
 public:
  TNogHeader();
  bool ReadHeader(const std::string& fileName) override;
  bool WriteHeader(const std::string& fileName, TFileMaker& files) override;
  TFieldNames FieldNames() const override {
    return {.CellSizeX = "cell size",
            .CellSizeY = "cell size",
            .RegistrationX = "left",
            .RegistrationY = "top"};
  }

  // The header file's bytes; those outside the five fields are kept as read.
  std::array<uint8_t, kNogHeaderSize> HeaderBlock{};
};

class TNogMap2 : public THeadMap2 {
 public:
  // What an output of this format cannot hold, checked before any file exists.
  static TError WriteRefusal(const TRasterShape& shape);
  TNogMap2();
  ~TNogMap2() override;
  void SetFileName(const std::string& fileName) override;
  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode) override;
  bool SetGeoreference(const TGeoreference& georeference) override;
};

}  // namespace mirava

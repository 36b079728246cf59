// NOG rasters: a 1700-byte binary header "name.001" holding a few
// NUL-terminated texts at fixed offsets, and signed 16-bit cells in
// "name.002".
#pragma once

#include <array>

#include "dataset/HeadMap.h"

namespace mirava {

constexpr size_t kNogHeaderSize = 1700;

class TNogHeader : public THeader {
 public:
  TNogHeader();
  bool ReadHeader(const std::string& fileName) override;
  bool WriteHeader(const std::string& fileName) override;

  // The header file's bytes; those outside the five fields are kept as read.
  std::array<uint8_t, kNogHeaderSize> HeaderBlock{};
};

class TNogMap2 : public THeadMap2 {
 public:
  TNogMap2();
  ~TNogMap2() override;
  void SetFileName(const std::string& fileName) override;
  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows,
            uint8_t cellType, uint32_t bands, uint8_t mode) override;
  void SetGeoreference(const std::string& spheroid, const std::string& datum,
                       double cellSizeX, double cellSizeY,
                       double registrationCellX, double registrationCellY,
                       double registrationX, double registrationY,
                       const std::string& projection) override;
  bool WriteCell(uint32_t column, uint32_t row, uint32_t band,
                 float value) override;
  bool Close() override;

 private:
  // Why the georeference given to a created raster cannot be stored.
  std::string GeoreferenceError;
};

}  // namespace mirava

// HGT elevation tiles: headerless squares of signed 16-bit heights, most
// significant byte first, one degree a side, placed by their file name
// (N45E006.hgt). Heights lie on the whole-degree lines, so the north-west
// height sits exactly on the named corner. World coordinates are radians.
#pragma once

#include <optional>

#include "dataset/HeadMap.h"
#include "dataset/OutputChecks.h"

namespace mirava {

// Heights a side of the two tile sizes in use: 3 and 1 arc-second.
constexpr uint32_t kHgtSamples3 = 1201;
constexpr uint32_t kHgtSamples1 = 3601;

class THgtHeader : public THeader {
 public:
  // Takes the tile's position from the name (without extension); the tile
  // size is Samples, which the dataset sets from the file size.
  bool ReadHeader(const std::string& fileName) override;
  bool WriteHeader(const std::string&) override { return true; }

  uint32_t Samples = kHgtSamples3;
};

class THgtMap2 : public THeadMap2 {
 public:
  // What an output of this format cannot hold, checked before any file exists.
  static std::optional<std::string> WriteRefusal(const TRasterShape& shape);
  THgtMap2();
  void SetFileName(const std::string& fileName) override;
  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode) override;
  // Voids, in every tile.
  std::optional<double> GetNoData() const override { return -32768; }
};

}  // namespace mirava

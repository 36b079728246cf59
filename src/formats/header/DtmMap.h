// DTM elevation rasters: one file, a 52-byte binary header followed by
// 32-bit float cells, little-endian.
#pragma once

#include "dataset/HeadMap.h"
#include "dataset/OutputChecks.h"

namespace mirava {

constexpr uint32_t kDtmHeaderSize = 52;

class TDTMHeader : public THeader {
 public:
  TDTMHeader();
  bool ReadHeader(const std::string& fileName) override;
  // The header of a new file is written by its dataset into the mapped file.
  bool WriteHeader(const std::string&, TFileMaker&) override { return true; }

  int32_t CellOffset = 0;
  // Size of the file the header was read from.
  uint64_t FileSize = 0;
};

class TDtmMap2 : public THeadMap2 {
 public:
  // What an output of this format cannot hold, checked before any file exists.
  static TError WriteRefusal(const TRasterShape& shape);
  // Cells are not the plain grid: reached one by one.
  uint32_t BlockRows() override { return 0; }
  TDtmMap2();
  ~TDtmMap2() override;
  void SetFileName(const std::string& fileName) override;
  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode) override;
  bool ReadCell(uint32_t column, uint32_t row, uint32_t band, float& value) override;
  bool WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) override;
  bool Close() override;
  // The corner and cell sizes are stored as 32-bit floats.
  std::string GeoreferenceChange() override;

 private:
  TDTMHeader& Dtm() { return static_cast<TDTMHeader&>(*Header); }
  // The cell's bytes in the mapped file; none when they cannot be mapped.
  uint8_t* MapCell(uint32_t column, uint32_t row);
  bool WriteDtmHeader();
};

}  // namespace mirava

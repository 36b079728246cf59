// Windows bitmaps: uncompressed 8-bit (grey or palette) and 24-bit files are
// read in place; 8-bit grey and 24-bit files are written. The georeference
// lives in a ".bmpw" world file beside the image.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dataset/DataSetRoot.h"
#include "text/TextUtils.h"

namespace mirava {

class TBMPMap2 : public TDataSetRoot2 {
 public:
  TBMPMap2();
  ~TBMPMap2() override;

  bool SelectRow(uint32_t row, uint32_t band) override;
  bool ReadCell(uint32_t column, uint32_t row, uint32_t band,
                float& value) override;
  bool WriteCell(uint32_t column, uint32_t row, uint32_t band,
                 float value) override;
  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows,
            uint8_t cellType, uint32_t bands, uint8_t mode) override;
  bool OpenRead(const std::string& fileName) override;
  bool Crop(uint32_t, uint32_t, uint32_t, uint32_t) override { return false; }
  int32_t GetBandCount() override { return ReportedBands; }
  int32_t GetRowCount() override { return static_cast<int32_t>(Height); }
  int32_t GetColumnCount() override { return static_cast<int32_t>(Width); }
  uint8_t GetCellType() override { return ctUnsigned8; }
  bool IsMSBFirst() override { return false; }
  void SetGeoreference(const std::string& spheroid, const std::string& datum,
                       double cellSizeX, double cellSizeY,
                       double registrationCellX, double registrationCellY,
                       double registrationX, double registrationY,
                       const std::string& projection) override;
  // Grey and 24-bit bitmaps offer their rows (stored bottom-up, blue first)
  // as blocks.
  uint32_t BlockRows() override;
  bool GetBlock(uint32_t first, uint32_t count, TCellBlock& block) override;
  bool Close() override;

  bool HasGreyPalette() const { return GreyPalette; }
  uint32_t GetRowStride() const { return RowStride; }

 private:
  void ResetDescription();
  bool OpenExisting(const std::string& fileName);
  bool CreateFile(const std::string& fileName, uint32_t columns, uint32_t rows,
                  uint8_t cellType, uint32_t bands);
  // Examines the headers; false with the reason in DetailText.
  bool ParseHeaders();
  bool FetchBytes(uint64_t position, uint32_t count, uint8_t* target);

  uint32_t PixelOffset = 0;  // bfOffBits
  std::vector<std::array<uint8_t, 3>> Palette;  // red, green, blue
  bool GreyPalette = false;
  uint32_t Width = 0;
  uint32_t Height = 0;
  uint16_t BitCount = 0;
  uint32_t StorageBands = 0;
  uint16_t ReportedBands = 0;
  uint32_t RowStride = 0;
  std::string DetailText;
  std::string WorldFileError;
  bool Closed = false;
};

}  // namespace mirava

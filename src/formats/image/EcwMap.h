// ECW images through the codec layer of EcwCodec.h: opening decodes every
// line into memory, cells are read and written there, and a created image
// is compressed into its file when the dataset is closed. Cell sizes and the
// origin travel inside the file; no world file, no control points.
#pragma once

#include <optional>
#include <string>

#include "dataset/DataSetRoot.h"
#include "dataset/OutputChecks.h"
#include "georef/WorldFile.h"
#include "formats/codec/EcwCodec.h"
#include "formats/image/ImageBuffer.h"

namespace mirava {

// The SDK's error texts, indexed by its error numbers.
extern const char* const NcsErrorTexts[99];
// The table's entry, or a text naming the number when it lies outside.
std::string NcsErrorText(ncs::NCSError error);

class TECWMap2;
// The dataset being compressed; the compressor's line callback reads it.
// Set and cleared under the lock that allows one compression at a time.
extern TECWMap2* CurrentEcwDataset;

class TECWMap2 : public TDataSetRoot2 {
 public:
  // What an output of this format cannot hold, checked before any file exists.
  static std::optional<std::string> WriteRefusal(const TRasterShape& shape);
  TECWMap2() = default;
  ~TECWMap2() override;

  bool SelectRow(uint32_t row, uint32_t band) override;
  bool ReadCell(uint32_t column, uint32_t row, uint32_t band, float& value) override;
  bool WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) override;
  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode) override;
  bool OpenRead(const std::string& fileName) override;
  bool Crop(uint32_t, uint32_t, uint32_t, uint32_t) override { return false; }
  int32_t GetBandCount() override { return static_cast<int32_t>(Bands); }
  int32_t GetRowCount() override { return static_cast<int32_t>(Rows); }
  int32_t GetColumnCount() override { return static_cast<int32_t>(Columns); }
  uint8_t GetCellType() override { return 1; }
  bool IsMSBFirst() override { return false; }
  bool SetGeoreference(const std::string& spheroid, const std::string& datum, double cellSizeX,
                       double cellSizeY, double registrationCellX, double registrationCellY,
                       double registrationX, double registrationY,
                       const std::string& projection) override;
  bool StatesCoordinateSystem() override { return ErMapperNamesState(Crs); }
  void PixelToWorld(double column, double row, double& x, double& y) override;
  void WorldToPixel(double x, double y, double& column, double& row) override;
  // The whole image is in memory: any rows make a block.
  uint32_t BlockRows() override { return ImageBuffer.Rows(); }
  bool GetBlock(uint32_t first, uint32_t count, TCellBlock& block) override {
    return ImageBuffer.Block(first, count, block);
  }
  // Compresses a created image; false with the compressor's message when
  // that failed.
  bool Close() override;

  uint64_t GetLineLength() const { return LineLength; }
  const TImageBuffer& GetImageBuffer() const { return ImageBuffer; }

 protected:
  bool ReadWholeImage(const std::string& fileName);
  bool CompressImage(const std::string& fileName, float quality);
  void TakeFileInfo(const ncs::NCSFileViewFileInfo& info);
  static bool ReadLine(ncs::NCSEcwCompressClient* client, uint32_t line, float** bandArrays);

  TImageBuffer ImageBuffer;
  uint32_t Columns = 0;
  uint32_t Rows = 0;
  uint32_t Bands = 0;
  uint64_t LineLength = 0;
  float Quality = 1;
  bool Closed = false;
};

}  // namespace mirava

// ECW images through the codec layer of EcwCodec.h: opening decodes every
// line into memory, cells are read and written there, and a created image
// is compressed into its file when the dataset is closed. Cell sizes and the
// origin travel inside the file; no world file, no control points.
#pragma once

#include <string>

#include "dataset/DataSetRoot.h"
#include "dataset/OutputChecks.h"
#include "georef/CoordinateSystem.h"
#include "georef/WorldFile.h"
#include "formats/codec/EcwCodec.h"
#include "formats/image/ImageBuffer.h"

namespace mirava {

// The SDK's error texts, indexed by its error numbers.
extern const char* const NcsErrorTexts[99];
// The table's entry, or a text naming the number when it lies outside.
std::string NcsErrorText(ncs::NCSError error);

// The note every ECW output gives: no ECW SDK writes it, so it is a layout
// of this program's own.
constexpr const char* kOwnEcwLayoutNote =
    "ECW written in Mirava's own layout, which other programs do not read; JPEG 2000 (\".jp2\") "
    "is a compact wavelet file a GIS opens";

class TECWMap2;
// The dataset being compressed; the compressor's line callback reads it.
// Set and cleared under the lock that allows one compression at a time.
extern TECWMap2* CurrentEcwDataset;

class TECWMap2 : public TBufferedImage2 {
 public:
  // What an output of this format cannot hold, checked before any file exists.
  static TError WriteRefusal(const TRasterShape& shape);
  TECWMap2() = default;
  ~TECWMap2() override;

  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode) override;
  bool OpenRead(const std::string& fileName) override;
  bool SetGeoreference(const TGeoreference& georeference) override;
  bool StatesCoordinateSystem() override { return ErMapperNamesState(Georef.Crs); }
  // Compresses a created image; false with the compressor's message when
  // that failed.
  bool Close() override;

 protected:
  bool ReadWholeImage(const std::string& fileName);
  bool CompressImage(const std::string& fileName, float quality);
  void TakeFileInfo(const ncs::NCSFileViewFileInfo& info);
  static bool ReadLine(ncs::NCSEcwCompressClient* client, uint32_t line, float** bandArrays);

  float Quality = 1;
};

}  // namespace mirava

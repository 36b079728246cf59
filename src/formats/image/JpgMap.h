// JPEG images: the whole image is decoded into memory when opened, cells
// are read and written there, and a created or updated image is encoded when
// the dataset is closed. The georeference is a world file beside the image
// (".jpgw", else ".jgw"; ".jgw" written), with its two rotation terms.
#pragma once

#include <string>

#include "dataset/DataSetRoot.h"
#include "dataset/OutputChecks.h"
#include "georef/WorldFile.h"
#include "formats/image/ImageBuffer.h"

namespace mirava {

class TJpgMap2 : public TBufferedImage2 {
 public:
  // What an output of this format cannot hold, checked before any file exists.
  static TError WriteRefusal(const TRasterShape& shape);
  TJpgMap2() = default;
  ~TJpgMap2() override;

  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode) override;
  bool OpenRead(const std::string& fileName) override;
  bool SetGeoreference(const TGeoreference& georeference) override;
  // A file placed on its coefficients rather than its pixels; see
  // CanPlaceFile.
  bool PlaceFile(const std::string& inputName, TPlacement placement) override;
  // Whether `placement` can be made on the file's coefficients exactly as on its
  // pixels; otherwise false with the reason.
  static bool CanPlaceFile(const std::string& inputName, TPlacement placement, uint64_t memoryLimit,
                           std::string& why);
  // The quality and chroma sampling the image is encoded with.
  void SetEncoding(const TEncoding& encoding) override {
    Quality = encoding.JpegQuality;
    Sampling = encoding.JpegSampling;
  }
  // Encodes a created or updated image; false with the codec's message when
  // that failed (or when the world file could not be written).
  bool Close() override;

 protected:
  bool DecodeImage(const std::string& fileName);
  bool EncodeImage(const std::string& fileName, int quality);
  bool ReadWorldFile(const std::string& fileName);
  void ReadWorldFileBeside(const std::string& fileName);
  bool WriteWorldFile();

  int Quality = 100;
  TChromaSampling Sampling = TChromaSampling::Full;
  bool Placed = false;  // the file was written by PlaceFile
};

}  // namespace mirava

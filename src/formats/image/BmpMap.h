// Windows and OS/2 bitmaps: 1-, 4- and 8-bit palettes, 16-, 24- and 32-bit
// pixels (bit-field masks, alpha as a fourth band), either row order, read
// in place; RLE8 and RLE4 files decoded into memory. 8-bit grey and 24-bit
// files are written. The georeference
// lives in a ".bmpw" world file beside the image.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dataset/DataSetRoot.h"
#include "dataset/MappedGrid.h"
#include "dataset/OutputChecks.h"
#include "formats/image/ImageBuffer.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

class TBMPMap2 : public TDataSetRoot2 {
 public:
  // What a BMP output cannot hold: more than 3 bands, cells other than
  // unsigned bytes.
  static TError WriteRefusal(const TRasterShape& shape);
  TBMPMap2();
  ~TBMPMap2() override;

  bool ReadCell(uint32_t column, uint32_t row, uint32_t band, float& value) override;
  bool WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) override;
  bool Open(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
            uint32_t bands, uint8_t mode) override;
  bool OpenRead(const std::string& fileName) override;
  int32_t GetBandCount() override { return ReportedBands; }
  int32_t GetRowCount() override { return static_cast<int32_t>(Height); }
  int32_t GetColumnCount() override { return static_cast<int32_t>(Width); }
  uint8_t GetCellType() override { return ctUnsigned8; }
  bool SetGeoreference(const TGeoreference& georeference) override;
  // Grey and 24-bit bitmaps offer their rows (stored bottom-up, blue first)
  // as blocks.
  uint32_t BlockRows() override;
  bool GetBlock(uint32_t first, uint32_t count, TCellBlock& block) override;
  // A created bitmap takes its rows in blocks.
  bool BlockLayout(TCellBlock& layout) override;
  bool Close() override;
  bool FileCutShort() const override { return Mapped.FileCutShort(); }

  bool HasGreyPalette() const { return GreyPalette; }
  uint32_t GetRowStride() const { return RowStride; }

 private:
  void ResetDescription();
  // The layout of the stored rows, without data.
  void DescribeRows(TCellBlock& layout) const;
  bool OpenExisting(const std::string& fileName);
  bool CreateFile(const std::string& fileName, uint32_t columns, uint32_t rows, uint8_t cellType,
                  uint32_t bands);
  // Examines the headers; false with the reason alone as the failure.
  bool ParseHeaders();
  // The colour masks of 16- and 32-bit pixels; false when they overlap.
  bool ParseMasks(const uint8_t* head, uint32_t infoSize, bool bitFields);
  // False with the reason alone as the failure.
  bool DecodeRle();
  // Row `row` (0 the top) in the mapped file; none when it cannot be mapped.
  uint8_t* StoredRow(uint32_t row);
  // Row `row` (0 the top) as stored, or as decoded from RLE.
  const uint8_t* RowData(uint32_t row);

  // One colour of a 16- or 32-bit pixel, scaled to 0..255 as browsers do:
  // fewer than 8 bits are repeated (5 bits abcde give abcdeabc), more are
  // cut to their highest 8.
  struct TMask {
    uint32_t Mask = 0;
    uint32_t Shift = 0;
    uint32_t Width = 0;  // bits up to the mask's highest
    float Scale(uint32_t bits) const {
      if (Width == 0) return 0;
      const uint64_t v = (bits & Mask) >> Shift;
      if (Width >= 8) return static_cast<float>(v >> (Width - 8));
      uint64_t repeated = 0;
      uint32_t filled = 0;
      for (; filled < 8; filled += Width) repeated = repeated << Width | v;
      return static_cast<float>(repeated >> (filled - 8));
    }
  };

  TMappedFile Mapped{*this};
  uint32_t PixelOffset = 0;                     // bfOffBits
  std::vector<std::array<uint8_t, 3>> Palette;  // red, green, blue
  std::array<TMask, 4> Masks;                   // red, green, blue, alpha
  TImageBuffer Decoded;                         // RLE pixels, top row first
  bool TopDown = false;
  bool Rle = false;
  bool GreyPalette = false;
  uint32_t Width = 0;
  uint32_t Height = 0;
  uint16_t BitCount = 0;
  uint32_t StorageBands = 0;
  uint16_t ReportedBands = 0;
  uint32_t RowStride = 0;
  bool Closed = false;
};

}  // namespace mirava

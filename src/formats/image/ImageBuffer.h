// A whole image held in memory, as the JPEG and ECW datasets keep it: one
// byte per sample, rows top to bottom, the samples of a pixel adjacent, each
// row padded to a multiple of 4 bytes; and the dataset base of such images.
#pragma once

#include <cstdint>
#include <string>

#include "dataset/DataSetRoot.h"
#include "dataset/ScratchFile.h"

namespace mirava {

class TImageBuffer {
 public:
  // Bytes of one row: columns x bands rounded up to a multiple of 4.
  static uint64_t RowBytes(uint32_t columns, uint32_t bands) {
    return (static_cast<uint64_t>(columns) * bands + 3) / 4 * 4;
  }

  // A zero-filled buffer for the image `what` names ("JPEG output"): in
  // memory where it fits the job's (HeldInMemory, of `memoryLimit`), else in
  // a scratch file in `scratchDirectory`. When neither can be had, a refusal
  // with what it needs against what the job may use.
  TError Allocate(uint32_t columns, uint32_t rows, uint32_t bands, uint64_t memoryLimit,
                  const std::string& what, const std::string& scratchDirectory);
  void Release() { Memory.Release(); }

  bool Empty() const { return !Memory.Data(); }
  uint32_t Columns() const { return ColumnCount; }
  uint32_t Rows() const { return RowCount; }
  uint32_t Bands() const { return BandCount; }
  uint64_t LineLength() const { return Line; }
  uint8_t* Row(uint32_t row) { return Memory.Data() + row * Line; }
  const uint8_t* Row(uint32_t row) const { return Memory.Data() + row * Line; }

  // The sample of a pixel; band at or beyond the band count reads the last
  // band. False, value untouched, outside the image.
  bool Read(uint32_t column, uint32_t row, uint32_t band, float& value) const;
  // Rounds to the nearest integer (ties to even) and keeps the low 8 bits.
  bool Write(uint32_t column, uint32_t row, uint32_t band, float value);
  // Rows first .. first + count - 1 for the worker's block copy.
  bool Block(uint32_t first, uint32_t count, TCellBlock& block);

 private:
  TScratchMemory Memory;
  uint32_t ColumnCount = 0;
  uint32_t RowCount = 0;
  uint32_t BandCount = 0;
  uint64_t Line = 0;
};

// A dataset whose image is decoded whole into memory when opened and
// encoded when closed: its cells are those of the buffer, always bytes.
class TBufferedImage2 : public TDataSetRoot2 {
 public:
  bool ReadCell(uint32_t column, uint32_t row, uint32_t band, float& value) override {
    value = 0;
    return ImageBuffer.Read(column, row, band, value);
  }
  bool WriteCell(uint32_t column, uint32_t row, uint32_t band, float value) override {
    return ImageBuffer.Write(column, row, band, value);
  }
  int32_t GetBandCount() override { return static_cast<int32_t>(Bands); }
  int32_t GetRowCount() override { return static_cast<int32_t>(Rows); }
  int32_t GetColumnCount() override { return static_cast<int32_t>(Columns); }
  uint8_t GetCellType() override { return 1; }
  // The whole image is in memory: any rows make a block.
  uint32_t BlockRows() override { return ImageBuffer.Rows(); }
  bool GetBlock(uint32_t first, uint32_t count, TCellBlock& block) override {
    return ImageBuffer.Block(first, count, block);
  }
  // A created image takes its rows in blocks of the buffer: a quarter turn of
  // an input larger than memory can then fill it from stripes read once,
  // rather than sweeping the input for every block of output rows.
  bool BlockLayout(TCellBlock& layout) override {
    if (OpenMode != omCreate || !ImageBuffer.Block(0, 1, layout)) return false;
    layout.Data = nullptr;
    return true;
  }

  uint64_t GetLineLength() const { return LineLength; }
  const TImageBuffer& GetImageBuffer() const { return ImageBuffer; }

 protected:
  void SetSize(uint32_t columns, uint32_t rows, uint32_t bands) {
    Columns = columns;
    Rows = rows;
    Bands = bands;
    LineLength = TImageBuffer::RowBytes(columns, bands);
  }

  TImageBuffer ImageBuffer;
  uint32_t Columns = 0;
  uint32_t Rows = 0;
  uint32_t Bands = 0;
  uint64_t LineLength = 0;
  bool Closed = false;
};

}  // namespace mirava

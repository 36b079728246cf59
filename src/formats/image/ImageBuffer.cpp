#include "formats/image/ImageBuffer.h"

#include <unistd.h>

#include <cstring>

namespace mirava {

uint64_t PhysicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return UINT64_MAX;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

namespace {

std::string OutOfMemory(uint32_t columns, uint32_t rows, uint32_t bands, uint64_t bytes) {
  return "Out of memory: an image of " + std::to_string(columns) + " x " + std::to_string(rows) +
         " pixels with " + std::to_string(bands) + (bands == 1 ? " band" : " bands") + " needs " +
         std::to_string(bytes) + " bytes";
}

}  // namespace

bool TImageBuffer::Allocate(uint32_t columns, uint32_t rows, uint32_t bands,
                            std::string& errorText) {
  Release();
  const uint64_t line = RowBytes(columns, bands);
  uint64_t bytes = 0;
  // The allocator would promise more than the machine has and the process
  // would be killed when the pages are touched: refuse it here.
  if (__builtin_mul_overflow(line, static_cast<uint64_t>(rows), &bytes) ||
      bytes > PhysicalMemory() || bytes > SIZE_MAX) {
    errorText = OutOfMemory(columns, rows, bands, bytes);
    return false;
  }
  uint8_t* p = static_cast<uint8_t*>(std::calloc(bytes ? bytes : 1, 1));
  if (!p) {
    errorText = OutOfMemory(columns, rows, bands, bytes);
    return false;
  }
  Data.reset(p);
  ColumnCount = columns;
  RowCount = rows;
  BandCount = bands;
  Line = line;
  return true;
}

bool TImageBuffer::Crop(uint32_t firstRow, uint32_t lastRow, uint32_t firstColumn,
                        uint32_t lastColumn, std::string& errorText) {
  TImageBuffer cropped;
  if (!cropped.Allocate(lastColumn - firstColumn + 1, lastRow - firstRow + 1, BandCount, errorText))
    return false;
  const uint64_t bytes = static_cast<uint64_t>(cropped.ColumnCount) * BandCount;
  for (uint32_t i = 0; i < cropped.RowCount; ++i)
    std::memcpy(cropped.Row(i), Row(firstRow + i) + static_cast<uint64_t>(firstColumn) * BandCount,
                bytes);
  *this = std::move(cropped);
  return true;
}

bool TImageBuffer::Read(uint32_t column, uint32_t row, uint32_t band, float& value) const {
  if (!Data) return false;
  if (band >= BandCount) band = BandCount - 1;
  if (column >= ColumnCount || row >= RowCount) return false;
  value = Row(row)[static_cast<uint64_t>(column) * BandCount + band];
  return true;
}

bool TImageBuffer::Write(uint32_t column, uint32_t row, uint32_t band, float value) {
  if (!Data) return false;
  if (band >= BandCount) band = BandCount - 1;
  if (column >= ColumnCount || row >= RowCount) return false;
  EncodeCell(Row(row) + static_cast<uint64_t>(column) * BandCount + band, 1, false, value);
  return true;
}

bool TImageBuffer::Block(uint32_t first, uint32_t count, TCellBlock& block) {
  if (!Data || count == 0 || first >= RowCount || count > RowCount - first) return false;
  block.Data = Row(first);
  block.RowStride = static_cast<int64_t>(Line);
  block.BandStride = 1;
  block.ColumnStride = BandCount;
  block.CellType = 1;
  block.MSBFirst = false;
  return true;
}

}  // namespace mirava

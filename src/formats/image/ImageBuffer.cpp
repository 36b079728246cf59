#include "formats/image/ImageBuffer.h"

#include "dataset/MappedGrid.h"
#include "dataset/MemoryBudget.h"

namespace mirava {

TError TImageBuffer::Allocate(uint32_t columns, uint32_t rows, uint32_t bands, uint64_t memoryLimit,
                              const std::string& what, const std::string& scratchDirectory) {
  Release();
  const uint64_t memory = JobMemory(memoryLimit);
  const uint64_t line = RowBytes(columns, bands);
  const std::string image = what + " of " + std::to_string(columns) + " x " + std::to_string(rows) +
                            " x " + std::to_string(bands);
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(line, static_cast<uint64_t>(rows), &bytes) || bytes > SIZE_MAX)
    return TError::Refused(MemoryRefusal(image, bytes ? bytes : UINT64_MAX, memory));
  const TError reason =
      Memory.Allocate(bytes, HeldInMemory(bytes, memory) ? std::string() : scratchDirectory);
  if (reason.Failed())
    return TError::Refused(MemoryRefusal(image, bytes, memory) + " (" + reason.Text + ")");
  ColumnCount = columns;
  RowCount = rows;
  BandCount = bands;
  Line = line;
  return {};
}

bool TImageBuffer::Read(uint32_t column, uint32_t row, uint32_t band, float& value) const {
  if (Empty()) return false;
  if (band >= BandCount) band = BandCount - 1;
  if (column >= ColumnCount || row >= RowCount) return false;
  value = Row(row)[static_cast<uint64_t>(column) * BandCount + band];
  return true;
}

bool TImageBuffer::Write(uint32_t column, uint32_t row, uint32_t band, float value) {
  if (Empty()) return false;
  if (band >= BandCount) band = BandCount - 1;
  if (column >= ColumnCount || row >= RowCount) return false;
  EncodeCell(Row(row) + static_cast<uint64_t>(column) * BandCount + band, 1, false, value);
  return true;
}

bool TImageBuffer::Block(uint32_t first, uint32_t count, TCellBlock& block) {
  if (Empty() || count == 0 || first >= RowCount || count > RowCount - first) return false;
  block.Data = Row(first);
  block.RowStride = static_cast<int64_t>(Line);
  block.BandStride = 1;
  block.ColumnStride = BandCount;
  block.CellType = 1;
  block.MSBFirst = false;
  return true;
}

}  // namespace mirava

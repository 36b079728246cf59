#include "job/BlockCopy.h"

#include <cstring>

#include "dataset/MMapFile.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

template <typename T>
T Swap(T v) {
  if constexpr (sizeof(T) == 2) return __builtin_bswap16(v);
  if constexpr (sizeof(T) == 4) return __builtin_bswap32(v);
  return v;
}

// Cells of one 8-byte word in reverse order.
template <typename T>
uint64_t ReverseCells(uint64_t v) {
  if constexpr (sizeof(T) == 1) return __builtin_bswap64(v);
  v = (v >> 32) | (v << 32);
  if constexpr (sizeof(T) == 2)
    v = ((v & 0xFFFF0000FFFF0000ull) >> 16) | ((v & 0x0000FFFF0000FFFFull) << 16);
  return v;
}

// A contiguous run copied backwards, eight bytes at a time.
template <typename T>
void CopyReversed(uint8_t* dst, const uint8_t* srcLast, uint32_t count) {
  constexpr uint32_t perWord = 8 / sizeof(T);
  uint32_t i = 0;
  for (; i + perWord <= count; i += perWord) {
    uint64_t v;
    std::memcpy(&v, srcLast - (i + perWord - 1) * sizeof(T), 8);
    v = ReverseCells<T>(v);
    std::memcpy(dst + i * sizeof(T), &v, 8);
  }
  for (; i < count; ++i)
    std::memcpy(dst + i * sizeof(T), srcLast - i * sizeof(T), sizeof(T));
}

template <typename T, bool swap>
void CopyTyped(uint8_t* dst, int64_t dstStep, const uint8_t* src,
               int64_t srcStep, uint32_t count) {
  const int64_t w = sizeof(T);
  if (!swap && dstStep == w && srcStep == w) {
    std::memcpy(dst, src, static_cast<size_t>(count) * w);
    return;
  }
  if (!swap && dstStep == w && srcStep == -w) {
    CopyReversed<T>(dst, src, count);
    return;
  }
  if (srcStep % w == 0 && dstStep % w == 0 &&
      reinterpret_cast<uintptr_t>(src) % alignof(T) == 0 &&
      reinterpret_cast<uintptr_t>(dst) % alignof(T) == 0) {
    const T* s = reinterpret_cast<const T*>(src);
    T* d = reinterpret_cast<T*>(dst);
    const int64_t ss = srcStep / w, ds = dstStep / w;
    for (uint32_t i = 0; i < count; ++i, s += ss, d += ds)
      *d = swap ? Swap(*s) : *s;
    return;
  }
  for (uint32_t i = 0; i < count; ++i, src += srcStep, dst += dstStep) {
    T v;
    std::memcpy(&v, src, w);
    if (swap) v = Swap(v);
    std::memcpy(dst, &v, w);
  }
}

template <typename T>
void CopySame(uint8_t* dst, int64_t dstStep, const uint8_t* src,
              int64_t srcStep, uint32_t count, bool swap) {
  if (swap)
    CopyTyped<T, true>(dst, dstStep, src, srcStep, count);
  else
    CopyTyped<T, false>(dst, dstStep, src, srcStep, count);
}

}  // namespace

void CopyCellRun(uint8_t* dst, int64_t dstStep, uint8_t dstType, bool dstMsb,
                 const uint8_t* src, int64_t srcStep, uint8_t srcType,
                 bool srcMsb, uint32_t count) {
  if (srcType == dstType) {
    const bool swap = srcMsb != dstMsb;
    switch (CellTypeWidth(srcType)) {
      case 1: CopySame<uint8_t>(dst, dstStep, src, srcStep, count, false); return;
      case 2: CopySame<uint16_t>(dst, dstStep, src, srcStep, count, swap); return;
      case 4: CopySame<uint32_t>(dst, dstStep, src, srcStep, count, swap); return;
      default: break;
    }
  }
  for (uint32_t i = 0; i < count; ++i, src += srcStep, dst += dstStep)
    EncodeCellExact(dst, dstType, dstMsb,
                    DecodeCellExact(src, srcType, srcMsb));
}

}  // namespace mirava

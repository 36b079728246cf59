#include "job/BlockCopy.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "dataset/ByteOrder.h"
#include "dataset/MMapFile.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

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
    for (uint32_t i = 0; i < count; ++i, s += ss, d += ds) *d = swap ? ByteSwap(*s) : *s;
    return;
  }
  for (uint32_t i = 0; i < count; ++i, src += srcStep, dst += dstStep) {
    T v;
    std::memcpy(&v, src, w);
    if (swap) v = ByteSwap(v);
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

template <uint32_t N>
void CopyPixels(uint8_t* dst, int64_t dstStep, const uint8_t* src,
                int64_t srcStep, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i, src += srcStep, dst += dstStep)
    std::memcpy(dst, src, N);
}

// Three-byte pixels copied in reverse order: dst pixel i is the pixel
// srcLast - 3 i. Mirrored RGB rows are common enough that moving five pixels
// per shuffle, where the processor has one, is worth its lines.
#if defined(__x86_64__)
__attribute__((target("ssse3"))) uint32_t ReversePixels3Ssse3(uint8_t* dst,
                                                              const uint8_t* srcLast,
                                                              uint32_t count) {
  // Output pixel q of five comes from input pixel 4 - q; the sixteen bytes
  // loaded start one byte before the five pixels, and the sixteenth byte
  // stored is overwritten by the next five.
  const __m128i order = _mm_setr_epi8(13, 14, 15, 10, 11, 12, 7, 8, 9, 4, 5, 6, 1, 2, 3, 0);
  if (count < 6) return 0;
  const uint8_t* first = srcLast - 3 * int64_t{count - 1};
  uint32_t i = 0;
  for (; i + 6 <= count; i += 5) {
    const uint8_t* five = first + 3 * int64_t{count - 5 - i};
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(five - 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * int64_t{i}),
                     _mm_shuffle_epi8(v, order));
  }
  return i;
}
#endif

void ReversePixels3(uint8_t* dst, const uint8_t* srcLast, uint32_t count) {
  uint32_t i = 0;
#if defined(__x86_64__)
  static const bool kShuffle = __builtin_cpu_supports("ssse3");
  if (kShuffle) i = ReversePixels3Ssse3(dst, srcLast, count);
#endif
  CopyPixels<3>(dst + 3 * int64_t{i}, 3, srcLast - 3 * int64_t{i}, -3, count - i);
}

// Transposes the 8 x 8 bytes held in w[0..7] (byte j of w[i] is row i,
// column j) in three rounds of swapping 1-, 2- and 4-byte squares.
void Transpose8x8(uint64_t w[8]) {
  auto swap = [](uint64_t& a, uint64_t& b, int shift, uint64_t mask) {
    const uint64_t t = ((a >> shift) ^ b) & mask;
    b ^= t;
    a ^= t << shift;
  };
  for (int i = 0; i < 8; i += 2) swap(w[i], w[i + 1], 8, 0x00FF00FF00FF00FFull);
  for (int i : {0, 1, 4, 5}) swap(w[i], w[i + 2], 16, 0x0000FFFF0000FFFFull);
  for (int i = 0; i < 4; ++i) swap(w[i], w[i + 4], 32, 0x00000000FFFFFFFFull);
}

}  // namespace

void CopyPixelRun(uint8_t* dst, int64_t dstStep, const uint8_t* src,
                  int64_t srcStep, uint32_t pixelBytes, uint32_t count) {
  switch (pixelBytes) {
    case 1: CopyPixels<1>(dst, dstStep, src, srcStep, count); return;
    case 2: CopyPixels<2>(dst, dstStep, src, srcStep, count); return;
    case 3:
      if (dstStep == 3 && srcStep == -3)
        ReversePixels3(dst, src, count);
      else
        CopyPixels<3>(dst, dstStep, src, srcStep, count);
      return;
    case 4: CopyPixels<4>(dst, dstStep, src, srcStep, count); return;
    case 6: CopyPixels<6>(dst, dstStep, src, srcStep, count); return;
    case 8: CopyPixels<8>(dst, dstStep, src, srcStep, count); return;
    default:
      for (uint32_t i = 0; i < count; ++i, src += srcStep, dst += dstStep)
        std::memcpy(dst, src, pixelBytes);
  }
}

void TransposeBytes(uint8_t* dst, int64_t dstRowStride, const uint8_t* src,
                    int64_t srcRowStride, int srcColumnStep, uint32_t rows,
                    uint32_t columns) {
  uint32_t k = 0;
  for (; k + 8 <= rows; k += 8) {
    const uint8_t* s = src + static_cast<int64_t>(k) * srcColumnStep;
    uint32_t j = 0;
    for (; j + 8 <= columns; j += 8) {
      uint64_t w[8];
      for (int i = 0; i < 8; ++i) {
        const uint8_t* row = s + (static_cast<int64_t>(j) + i) * srcRowStride;
        // Columns running backwards: the eight bytes end at `row`.
        std::memcpy(&w[i], srcColumnStep > 0 ? row : row - 7, 8);
        if (srcColumnStep < 0) w[i] = __builtin_bswap64(w[i]);
      }
      Transpose8x8(w);
      for (int i = 0; i < 8; ++i)
        std::memcpy(dst + (static_cast<int64_t>(k) + i) * dstRowStride + j, &w[i], 8);
    }
    for (; j < columns; ++j)
      for (uint32_t i = 0; i < 8; ++i)
        dst[(static_cast<int64_t>(k) + i) * dstRowStride + j] =
            s[static_cast<int64_t>(j) * srcRowStride + static_cast<int64_t>(i) * srcColumnStep];
  }
  for (; k < rows; ++k)
    for (uint32_t j = 0; j < columns; ++j)
      dst[static_cast<int64_t>(k) * dstRowStride + j] =
          src[static_cast<int64_t>(j) * srcRowStride + static_cast<int64_t>(k) * srcColumnStep];
}

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

#include "job/BlockCopy.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "dataset/ByteOrder.h"
#include "dataset/MappedGrid.h"
#include "job/Partner.h"
#include "raster/CellType.h"
#include "text/TextUtils.h"

namespace mirava {

namespace {

// Cells of one 8-byte word in reverse order.
template <typename T>
uint64_t ReverseCells(uint64_t v) {
  if constexpr (sizeof(T) == 1) return __builtin_bswap64(v);
  if constexpr (sizeof(T) == 8) return v;
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
  for (; i < count; ++i) std::memcpy(dst + i * sizeof(T), srcLast - i * sizeof(T), sizeof(T));
}

template <typename T, bool swap>
void CopyTyped(uint8_t* dst, int64_t dstStep, const uint8_t* src, int64_t srcStep, uint32_t count) {
  const int64_t w = sizeof(T);
  if (!swap && dstStep == w && srcStep == w) {
    std::memcpy(dst, src, static_cast<size_t>(count) * w);
    return;
  }
  if (!swap && dstStep == w && srcStep == -w) {
    CopyReversed<T>(dst, src, count);
    return;
  }
  if (srcStep % w == 0 && dstStep % w == 0 && reinterpret_cast<uintptr_t>(src) % alignof(T) == 0 &&
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
void CopySame(uint8_t* dst, int64_t dstStep, const uint8_t* src, int64_t srcStep, uint32_t count,
              bool swap) {
  if (swap)
    CopyTyped<T, true>(dst, dstStep, src, srcStep, count);
  else
    CopyTyped<T, false>(dst, dstStep, src, srcStep, count);
}

template <uint32_t N>
void CopyPixels(uint8_t* dst, int64_t dstStep, const uint8_t* src, int64_t srcStep,
                uint32_t count) {
  for (uint32_t i = 0; i < count; ++i, src += srcStep, dst += dstStep) std::memcpy(dst, src, N);
}

// Three-byte pixels copied in reverse order: dst pixel i is the pixel
// srcLast - 3 i. Mirrored RGB rows are common enough that moving five pixels
// per shuffle, where the processor has one, is worth its lines.
#if defined(__x86_64__)
__attribute__((target("ssse3"))) uint32_t ReversePixels3Ssse3(uint8_t* dst, const uint8_t* srcLast,
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
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * int64_t{i}), _mm_shuffle_epi8(v, order));
  }
  return i;
}

bool HasSsse3() {
  static const bool kShuffle = __builtin_cpu_supports("ssse3");
  return kShuffle;
}
#endif

void ReversePixels3(uint8_t* dst, const uint8_t* srcLast, uint32_t count) {
  uint32_t i = 0;
#if defined(__x86_64__)
  if (HasSsse3()) i = ReversePixels3Ssse3(dst, srcLast, count);
#endif
  CopyPixels<3>(dst + 3 * int64_t{i}, 3, srcLast - 3 * int64_t{i}, -3, count - i);
}

// Cells rows k0 .. k1 - 1, columns j0 .. j1 - 1 of TransposeCells one at a
// time: the edges the squares leave, and cells of other widths.
template <uint32_t W>
void TransposeOneByOne(uint8_t* dst, int64_t dstRowStride, const uint8_t* src, int64_t srcRowStride,
                       int64_t srcColumnStep, uint32_t cellBytes, uint32_t k0, uint32_t k1,
                       uint32_t j0, uint32_t j1) {
  const uint32_t w = W ? W : cellBytes;
  for (uint32_t k = k0; k < k1; ++k) {
    uint8_t* d = dst + k * dstRowStride + int64_t{j0} * w;
    const uint8_t* s = src + k * srcColumnStep + j0 * srcRowStride;
    for (uint32_t j = j0; j < j1; ++j, d += w, s += srcRowStride) std::memcpy(d, s, w);
  }
}

// N x N squares of cells of W bytes: Rows[i] holds the N cells of the
// square's row i, and after Transpose those of its column i. Without SSE2,
// bytes go eight to a 64-bit word.
template <uint32_t W>
struct TSquare;

#if defined(__x86_64__)
template <uint32_t W>
struct TSseSquare {
  static constexpr uint32_t N = 16 / W;
  __m128i Rows[N];
  void Load(int i, const uint8_t* p) {
    Rows[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  void Store(int i, uint8_t* p) const { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), Rows[i]); }
};

// Each round interleaves units of two rows (or of two groups of rows) into
// units twice as wide: after it, unit c of a register holds column c of
// twice as many rows.
template <>
struct TSquare<1> : TSseSquare<1> {
  void Transpose() {
    __m128i* a = Rows;
    __m128i b[16];
    for (int i = 0; i < 16; i += 2) {
      b[i] = _mm_unpacklo_epi8(a[i], a[i + 1]);
      b[i + 1] = _mm_unpackhi_epi8(a[i], a[i + 1]);
    }
    for (int g = 0; g < 4; ++g) {
      const __m128i* p = b + 4 * g;
      a[4 * g] = _mm_unpacklo_epi16(p[0], p[2]);
      a[4 * g + 1] = _mm_unpackhi_epi16(p[0], p[2]);
      a[4 * g + 2] = _mm_unpacklo_epi16(p[1], p[3]);
      a[4 * g + 3] = _mm_unpackhi_epi16(p[1], p[3]);
    }
    for (int h = 0; h < 2; ++h)
      for (int q = 0; q < 4; ++q) {
        const __m128i x = a[8 * h + q], y = a[8 * h + 4 + q];
        b[8 * h + 2 * q] = _mm_unpacklo_epi32(x, y);
        b[8 * h + 2 * q + 1] = _mm_unpackhi_epi32(x, y);
      }
    for (int p = 0; p < 8; ++p) {
      a[2 * p] = _mm_unpacklo_epi64(b[p], b[8 + p]);
      a[2 * p + 1] = _mm_unpackhi_epi64(b[p], b[8 + p]);
    }
  }
};
#else
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

template <>
struct TSquare<1> {
  static constexpr uint32_t N = 8;
  uint64_t Rows[8];
  void Load(int i, const uint8_t* p) { std::memcpy(&Rows[i], p, 8); }
  void Transpose() { Transpose8x8(Rows); }
  void Store(int i, uint8_t* p) const { std::memcpy(p, &Rows[i], 8); }
};
#endif

#if defined(__x86_64__)
template <>
struct TSquare<2> : TSseSquare<2> {
  void Transpose() {
    __m128i* a = Rows;
    __m128i b[8], c[8];
    for (int i = 0; i < 8; i += 2) {
      b[i] = _mm_unpacklo_epi16(a[i], a[i + 1]);
      b[i + 1] = _mm_unpackhi_epi16(a[i], a[i + 1]);
    }
    for (int i : {0, 4}) {
      c[i] = _mm_unpacklo_epi32(b[i], b[i + 2]);
      c[i + 1] = _mm_unpackhi_epi32(b[i], b[i + 2]);
      c[i + 2] = _mm_unpacklo_epi32(b[i + 1], b[i + 3]);
      c[i + 3] = _mm_unpackhi_epi32(b[i + 1], b[i + 3]);
    }
    for (int i = 0; i < 4; ++i) {
      a[2 * i] = _mm_unpacklo_epi64(c[i], c[i + 4]);
      a[2 * i + 1] = _mm_unpackhi_epi64(c[i], c[i + 4]);
    }
  }
};

// The 4 x 4 square of 4-byte lanes in[0], in[step], in[2 step], in[3 step]
// transposed into out[0], out[step], ... (which may be in).
inline void Transpose4x4(const __m128i* in, __m128i* out, int step) {
  const __m128i b0 = _mm_unpacklo_epi32(in[0], in[step]), b1 = _mm_unpackhi_epi32(in[0], in[step]);
  const __m128i b2 = _mm_unpacklo_epi32(in[2 * step], in[3 * step]),
                b3 = _mm_unpackhi_epi32(in[2 * step], in[3 * step]);
  out[0] = _mm_unpacklo_epi64(b0, b2);
  out[step] = _mm_unpackhi_epi64(b0, b2);
  out[2 * step] = _mm_unpacklo_epi64(b1, b3);
  out[3 * step] = _mm_unpackhi_epi64(b1, b3);
}

template <>
struct TSquare<4> : TSseSquare<4> {
  void Transpose() { Transpose4x4(Rows, Rows, 1); }
};

template <>
struct TSquare<8> : TSseSquare<8> {
  void Transpose() {
    const __m128i lo = _mm_unpacklo_epi64(Rows[0], Rows[1]);
    Rows[1] = _mm_unpackhi_epi64(Rows[0], Rows[1]);
    Rows[0] = lo;
  }
};

// Pixels of three or six bytes (RGB of 8 or 16 bits), N to a square's row,
// which is 48 bytes: widened by a shuffle to lanes of four or eight bytes,
// P to a register, turned as P x P squares of lanes, and narrowed back.
template <uint32_t W>
struct TWideSquare {
  static constexpr uint32_t N = 48 / W, P = W == 3 ? 4 : 2, L = 16 / P;
  __m128i Rows[N][4];

  // Shuffles taking the pixels of bytes `from` .. `from` + 11 into lanes,
  // and lanes back to twelve bytes.
  using TOrder = std::array<int8_t, 16>;
  static constexpr TOrder WidenOrder(int from) {
    TOrder order{};
    for (uint32_t l = 0; l < P; ++l)
      for (uint32_t b = 0; b < L; ++b)
        order[l * L + b] = static_cast<int8_t>(b < W ? from + W * l + b : -1);
    return order;
  }
  static constexpr TOrder NarrowOrder() {
    TOrder order{};
    for (uint32_t b = 0; b < 16; ++b)
      order[b] = static_cast<int8_t>(b < 12 ? b / W * L + b % W : -1);
    return order;
  }
  static constexpr TOrder kWiden[2] = {WidenOrder(0), WidenOrder(4)};
  static constexpr TOrder kNarrow = NarrowOrder();
  static __m128i Order(const TOrder& order) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(order.data()));
  }
  // Register q holds pixels P q .. P q + P - 1, the twelve bytes of group
  // q; the last group is loaded with the four bytes before it, so that no
  // load passes the row's 48 bytes.
  __attribute__((target("ssse3"))) void Load(int i, const uint8_t* p) {
    for (int q = 0; q < 4; ++q) {
      const __m128i v =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + (q == 3 ? 32 : 12 * q)));
      Rows[i][q] = _mm_shuffle_epi8(v, Order(kWiden[q == 3]));
    }
  }
  __attribute__((target("ssse3"))) void Transpose() {
    __m128i out[N][4];
    for (uint32_t g = 0; g < 4; ++g)
      for (uint32_t q = 0; q < 4; ++q) {
        const __m128i* a = &Rows[P * g][q];
        __m128i* o = &out[P * q][g];
        if constexpr (P == 2) {
          o[0] = _mm_unpacklo_epi64(a[0], a[4]);
          o[4] = _mm_unpackhi_epi64(a[0], a[4]);
        } else {
          Transpose4x4(a, o, 4);
        }
      }
    std::memcpy(Rows, out, sizeof(out));
  }
  // Overlapping stores, each one's unused tail covered by the next; the
  // last group goes as eight and four bytes, so that nothing is written
  // past the 48 bytes (which may be another thread's).
  __attribute__((target("ssse3"))) void Store(int i, uint8_t* p) const {
    const __m128i narrow = Order(kNarrow);
    for (int q = 0; q < 3; ++q)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 12 * q),
                       _mm_shuffle_epi8(Rows[i][q], narrow));
    const __m128i last = _mm_shuffle_epi8(Rows[i][3], narrow);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 36), last);
    const uint32_t tail = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(last, 8)));
    std::memcpy(p + 44, &tail, 4);
  }
};
#endif

// TransposeCells walks tiles of kTileRowBytes of input columns (output
// rows) by a cache line's worth of input rows (output columns), and in a
// tile one group of N input rows after the other across all its output
// rows: N input rows are read front to back, which the processor reads
// ahead, while the lines of the output rows being filled stay in the cache.
// Measured on this project's machine, tiles of 1 to 4 KiB ran alike.
constexpr uint32_t kTileRowBytes = 2048, kTileColumnBytes = 64;
// Square: the squares of cells of W bytes in registers; void, none.
template <uint32_t W, typename Square>
void TransposeTiled(uint8_t* dst, int64_t dstRowStride, const uint8_t* src, int64_t srcRowStride,
                    int64_t srcColumnStep, uint32_t cellBytes, uint32_t rows, uint32_t columns) {
  auto oneByOne = [&](uint32_t k0, uint32_t k1, uint32_t j0, uint32_t j1) {
    TransposeOneByOne<W>(dst, dstRowStride, src, srcRowStride, srcColumnStep, cellBytes, k0, k1, j0,
                         j1);
  };
  const uint32_t w = W ? W : cellBytes;
  if constexpr (std::is_void_v<Square>) {
    const uint32_t tileRows = std::max(16u, kTileRowBytes / w);
    const uint32_t tileColumns = std::max(16u, kTileColumnBytes / w);
    for (uint32_t k0 = 0; k0 < rows; k0 += tileRows)
      for (uint32_t j0 = 0; j0 < columns; j0 += tileColumns)
        oneByOne(k0, std::min(rows, k0 + tileRows), j0, std::min(columns, j0 + tileColumns));
  } else {
    constexpr uint32_t N = Square::N;
    // Tiles hold whole squares.
    constexpr uint32_t tileRows = std::max(16u, kTileRowBytes / W) / N * N;
    constexpr uint32_t tileColumns = std::max(16u, kTileColumnBytes / W) / N * N;
    // Cells running backwards are loaded forwards, from the square's last
    // cell on, and its rows stored in reverse order: no cell moves within
    // a register. The squares of a tile's row go from its lowest address up
    // either way: walked downwards, kind 2's turns took a third more time.
    const uint32_t fullRows = rows / N * N, fullColumns = columns / N * N;
    auto squares = [&]<bool Reversed>() {
      const int64_t back = Reversed ? int64_t{N - 1} * W : 0;
      for (uint32_t k0 = 0; k0 < fullRows; k0 += tileRows) {
        const uint32_t k1 = std::min(fullRows, k0 + tileRows);
        for (uint32_t j0 = 0; j0 < fullColumns; j0 += tileColumns) {
          const uint32_t j1 = std::min(fullColumns, j0 + tileColumns);
          for (uint32_t j = j0; j < j1; j += N) {
            const uint8_t* s = src + j * srcRowStride - back;
            for (uint32_t q = k0; q < k1; q += N) {
              const uint32_t k = Reversed ? k0 + k1 - N - q : q;
              Square square;
              for (uint32_t i = 0; i < N; ++i)
                square.Load(static_cast<int>(i), s + k * srcColumnStep + i * srcRowStride);
              square.Transpose();
              uint8_t* d = dst + k * dstRowStride + int64_t{j} * W;
              for (uint32_t i = 0; i < N; ++i)
                square.Store(static_cast<int>(i), d + (Reversed ? N - 1 - i : i) * dstRowStride);
            }
          }
        }
        if (fullColumns < columns) oneByOne(k0, k1, fullColumns, columns);
      }
    };
    if (srcColumnStep < 0)
      squares.template operator()<true>();
    else
      squares.template operator()<false>();
    if (fullRows < rows) oneByOne(fullRows, rows, 0, columns);
  }
}

// The square cells of W bytes have in registers; void where they have none.
template <uint32_t W>
struct TSquareFor {
  using Type = void;
};
template <>
struct TSquareFor<1> {
  using Type = TSquare<1>;
};
#if defined(__x86_64__)
template <uint32_t W>
requires(W == 2 || W == 4 || W == 8) struct TSquareFor<W> {
  using Type = TSquare<W>;
};

template <uint32_t W>
__attribute__((target("ssse3"), flatten)) void TransposeWide(uint8_t* dst, int64_t dstRowStride,
                                                             const uint8_t* src,
                                                             int64_t srcRowStride,
                                                             int64_t srcColumnStep, uint32_t rows,
                                                             uint32_t columns) {
  TransposeTiled<W, TWideSquare<W>>(dst, dstRowStride, src, srcRowStride, srcColumnStep, W, rows,
                                    columns);
}
#endif

}  // namespace

void CopyPixelRun(uint8_t* dst, int64_t dstStep, const uint8_t* src, int64_t srcStep,
                  uint32_t pixelBytes, uint32_t count) {
  switch (pixelBytes) {
    case 1:
      CopyPixels<1>(dst, dstStep, src, srcStep, count);
      return;
    case 2:
      CopyPixels<2>(dst, dstStep, src, srcStep, count);
      return;
    case 3:
      if (dstStep == 3 && srcStep == -3)
        ReversePixels3(dst, src, count);
      else
        CopyPixels<3>(dst, dstStep, src, srcStep, count);
      return;
    case 4:
      CopyPixels<4>(dst, dstStep, src, srcStep, count);
      return;
    case 6:
      CopyPixels<6>(dst, dstStep, src, srcStep, count);
      return;
    case 8:
      CopyPixels<8>(dst, dstStep, src, srcStep, count);
      return;
    default:
      for (uint32_t i = 0; i < count; ++i, src += srcStep, dst += dstStep)
        std::memcpy(dst, src, pixelBytes);
  }
}

void TransposeCells(uint8_t* dst, int64_t dstRowStride, const uint8_t* src, int64_t srcRowStride,
                    int64_t srcColumnStep, uint32_t cellBytes, uint32_t rows, uint32_t columns) {
  auto tiled = [&]<uint32_t W>() {
#if defined(__x86_64__)
    if constexpr (W == 3 || W == 6)
      if (HasSsse3())
        return TransposeWide<W>(dst, dstRowStride, src, srcRowStride, srcColumnStep, rows, columns);
#endif
    TransposeTiled<W, typename TSquareFor<W>::Type>(dst, dstRowStride, src, srcRowStride,
                                                    srcColumnStep, cellBytes, rows, columns);
  };
  switch (cellBytes) {
    case 1:
      return tiled.operator()<1>();
    case 2:
      return tiled.operator()<2>();
    case 3:
      return tiled.operator()<3>();
    case 4:
      return tiled.operator()<4>();
    case 6:
      return tiled.operator()<6>();
    case 8:
      return tiled.operator()<8>();
    default:
      return tiled.operator()<0>();
  }
}

void CopyCellRun(uint8_t* dst, int64_t dstStep, uint8_t dstType, bool dstMsb, const uint8_t* src,
                 int64_t srcStep, uint8_t srcType, bool srcMsb, uint32_t count) {
  if (srcType == dstType) {
    const bool swap = srcMsb != dstMsb;
    switch (CellTypeWidth(srcType)) {
      case 1:
        CopySame<uint8_t>(dst, dstStep, src, srcStep, count, false);
        return;
      case 2:
        CopySame<uint16_t>(dst, dstStep, src, srcStep, count, swap);
        return;
      case 4:
        CopySame<uint32_t>(dst, dstStep, src, srcStep, count, swap);
        return;
      case 8:
        CopySame<uint64_t>(dst, dstStep, src, srcStep, count, swap);
        return;
      default:
        break;
    }
  }
  for (uint32_t i = 0; i < count; ++i, src += srcStep, dst += dstStep)
    EncodeCellExact(dst, dstType, dstMsb, DecodeCellExact(src, srcType, srcMsb));
}

bool CellsAlike(const TCellBlock& a, const TCellBlock& b) {
  return a.CellType == b.CellType && (CellTypeWidth(a.CellType) == 1 || a.MSBFirst == b.MSBFirst);
}

uint32_t PixelBytes(const TCellBlock& in, const TCellBlock& out, uint32_t bands) {
  const int64_t w = CellTypeWidth(in.CellType), p = w * bands;
  return bands > 1 && CellsAlike(in, out) && in.BandStride == w && out.BandStride == w &&
                 in.ColumnStride == p && out.ColumnStride == p
             ? static_cast<uint32_t>(p)
             : 0;
}

namespace {

// TurnShared's work on one thread.
void TurnTile(const TCellBlock& in, uint32_t m, bool upwards, const TCellBlock& out, uint32_t j0,
              uint32_t n, uint32_t column0, bool backwards, uint32_t bands) {
  const uint8_t* firstRow = in.Data + (upwards ? (m - 1) * in.RowStride : 0);
  const int64_t srcStep = upwards ? -in.RowStride : in.RowStride;
  const int64_t width = CellTypeWidth(in.CellType);
  const int64_t pixel = PixelBytes(in, out, bands);
  if (pixel || (CellsAlike(in, out) && in.ColumnStride == width && out.ColumnStride == width)) {
    const int64_t cell = pixel ? pixel : width;
    for (uint32_t b = 0; b < (pixel ? 1 : bands); ++b)
      TransposeCells(out.Data + b * out.BandStride + j0 * cell, out.RowStride,
                     firstRow + b * in.BandStride + column0 * cell, srcStep,
                     backwards ? -cell : cell, static_cast<uint32_t>(cell), n, m);
    return;
  }
  // Cells converted or byte-swapped on the way, in tiles that stay in the cache.
  auto column = [&](uint32_t k) { return backwards ? column0 - k : column0 + k; };
  for (uint32_t t0 = 0; t0 < m; t0 += kTile) {
    const uint32_t count = std::min(kTile, m - t0);
    for (uint32_t k0 = 0; k0 < n; k0 += kTile)
      for (uint32_t b = 0; b < bands; ++b)
        for (uint32_t k = k0; k < std::min(n, k0 + kTile); ++k)
          CopyCellRun(
              out.Data + k * out.RowStride + b * out.BandStride + (j0 + t0) * out.ColumnStride,
              out.ColumnStride, out.CellType, out.MSBFirst,
              firstRow + t0 * srcStep + b * in.BandStride + column(k) * in.ColumnStride, srcStep,
              in.CellType, in.MSBFirst, count);
  }
}

}  // namespace

void TurnShared(TPartner& partner, const TCellBlock& in, uint32_t m, bool upwards,
                const TCellBlock& out, uint32_t j0, uint32_t n, uint32_t column0, bool backwards,
                uint32_t bands) {
  constexpr uint64_t kPartCells = 1u << 15;
  const uint64_t outCells = uint64_t{n} * bands, inCells = uint64_t{m} * bands;
  const uint32_t inRows =
      static_cast<uint32_t>(std::max<uint64_t>(64, kPartCells / outCells & ~63u));
  const uint32_t outRows =
      static_cast<uint32_t>(std::max<uint64_t>(16, kPartCells / inCells & ~15u));
  if (!partner.HasThread() || outCells * m < 2 * kPartCells) {
    TurnTile(in, m, upwards, out, j0, n, column0, backwards, bands);
  } else if (inRows < m) {
    partner.Share((m + inRows - 1) / inRows, [&](uint32_t part) {
      // Rows a .. a + count - 1 in the order taken: bottom up when upwards.
      const uint32_t a = part * inRows, count = std::min(inRows, m - a);
      TCellBlock rows = in;
      rows.Data += (upwards ? m - a - count : a) * in.RowStride;
      TurnTile(rows, count, upwards, out, j0 + a, n, column0, backwards, bands);
    });
  } else if (outRows < n) {
    partner.Share((n + outRows - 1) / outRows, [&](uint32_t part) {
      const uint32_t a = part * outRows, count = std::min(outRows, n - a);
      TCellBlock rows = out;
      rows.Data += a * out.RowStride;
      TurnTile(in, m, upwards, rows, j0, count, backwards ? column0 - a : column0 + a, backwards,
               bands);
    });
  } else {
    TurnTile(in, m, upwards, out, j0, n, column0, backwards, bands);
  }
}

}  // namespace mirava

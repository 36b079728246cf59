// Loading and storing multi-byte numbers in a given byte order. Every
// format's header code and the cell grid go through these, so that a file's
// byte order is handled in one place whatever the host's order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace mirava {

template <typename T>
T ByteSwap(T v) {
  static_assert(std::is_trivially_copyable_v<T>);
  if constexpr (sizeof(T) == 1) {
    return v;
  } else {
    using U = std::conditional_t<sizeof(T) == 2, uint16_t,
                                 std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>;
    static_assert(sizeof(U) == sizeof(T));
    U u;
    std::memcpy(&u, &v, sizeof u);
    if constexpr (sizeof(T) == 2) u = __builtin_bswap16(u);
    if constexpr (sizeof(T) == 4) u = __builtin_bswap32(u);
    if constexpr (sizeof(T) == 8) u = __builtin_bswap64(u);
    std::memcpy(&v, &u, sizeof v);
    return v;
  }
}

// `swap`: the stored order is not the host's.
template <typename T>
T Load(const uint8_t* p, bool swap) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return swap ? ByteSwap(v) : v;
}

template <typename T>
void Store(uint8_t* p, T v, bool swap) {
  if (swap) v = ByteSwap(v);
  std::memcpy(p, &v, sizeof v);
}

constexpr bool kHostIsLittleEndian = std::endian::native == std::endian::little;

template <typename T>
T LoadLE(const uint8_t* p) {
  return Load<T>(p, !kHostIsLittleEndian);
}
template <typename T>
void StoreLE(uint8_t* p, T v) {
  Store<T>(p, v, !kHostIsLittleEndian);
}
// For files that say their own order (TIFF's "MM" or "II").
template <typename T>
T LoadInOrder(const uint8_t* p, bool msbFirst) {
  return Load<T>(p, msbFirst == kHostIsLittleEndian);
}

}  // namespace mirava

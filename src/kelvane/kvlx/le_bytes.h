// Little-endian loads and stores of the fixed-width integers of the KVLX format. Loads read
// exactly sizeof(T) bytes from `p`; the caller has checked the length.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace kelvane {

template <typename T>
inline T load_le(const std::uint8_t* p) {
  static_assert(std::is_unsigned_v<T>);
  // One unaligned load: GCC does not merge a shift-or loop over the bytes into one.
  T value;
  std::memcpy(&value, p, sizeof(T));
  if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
  return value;
}

template <typename T>
inline void store_le(std::uint8_t* p, T value) {
  static_assert(std::is_unsigned_v<T>);
  for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <typename T>
inline void append_le(std::vector<std::uint8_t>& out, T value) {
  static_assert(std::is_unsigned_v<T>);
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace kelvane

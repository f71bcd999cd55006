#include "kelvane/util/utf8.h"

namespace kelvane {

bool is_valid_utf8(std::span<const std::uint8_t> bytes) {
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t b0 = bytes[i];
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    // The allowed range of the second byte narrows for the lead bytes that could otherwise
    // start an overlong form, a surrogate or a code point above U+10FFFF.
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (bytes[i + 1] < lo || bytes[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

}  // namespace kelvane

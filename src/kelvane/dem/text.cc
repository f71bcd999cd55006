#include "kelvane/dem/text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace kelvane::dem_text {

bool equals_ignore_case(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

std::size_t whitespace_length(std::string_view s) {
  if (s.empty()) return 0;
  auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) return ascii_space(b0) ? 1 : 0;
  if (s.size() >= 2 && b0 == 0xC2) {
    auto b1 = static_cast<unsigned char>(s[1]);
    return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
  }
  if (s.size() < 3) return 0;
  auto b1 = static_cast<unsigned char>(s[1]);
  auto b2 = static_cast<unsigned char>(s[2]);
  if (b0 == 0xE1) return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;  // U+1680
  if (b0 == 0xE2) {
    if (b1 == 0x80) {
      // U+2000..U+200A, U+2028, U+2029, U+202F
      return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
    }
    return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;  // U+205F
  }
  if (b0 == 0xE3) return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;  // U+3000
  return 0;
}

std::string_view trim_slow(std::string_view s) {
  while (std::size_t n = whitespace_length(s)) s.remove_prefix(n);
  // Trailing: try the 1-, 2- and 3-byte forms that can end the text.
  while (!s.empty()) {
    std::size_t n = 0;
    for (std::size_t len = 1; len <= 3 && len <= s.size() && n == 0; ++len) {
      if (whitespace_length(s.substr(s.size() - len)) == len) n = len;
    }
    if (n == 0) break;
    s.remove_suffix(n);
  }
  return s;
}

bool next_token_slow(std::string_view& s, std::string_view& token) {
  std::size_t i = 0;
  const std::size_t size = s.size();
  while (i < size) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (!ascii_space(c)) break;
      ++i;
    } else {
      std::size_t n = whitespace_length(s.substr(i));
      if (n == 0) break;
      i += n;
    }
  }
  std::size_t start = i;
  while (i < size) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (ascii_space(c)) break;
      ++i;
    } else {
      if (whitespace_length(s.substr(i)) != 0) break;
      ++i;
    }
  }
  token = s.substr(start, i - start);
  s.remove_prefix(i);
  return !token.empty();
}

bool parse_decimal(std::string_view s, double& out) {
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  std::string_view body = s.substr(i);
  if (equals_ignore_case(body, "inf") || equals_ignore_case(body, "infinity")) {
    out = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    return true;
  }
  if (equals_ignore_case(body, "nan")) {
    out = std::copysign(std::numeric_limits<double>::quiet_NaN(), negative ? -1.0 : 1.0);
    return true;
  }
  // Check the shape ourselves: from_chars would accept "nan(...)" and stop early on others.
  std::size_t j = 0, digits = 0;
  while (j < body.size() && body[j] >= '0' && body[j] <= '9') ++j, ++digits;
  if (j < body.size() && body[j] == '.') {
    ++j;
    while (j < body.size() && body[j] >= '0' && body[j] <= '9') ++j, ++digits;
  }
  if (digits == 0) return false;
  if (j < body.size() && (body[j] == 'e' || body[j] == 'E')) {
    ++j;
    if (j < body.size() && (body[j] == '+' || body[j] == '-')) ++j;
    std::size_t exp_digits = 0;
    while (j < body.size() && body[j] >= '0' && body[j] <= '9') ++j, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  if (j != body.size()) return false;

  // from_chars takes a '-' but no '+'.
  std::string_view number = negative ? s : body;
  double value = 0.0;
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec == std::errc() && end == number.data() + number.size()) {
    out = value;
    return true;
  }
  // Out of range: strtod rounds to infinity or to zero, as wanted (the shape is checked above).
  std::string copy(number);
  out = std::strtod(copy.c_str(), nullptr);
  return true;
}

}  // namespace kelvane::dem_text

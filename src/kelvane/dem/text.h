// Lexical helpers of the DEM parser: whitespace, tokens and number texts.
//
// Whitespace is every character with the Unicode White_Space property (ASCII space, tab, line
// feed, vertical tab, form feed, carriage return, and U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000 in UTF-8). Tokens are maximal runs of anything else.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvane::dem_text {

// Length in bytes of the whitespace character that `s` starts with, or 0.
std::size_t whitespace_length(std::string_view s);

inline bool ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// ASCII case-insensitive equality of `s` with `lower`, written in lower case (`ERROR` is
// `error`, `INF` is `inf`, as in Stim).
bool equals_ignore_case(std::string_view s, std::string_view lower);

// `s` without leading and trailing whitespace.
std::string_view trim_slow(std::string_view s);

inline std::string_view trim(std::string_view s) {
  // Plain ASCII ends are the common case; anything else goes the careful way.
  while (!s.empty() && ascii_space(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && ascii_space(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  if (!s.empty() && (static_cast<unsigned char>(s.front()) >= 0x80 || static_cast<unsigned char>(s.back()) >= 0x80)) {
    return trim_slow(s);
  }
  return s;
}

// Removes leading whitespace and the next token from `s`, storing the token in `token`.
// Returns false (leaving `token` empty) when only whitespace was left.
bool next_token_slow(std::string_view& s, std::string_view& token);

inline bool next_token(std::string_view& s, std::string_view& token) {
  // Fast path for plain ASCII text; anything else goes the careful way.
  const char* p = s.data();
  const char* end = p + s.size();
  while (p < end && ascii_space(static_cast<unsigned char>(*p))) ++p;
  const char* start = p;
  while (p < end) {
    auto c = static_cast<unsigned char>(*p);
    if (c >= 0x80) return next_token_slow(s, token);
    if (ascii_space(c)) break;
    ++p;
  }
  token = std::string_view(start, static_cast<std::size_t>(p - start));
  s.remove_prefix(static_cast<std::size_t>(p - s.data()));
  return !token.empty();
}

// An unsigned integer text: one optional '+', then one or more ASCII digits and nothing else,
// with a value of at most `max`. Leading zeros are allowed. nullopt on any other text.
inline std::optional<std::uint64_t> parse_unsigned(std::string_view s, std::uint64_t max) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty() || s.size() > 9) {
    if (s.empty() || s[0] < '0' || s[0] > '9') return std::nullopt;
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 10);
    if (ec != std::errc() || end != s.data() + s.size() || value > max) return std::nullopt;
    return value;
  }
  // Up to nine digits cannot overflow.
  std::uint64_t value = 0;
  for (char c : s) {
    auto d = static_cast<unsigned>(c - '0');
    if (d > 9) return std::nullopt;
    value = value * 10 + d;
  }
  if (value > max) return std::nullopt;
  return value;
}

// A decimal float text: optional sign, digits with an optional point (at least one digit),
// optional exponent; or "inf", "infinity", "nan" in any case, with an optional sign. The value
// is the nearest double; magnitudes out of range become infinities (or zero). False on any
// other text (whitespace, hexadecimal, digit separators).
bool parse_decimal(std::string_view s, double& out);

}  // namespace kelvane::dem_text

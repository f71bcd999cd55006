// One line of DEM text: which instruction it is (matched without regard to case, a tag in
// square brackets dropped, a comment cut off), and the tokens its targets are written with.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "kelvane/dem/text.h"

namespace kelvane::dem_text {

// What a line of DEM text is, with the text after its instruction name and tag.
// `Unknown` is a line whose instruction name is none of the DEM's; `Malformed` a known
// instruction written so that it cannot be read (`error` without its argument, a tag without
// its `]`).
enum class LineKind : std::uint8_t {
  Skip, Repeat, Error, Detector, Observable, Shift, Separator, Close, Unknown, Malformed
};

struct Line {
  LineKind kind = LineKind::Skip;
  std::string_view rest;     // after the name (and tag), comment removed
  std::string_view trimmed;  // the whole line, trimmed, comment removed
  std::string_view name;     // the instruction name as written
};

// Classifies one raw line by its instruction name: the run of letters, digits and `_` that
// starts it, matched without regard to case. A tag in square brackets right after the name is
// dropped; a `#` inside the tag does not start a comment. A declaration whose tag lacks its `]`
// is read as written; any other instruction with such a tag is malformed.
Line classify(std::string_view raw);

// A `D<n>` token's id (32 bits), or nullopt.
std::optional<std::uint64_t> detector_token(std::string_view token);

// An `L<n>` token's id (L0 to L255, one byte), or nullopt.
std::optional<std::uint64_t> observable_token(std::string_view token);

// Reads a coordinate list "a, b, c" into up to three values; unparsable parts give 0.0.
// `count` receives the number of parts written (saturating at 255), also beyond three. False
// when a part is infinite or NaN (as Stim, which refuses them): the caller refuses the line.
bool read_coords(std::string_view text, std::array<double, 3>& out, std::uint8_t& count);

// Remembers recently parsed probability texts: a DEM repeats a few probabilities many times,
// and full-precision texts such as "0.0001333866998761607556" are slow to convert.
class ProbabilityCache {
 public:
  bool parse(std::string_view text, double& out) {
    if (text.size() > kMaxText) return parse_decimal(text, out);
    std::uint32_t h = 2166136261u;
    for (char c : text) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    Entry& e = entries_[h % kEntries];
    if (e.size == text.size() && e.size != 0 && std::memcmp(e.text, text.data(), text.size()) == 0) {
      out = e.value;
      return true;
    }
    if (!parse_decimal(text, out)) return false;
    e.size = static_cast<std::uint8_t>(text.size());
    std::memcpy(e.text, text.data(), text.size());
    e.value = out;
    return true;
  }

 private:
  static constexpr std::size_t kMaxText = 39;
  static constexpr std::size_t kEntries = 256;
  struct Entry {
    double value = 0.0;
    std::uint8_t size = 0;
    char text[kMaxText];
  };
  Entry entries_[kEntries];
};

}  // namespace kelvane::dem_text

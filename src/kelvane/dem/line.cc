#include "kelvane/dem/line.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kelvane/dem/parser.h"

namespace kelvane::dem_text {
namespace {

// Removes a `#` comment and trailing whitespace.
std::string_view cut_comment(std::string_view s) {
  std::size_t hash = s.find('#');
  if (hash != std::string_view::npos) s = s.substr(0, hash);
  return trim(s);
}

bool name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

Line classify(std::string_view raw) {
  Line line;
  std::string_view t = trim(raw);
  if (t.empty() || t[0] == '#') return line;
  line.trimmed = cut_comment(t);
  if (line.trimmed == "}") {
    line.kind = LineKind::Close;
    return line;
  }

  std::size_t name_end = 0;
  while (name_end < t.size() && name_char(t[name_end])) ++name_end;
  line.name = t.substr(0, name_end);
  if (line.name.empty()) {
    // No name at all ("{", "(0.1) D0"): report the first token.
    std::string_view rest = line.trimmed;
    dem_text::next_token(rest, line.name);
    line.kind = LineKind::Unknown;
    return line;
  }

  struct Name {
    std::string_view word;
    LineKind kind;
  };
  static constexpr Name kNames[] = {
      {"repeat", LineKind::Repeat},          {"error", LineKind::Error},
      {"detector", LineKind::Detector},      {"logical_observable", LineKind::Observable},
      {"shift_detectors", LineKind::Shift},  {"detector_separator", LineKind::Separator},
  };
  LineKind kind = LineKind::Unknown;
  for (const Name& n : kNames) {
    if (equals_ignore_case(line.name, n.word)) kind = n.kind;
  }
  if (kind == LineKind::Unknown) {
    line.kind = kind;
    return line;
  }

  std::string_view after = t.substr(name_end);
  if (!after.empty() && after[0] == '[') {
    std::size_t close = after.find(']');
    if (close == std::string_view::npos) {
      if (kind == LineKind::Detector || kind == LineKind::Observable) {
        line.kind = kind;
        line.rest = line.trimmed.substr(std::min(name_end, line.trimmed.size()));
        return line;
      }
      line.kind = LineKind::Malformed;
      return line;
    }
    std::size_t tail_start = name_end + close + 1;
    std::string_view tail = t.substr(tail_start);
    std::size_t hash = tail.find('#');
    if (hash != std::string_view::npos) tail = tail.substr(0, hash);
    line.trimmed = trim(t.substr(0, tail_start + tail.size()));
    line.rest = line.trimmed.size() > tail_start ? line.trimmed.substr(tail_start) : std::string_view{};
  } else {
    line.rest = line.trimmed.substr(std::min(name_end, line.trimmed.size()));
  }
  // An error's probability follows its name (or tag) at once.
  if (kind == LineKind::Error && (line.rest.empty() || line.rest[0] != '(')) kind = LineKind::Malformed;
  line.kind = kind;
  return line;
}

std::optional<std::uint64_t> detector_token(std::string_view token) {
  if (token.size() < 2 || token[0] != 'D') return std::nullopt;
  return parse_unsigned(token.substr(1), std::numeric_limits<DetectorId>::max());
}

std::optional<std::uint64_t> observable_token(std::string_view token) {
  if (token.size() < 2 || token[0] != 'L') return std::nullopt;
  return parse_unsigned(token.substr(1), kMaxObservables - 1);
}

bool read_coords(std::string_view text, std::array<double, 3>& out, std::uint8_t& count) {
  out = {0.0, 0.0, 0.0};
  count = 0;
  if (trim(text).empty()) return true;
  std::size_t part = 0;
  while (true) {
    std::size_t comma = text.find(',');
    std::string_view piece = trim(text.substr(0, comma));
    double v = 0.0;
    const bool parsed = parse_decimal(piece, v);
    if (parsed && !std::isfinite(v)) return false;
    if (part < 3) out[part] = parsed ? v : 0.0;
    ++part;
    count = static_cast<std::uint8_t>(std::min<std::size_t>(part, 255));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return true;
}

}  // namespace kelvane::dem_text

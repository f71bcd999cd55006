// Which algorithm a graph decode runs: Union-Find growth (union_find.h), or exact
// minimum-weight matching (matching/matching_decoder.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvane {

enum class DecodeMethod : std::uint8_t { kUnionFind, kMatching };

// The method a name selects ("union-find" or "matching"), or nothing for any other name.
inline std::optional<DecodeMethod> decode_method_named(std::string_view name) {
  if (name == "union-find") return DecodeMethod::kUnionFind;
  if (name == "matching") return DecodeMethod::kMatching;
  return std::nullopt;
}

}  // namespace kelvane

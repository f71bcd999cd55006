// Code families. Frames carry the raw code byte; schemas carry a text that may name a family.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvane {

enum class CodeType : std::uint8_t {
  SurfaceCode = 1,
  HoneycombCode = 2,
  ColorCode = 3,
  RepetitionCode = 4,
  ToricCode = 5,
  BivariateBicycle = 6,
  HypergraphProduct = 7,
  FiberBundle = 8,
  Custom = 255,
};

// The family named by a schema's code_type text ("surface", "surface_code", ..., "custom").
// Exact and case-sensitive: "Custom" names no family.
std::optional<CodeType> code_type_from_schema_text(std::string_view text);

// The variant name ("SurfaceCode", ..., "Custom"); empty for a byte that names no family.
std::string_view code_type_name(CodeType type);

// The family of a raw code byte, if the byte names one.
std::optional<CodeType> code_type_from_byte(std::uint8_t byte);

}  // namespace kelvane

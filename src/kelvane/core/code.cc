#include "kelvane/core/code.h"

namespace kelvane {

std::optional<CodeType> code_type_from_schema_text(std::string_view text) {
  struct Entry {
    std::string_view text;
    CodeType type;
  };
  static constexpr Entry kTable[] = {
      {"surface", CodeType::SurfaceCode},
      {"surface_code", CodeType::SurfaceCode},
      {"honeycomb", CodeType::HoneycombCode},
      {"honeycomb_code", CodeType::HoneycombCode},
      {"color", CodeType::ColorCode},
      {"color_code", CodeType::ColorCode},
      {"repetition", CodeType::RepetitionCode},
      {"repetition_code", CodeType::RepetitionCode},
      {"toric", CodeType::ToricCode},
      {"toric_code", CodeType::ToricCode},
      {"bivariate_bicycle", CodeType::BivariateBicycle},
      {"hypergraph_product", CodeType::HypergraphProduct},
      {"fiber_bundle", CodeType::FiberBundle},
      {"custom", CodeType::Custom},
  };
  for (const Entry& e : kTable) {
    if (e.text == text) return e.type;
  }
  return std::nullopt;
}

std::string_view code_type_name(CodeType type) {
  switch (type) {
    case CodeType::SurfaceCode: return "SurfaceCode";
    case CodeType::HoneycombCode: return "HoneycombCode";
    case CodeType::ColorCode: return "ColorCode";
    case CodeType::RepetitionCode: return "RepetitionCode";
    case CodeType::ToricCode: return "ToricCode";
    case CodeType::BivariateBicycle: return "BivariateBicycle";
    case CodeType::HypergraphProduct: return "HypergraphProduct";
    case CodeType::FiberBundle: return "FiberBundle";
    case CodeType::Custom: return "Custom";
  }
  return {};
}

std::optional<CodeType> code_type_from_byte(std::uint8_t byte) {
  if ((byte >= 1 && byte <= 8) || byte == 255) return static_cast<CodeType>(byte);
  return std::nullopt;
}

}  // namespace kelvane

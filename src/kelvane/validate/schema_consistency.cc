#include "kelvane/validate/schema_consistency.h"

#include "kelvane/core/code.h"

namespace kelvane {

Status check_schema_consistency(const SyndromeFrame& frame, const HardwareSchema& schema) {
  const FrameHeader& h = frame.header;
  if (h.ancilla_count != schema.ancilla_count) {
    return fail(errors::SchemaMismatch{"ancilla_count", schema.ancilla_count, h.ancilla_count});
  }
  if (h.qubit_count != schema.qubit_count) {
    return fail(errors::SchemaMismatch{"qubit_count", schema.qubit_count, h.qubit_count});
  }
  const std::optional<CodeType> family = code_type_from_schema_text(schema.code_type);
  if (family && static_cast<std::uint8_t>(*family) != h.code_type) {
    return fail(errors::SchemaMismatch{"code_type", static_cast<std::uint8_t>(*family), h.code_type});
  }
  return {};
}

}  // namespace kelvane

// Frame header against a hardware schema: ancilla_count, qubit_count, then code family.
#pragma once

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"
#include "kelvane/core/schema.h"

namespace kelvane {

// Success, or SchemaMismatch for the first field that differs. A schema code_type text that
// names no family skips the code comparison.
Status check_schema_consistency(const SyndromeFrame& frame, const HardwareSchema& schema);

}  // namespace kelvane

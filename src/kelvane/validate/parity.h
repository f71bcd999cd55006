// Stabiliser parities of the measurement results against the run-length-encoded detector events.
#pragma once

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"
#include "kelvane/core/schema.h"

namespace kelvane {

// For stabiliser i: the parity of its qubits' results that are <= 0 must equal event i of the
// encoding (0 beyond its end). Success, or ParityViolation for the first stabiliser that fails.
Status check_parity(const SyndromeFrame& frame, const HardwareSchema& schema);

}  // namespace kelvane

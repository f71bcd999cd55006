// A skeleton HardwareSchema derived from a detector error model.
//
// One ancilla per detector (ancilla_count = num_detectors, low 16 bits), one stabiliser per
// detector declaration in declaration order (id = low 16 bits of the detector id, no qubits,
// type guessed from the coordinates: Z without coordinates, otherwise the parity of
// round-half-away(x) + round-half-away(y) — even Z, odd X), code_type "Custom", version
// "1.0.0", a one-microsecond cycle, layout "auto", and a fresh random version-4 schema id.
// It cannot fail.
#pragma once

#include <string_view>

#include "kelvane/core/error.h"
#include "kelvane/core/schema.h"
#include "kelvane/dem/parser.h"

namespace kelvane {

HardwareSchema schema_from_dem(const DetectorErrorModel& model, std::string_view name);

// The stabiliser type guessed from a declaration's coordinates.
StabilizerType stabilizer_type_from_coords(const std::optional<std::array<double, 3>>& coords);

// A random RFC 4122 version-4 UUID from the operating system's secure random source
// (getrandom, then /dev/urandom). If neither delivers, the remaining bytes come from a
// std::random_device, so an id is always produced.
Uuid random_uuid_v4();

}  // namespace kelvane

// A skeleton HardwareSchema derived from a detector error model.
//
// One ancilla per detector (ancilla_count = num_detectors), one stabiliser per detector
// declaration in declaration order (id = the detector id, no qubits,
// type guessed from the coordinates: Z without coordinates, otherwise the parity of
// round-half-away(x) + round-half-away(y) — even Z, odd X), code_type "Custom", version
// "1.0.0", a one-microsecond cycle, layout "auto", and a fresh random version-4 schema id.
// A schema counts ancillas in 16 bits: a model with more than kMaxSchemaAncillas detectors is
// refused rather than written with a wrapped count and folded stabiliser ids.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "kelvane/core/error.h"
#include "kelvane/core/schema.h"
#include "kelvane/dem/parser.h"

namespace kelvane {

inline constexpr std::uint64_t kMaxSchemaAncillas = 65535;

// Why a model has no schema: it has more detectors than a schema has ancillas.
struct SchemaGenError {
  std::uint64_t detectors = 0;
  // "the model has {n} detectors, more than the 65535 ancillas a hardware schema can describe"
  std::string to_string() const;
};

std::expected<HardwareSchema, SchemaGenError> schema_from_dem(const DetectorErrorModel& model, std::string_view name);

// The stabiliser type guessed from a declaration's coordinates.
StabilizerType stabilizer_type_from_coords(const std::optional<std::array<double, 3>>& coords);

// A random RFC 4122 version-4 UUID from the operating system's secure random source
// (getrandom, then /dev/urandom). If neither delivers, the remaining bytes come from a
// std::random_device, so an id is always produced.
Uuid random_uuid_v4();

}  // namespace kelvane

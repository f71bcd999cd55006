#include "kelvane/dem/schema_gen.h"

#include <sys/random.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

namespace kelvane {

namespace {

// Fills `buf` from getrandom, then /dev/urandom; returns the number of bytes filled.
std::size_t os_random(std::uint8_t* buf, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    ssize_t got = getrandom(buf + filled, size - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (filled == size) return filled;
  if (std::FILE* f = std::fopen("/dev/urandom", "rb")) {
    filled += std::fread(buf + filled, 1, size - filled, f);
    std::fclose(f);
  }
  return filled;
}

// Nearest integer with halves away from zero, saturated to int64 (NaN gives 0).
std::int64_t round_saturating(double v) {
  if (std::isnan(v)) return 0;
  double r = std::round(v);
  if (r >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (r < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(r);
}

}  // namespace

Uuid random_uuid_v4() {
  Uuid id{};
  std::size_t filled = os_random(id.data(), id.size());
  if (filled < id.size()) {
    std::random_device rd;
    for (std::size_t i = filled; i < id.size(); ++i) id[i] = static_cast<std::uint8_t>(rd());
  }
  id[6] = static_cast<std::uint8_t>((id[6] & 0x0F) | 0x40);  // version 4
  id[8] = static_cast<std::uint8_t>((id[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return id;
}

StabilizerType stabilizer_type_from_coords(const std::optional<std::array<double, 3>>& coords) {
  if (!coords) return StabilizerType::Z;
  // Wrapping addition: only the parity of the sum matters.
  auto x = static_cast<std::uint64_t>(round_saturating((*coords)[0]));
  auto y = static_cast<std::uint64_t>(round_saturating((*coords)[1]));
  return ((x + y) & 1) == 0 ? StabilizerType::Z : StabilizerType::X;
}

std::string SchemaGenError::to_string() const {
  return "the model has " + std::to_string(detectors) + " detectors, more than the " +
         std::to_string(kMaxSchemaAncillas) + " ancillas a hardware schema can describe";
}

std::expected<HardwareSchema, SchemaGenError> schema_from_dem(const DetectorErrorModel& model, std::string_view name) {
  if (model.num_detectors > kMaxSchemaAncillas) return std::unexpected(SchemaGenError{model.num_detectors});
  HardwareSchema s;
  s.schema_id = random_uuid_v4();
  s.version = "1.0.0";
  s.name = std::string(name);
  s.description = "Auto-generated from DEM: " + std::to_string(model.num_detectors) + " detectors, " +
                  std::to_string(model.num_observables) + " observables";
  s.code_type = "Custom";
  s.distance = 0;
  s.qubit_count = 0;
  s.ancilla_count = static_cast<std::uint16_t>(model.num_detectors);
  s.stabilizers.reserve(model.detector_decls.size());
  for (const DetectorDecl& d : model.detector_decls) {
    s.stabilizers.push_back(StabilizerEntry{static_cast<std::uint16_t>(d.id), stabilizer_type_from_coords(d.coords), {}});
  }
  s.measurement_cycle_us = 1.0f;
  s.ancilla_layout = "auto";
  return s;
}

}  // namespace kelvane

// Hardware schemas, their JSON form, and the registry that maps schema ids to schemas.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "kelvane/core/error.h"

namespace kelvane {

enum class StabilizerType : std::uint8_t { X, Z };

struct StabilizerEntry {
  std::uint16_t id = 0;
  StabilizerType type = StabilizerType::Z;
  std::vector<std::uint16_t> qubits;
  bool operator==(const StabilizerEntry&) const = default;
};

struct HardwareSchema {
  Uuid schema_id{};
  std::string version;
  std::string name;
  std::string description;
  std::string code_type;  // free text; see code_type_from_schema_text
  std::uint8_t distance = 0;
  std::uint16_t qubit_count = 0;
  std::uint16_t ancilla_count = 0;
  std::vector<StabilizerEntry> stabilizers;
  float measurement_cycle_us = 1.0f;
  std::string ancilla_layout;
  std::optional<std::string> ldpc_hz_matrix;
  std::optional<std::string> ldpc_hx_matrix;
  std::optional<std::string> logical_z_matrix;
  std::optional<std::string> logical_x_matrix;
  std::optional<double> encoding_rate;
  std::optional<std::string> dem_path;
  bool operator==(const HardwareSchema&) const = default;
};

// The schema as a pretty-printed JSON object (two-space indentation, members in field order,
// absent optional fields omitted, shortest round-trip floats, non-finite floats as null).
std::string schema_to_json(const HardwareSchema& schema);

struct UuidHash {
  std::size_t operator()(const Uuid& id) const noexcept;
};

// Map from schema id to schema. A stream's default registry is empty; `add` exists so that
// callers of the core library (and tests) can validate frames against their own schemas.
class SchemaRegistry {
 public:
  SchemaRegistry() = default;
  // Stores `schema` under its schema_id, replacing any schema stored under that id.
  void add(HardwareSchema schema);
  // The stored schema, or SchemaNotFound carrying `id`. The pointer lives as long as the registry.
  Result<const HardwareSchema*> get(const Uuid& id) const;

 private:
  std::unordered_map<Uuid, HardwareSchema, UuidHash> schemas_;
};

}  // namespace kelvane

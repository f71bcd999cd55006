// Prints random hardware schemas as JSON, each followed by its field values in a plain form, so
// that tests/test_schema_json.py can parse the JSON with Python's json module and compare.
//
// Usage: schema_json_samples SEED COUNT
// For each schema:
//   "=== json" line, the JSON document, then a "=== fields" line and one "name value" line per
//   field present, in member order: strings as lowercase hex of their UTF-8 bytes ("" when
//   empty), integers in decimal, floats as C hex floats of the value ("null" when not finite),
//   stabilisers as "stabilizer ID TYPE q1,q2,..." ("-" for no qubits).
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "kelvane/core/schema.h"

namespace {

using kelvane::HardwareSchema;

// Strings built to stress escaping: quotes, backslashes, every control character, DEL, slash,
// and 2-, 3- and 4-byte UTF-8 sequences.
std::string random_string(std::mt19937_64& rng) {
  static const char* const kPieces[] = {"\"", "\\", "/", "\x7f", "a", "Z", " ", "{", "}", "[", ":", ",",
                                        "\xC3\xA9", "\xE2\x9C\x93", "\xF0\x9F\x98\x80", "\xEF\xBF\xBF", "\\u0041"};
  std::string s;
  const std::size_t n = rng() % 12;
  for (std::size_t i = 0; i < n; ++i) {
    if (rng() % 3 == 0) {
      s.push_back(static_cast<char>(rng() % 0x20));
    } else {
      s += kPieces[rng() % std::size(kPieces)];
    }
  }
  return s;
}

template <typename F>
F random_float(std::mt19937_64& rng) {
  switch (rng() % 8) {
    case 0: return std::numeric_limits<F>::quiet_NaN();
    case 1: return (rng() & 1) ? std::numeric_limits<F>::infinity() : -std::numeric_limits<F>::infinity();
    case 2: return static_cast<F>(rng() % 1000) / F(8);  // short exact values
    case 3: return static_cast<F>(std::pow(10.0, static_cast<double>(static_cast<int>(rng() % 50) - 25)));
    default: {
      // Any finite bit pattern.
      using Bits = std::conditional_t<sizeof(F) == 4, std::uint32_t, std::uint64_t>;
      for (;;) {
        const Bits bits = static_cast<Bits>(rng());
        F value;
        std::memcpy(&value, &bits, sizeof value);
        if (std::isfinite(value)) return value;
      }
    }
  }
}

void print_hex(const char* name, const std::string& s) {
  std::printf("%s ", name);
  for (unsigned char c : s) std::printf("%02x", c);
  std::printf("\n");
}

void print_float(const char* name, double v) {
  if (std::isfinite(v)) {
    std::printf("%s %a\n", name, v);
  } else {
    std::printf("%s null\n", name);
  }
}

HardwareSchema random_schema(std::mt19937_64& rng) {
  HardwareSchema s;
  for (auto& b : s.schema_id) b = static_cast<std::uint8_t>(rng());
  s.version = random_string(rng);
  s.name = random_string(rng);
  s.description = random_string(rng);
  s.code_type = random_string(rng);
  s.distance = static_cast<std::uint8_t>(rng());
  s.qubit_count = static_cast<std::uint16_t>(rng());
  s.ancilla_count = static_cast<std::uint16_t>(rng());
  for (std::size_t i = rng() % 4; i > 0; --i) {
    kelvane::StabilizerEntry e;
    e.id = static_cast<std::uint16_t>(rng());
    e.type = (rng() & 1) ? kelvane::StabilizerType::X : kelvane::StabilizerType::Z;
    for (std::size_t q = rng() % 4; q > 0; --q) e.qubits.push_back(static_cast<std::uint16_t>(rng()));
    s.stabilizers.push_back(std::move(e));
  }
  s.measurement_cycle_us = random_float<float>(rng);
  s.ancilla_layout = random_string(rng);
  if (rng() & 1) s.ldpc_hz_matrix = random_string(rng);
  if (rng() & 1) s.ldpc_hx_matrix = random_string(rng);
  if (rng() & 1) s.logical_z_matrix = random_string(rng);
  if (rng() & 1) s.logical_x_matrix = random_string(rng);
  if (rng() & 1) s.encoding_rate = random_float<double>(rng);
  if (rng() & 1) s.dem_path = random_string(rng);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SEED COUNT\n", argv[0]);
    return 2;
  }
  std::mt19937_64 rng(std::strtoull(argv[1], nullptr, 10));
  const long count = std::strtol(argv[2], nullptr, 10);
  for (long n = 0; n < count; ++n) {
    const HardwareSchema s = random_schema(rng);
    std::printf("=== json\n%s\n=== fields\n", kelvane::schema_to_json(s).c_str());
    print_hex("schema_id", std::string(s.schema_id.begin(), s.schema_id.end()));
    print_hex("version", s.version);
    print_hex("name", s.name);
    print_hex("description", s.description);
    print_hex("code_type", s.code_type);
    std::printf("distance %u\nqubit_count %u\nancilla_count %u\n", s.distance, s.qubit_count, s.ancilla_count);
    for (const auto& e : s.stabilizers) {
      std::printf("stabilizer %u %s ", e.id, e.type == kelvane::StabilizerType::X ? "X" : "Z");
      if (e.qubits.empty()) std::printf("-");
      for (std::size_t q = 0; q < e.qubits.size(); ++q) std::printf(q ? ",%u" : "%u", e.qubits[q]);
      std::printf("\n");
    }
    print_float("measurement_cycle_us", s.measurement_cycle_us);
    print_hex("ancilla_layout", s.ancilla_layout);
    if (s.ldpc_hz_matrix) print_hex("ldpc_hz_matrix", *s.ldpc_hz_matrix);
    if (s.ldpc_hx_matrix) print_hex("ldpc_hx_matrix", *s.ldpc_hx_matrix);
    if (s.logical_z_matrix) print_hex("logical_z_matrix", *s.logical_z_matrix);
    if (s.logical_x_matrix) print_hex("logical_x_matrix", *s.logical_x_matrix);
    if (s.encoding_rate) print_float("encoding_rate", *s.encoding_rate);
    if (s.dem_path) print_hex("dem_path", *s.dem_path);
  }
  return 0;
}

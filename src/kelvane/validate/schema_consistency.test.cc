#include "kelvane/validate/schema_consistency.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

struct Case {
  std::uint16_t frame_ancillas, frame_qubits;
  std::uint8_t frame_code;
  std::uint16_t schema_ancillas, schema_qubits;
  const char* schema_code;
  const char* message;  // nullptr: passes
};

TEST(CheckSchemaConsistency, ComparesAncillasThenQubitsThenCodeFamily) {
  const Case cases[] = {
      {8, 17, 1, 8, 17, "surface", nullptr},
      {8, 17, 1, 8, 17, "surface_code", nullptr},
      {7, 16, 1, 8, 17, "surface", "frame/schema mismatch on ancilla_count: schema expects 8, frame has 7"},
      {8, 16, 3, 8, 17, "surface", "frame/schema mismatch on qubit_count: schema expects 17, frame has 16"},
      {8, 17, 3, 8, 17, "surface", "frame/schema mismatch on code_type: schema expects 1, frame has 3"},
      {8, 17, 5, 8, 17, "toric", nullptr},
      {8, 17, 1, 8, 17, "toric", "frame/schema mismatch on code_type: schema expects 5, frame has 1"},
      {8, 17, 0, 8, 17, "custom", "frame/schema mismatch on code_type: schema expects 255, frame has 0"},
      {8, 17, 200, 8, 17, "fiber_bundle", "frame/schema mismatch on code_type: schema expects 8, frame has 200"},
      // Texts that name no family never compare the code byte.
      {8, 17, 0, 8, 17, "Custom", nullptr},
      {8, 17, 200, 8, 17, "Surface", nullptr},
      {8, 17, 1, 8, 17, "", nullptr},
      {8, 17, 1, 8, 17, "surface ", nullptr},
  };
  for (const Case& c : cases) {
    SyndromeFrame f;
    f.header.ancilla_count = c.frame_ancillas;
    f.header.qubit_count = c.frame_qubits;
    f.header.code_type = c.frame_code;
    HardwareSchema s;
    s.ancilla_count = c.schema_ancillas;
    s.qubit_count = c.schema_qubits;
    s.code_type = c.schema_code;
    const Status r = check_schema_consistency(f, s);
    if (c.message) {
      ASSERT_FALSE(r.has_value()) << c.message;
      EXPECT_TRUE(r.error().is<errors::SchemaMismatch>());
      EXPECT_EQ(r.error().to_string(), c.message);
    } else {
      EXPECT_TRUE(r.has_value()) << r.error().to_string();
    }
  }
}

}  // namespace
}  // namespace kelvane

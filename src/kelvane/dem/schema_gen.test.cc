#include "kelvane/dem/schema_gen.h"

#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <string>

namespace kelvane {
namespace {

HardwareSchema schema_of(const char* text, std::string_view name = "dev") {
  auto m = DetectorErrorModel::parse(text);
  EXPECT_TRUE(m.has_value()) << m.error().to_string();
  auto s = schema_from_dem(*m, name);
  EXPECT_TRUE(s.has_value()) << s.error().to_string();
  return s ? *s : HardwareSchema{};
}

// "<id><type>" per stabiliser, e.g. "0Z 1X".
std::string stabilizers(const HardwareSchema& s) {
  std::string out;
  for (const StabilizerEntry& e : s.stabilizers) {
    EXPECT_TRUE(e.qubits.empty());
    if (!out.empty()) out += ' ';
    out += std::to_string(e.id);
    out += e.type == StabilizerType::X ? 'X' : 'Z';
  }
  return out;
}

struct TypeCase {
  const char* text;
  const char* stabilizers;
};

class StabilizerTypes : public ::testing::TestWithParam<TypeCase> {};

TEST_P(StabilizerTypes, FromCoordinates) { EXPECT_EQ(stabilizers(schema_of(GetParam().text)), GetParam().stabilizers); }

INSTANTIATE_TEST_SUITE_P(
    Cases, StabilizerTypes,
    ::testing::Values(TypeCase{"detector(0, 0, 0) D0\ndetector(1, 0, 0) D1\ndetector(1, 1) D2", "0Z 1X 2Z"},
                      TypeCase{"detector(0.5, 0) D0", "0X"}, TypeCase{"detector(-0.5, 0) D0", "0X"},
                      TypeCase{"detector(2.5, 0.5) D0", "0Z"}, TypeCase{"detector(0.49, 0) D0", "0Z"},
                      TypeCase{"detector(-3, 0, 7) D0", "0X"}, TypeCase{"detector D4", "4Z"},
                      TypeCase{"detector(1e300, 1) D0", "0Z"},
                      TypeCase{"detector(1,0) D3\ndetector(0,0) D1", "3X 1Z"},
                      TypeCase{"error(0.1) D7", ""}, TypeCase{"detector(0,0) D65534", "65534Z"}));

TEST(SchemaFromDem, FixedFields) {
  HardwareSchema s = schema_of("error(0.1) D7", "my \"device\"");
  EXPECT_EQ(s.version, "1.0.0");
  EXPECT_EQ(s.name, "my \"device\"");
  EXPECT_EQ(s.description, "Auto-generated from DEM: 8 detectors, 0 observables");
  EXPECT_EQ(s.code_type, "Custom");
  EXPECT_EQ(s.distance, 0);
  EXPECT_EQ(s.qubit_count, 0);
  EXPECT_EQ(s.ancilla_count, 8);
  EXPECT_EQ(s.measurement_cycle_us, 1.0f);
  EXPECT_EQ(s.ancilla_layout, "auto");
  EXPECT_FALSE(s.ldpc_hz_matrix || s.ldpc_hx_matrix || s.logical_z_matrix || s.logical_x_matrix);
  EXPECT_FALSE(s.encoding_rate || s.dem_path);
}

TEST(SchemaFromDem, EmptyModel) {
  HardwareSchema s = schema_of("", "");
  EXPECT_EQ(s.name, "");
  EXPECT_EQ(s.description, "Auto-generated from DEM: 0 detectors, 0 observables");
  EXPECT_EQ(s.ancilla_count, 0);
  EXPECT_TRUE(s.stabilizers.empty());
}

TEST(SchemaFromDem, RefusesMoreDetectorsThanSixteenBitsCount) {
  EXPECT_EQ(schema_of("detector D65534").ancilla_count, 65535);
  EXPECT_EQ(schema_of("detector D65534").stabilizers.back().id, 65534);
  for (const char* text : {"error(0.1) D65535", "error(0.1) D65536 ^ D1"}) {
    auto m = DetectorErrorModel::parse(text);
    ASSERT_TRUE(m.has_value());
    auto s = schema_from_dem(*m, "dev");
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().to_string(), "the model has " + std::to_string(m->num_detectors) +
                                         " detectors, more than the 65535 ancillas a hardware schema can describe");
  }
}

TEST(SchemaFromDem, EveryCallDrawsAFreshVersion4Id) {
  auto m = DetectorErrorModel::parse("detector(1,0) D0\nerror(0.1) D0 ^ L1");
  ASSERT_TRUE(m.has_value());
  HardwareSchema a = *schema_from_dem(*m, "dev");
  HardwareSchema b = *schema_from_dem(*m, "dev");
  EXPECT_NE(a.schema_id, b.schema_id);
  b.schema_id = a.schema_id;
  EXPECT_EQ(a, b);

  std::set<Uuid> seen;
  for (int i = 0; i < 64; ++i) {
    Uuid id = random_uuid_v4();
    EXPECT_EQ(id[6] >> 4, 4);
    EXPECT_EQ(id[8] & 0xC0, 0x80);
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 64u);
}

}  // namespace
}  // namespace kelvane

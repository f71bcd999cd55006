#include "kelvane/core/schema.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kelvane {
namespace {

HardwareSchema example_schema() {
  HardwareSchema s;
  s.schema_id = {0x0f, 0x8e, 0x2a, 0x4c, 0x1b, 0x3d, 0x4e, 0x5f, 0x8a, 0x9b, 0x0c, 0x1d, 0x2e, 0x3f, 0x4a, 0x5b};
  s.version = "1.0.0";
  s.name = "dev";
  s.description = "Auto-generated from DEM: 2 detectors, 1 observables";
  s.code_type = "Custom";
  s.distance = 0;
  s.qubit_count = 0;
  s.ancilla_count = 2;
  s.stabilizers = {{0, StabilizerType::Z, {}}};
  s.measurement_cycle_us = 1.0f;
  s.ancilla_layout = "auto";
  return s;
}

TEST(SchemaToJson, ExampleLayoutExactly) {
  EXPECT_EQ(schema_to_json(example_schema()),
            "{\n"
            "  \"schema_id\": \"0f8e2a4c-1b3d-4e5f-8a9b-0c1d2e3f4a5b\",\n"
            "  \"version\": \"1.0.0\",\n"
            "  \"name\": \"dev\",\n"
            "  \"description\": \"Auto-generated from DEM: 2 detectors, 1 observables\",\n"
            "  \"code_type\": \"Custom\",\n"
            "  \"distance\": 0,\n"
            "  \"qubit_count\": 0,\n"
            "  \"ancilla_count\": 2,\n"
            "  \"stabilizers\": [\n"
            "    {\n"
            "      \"id\": 0,\n"
            "      \"type\": \"Z\",\n"
            "      \"qubits\": []\n"
            "    }\n"
            "  ],\n"
            "  \"measurement_cycle_us\": 1.0,\n"
            "  \"ancilla_layout\": \"auto\"\n"
            "}");
}

TEST(SchemaToJson, AllOptionalMembersInOrderAndNestedArrays) {
  HardwareSchema s = example_schema();
  s.distance = 255;
  s.qubit_count = 65535;
  s.stabilizers = {{7, StabilizerType::X, {1, 65535}}, {8, StabilizerType::Z, {3}}};
  s.ldpc_hz_matrix = "hz";
  s.ldpc_hx_matrix = "hx";
  s.logical_z_matrix = "lz";
  s.logical_x_matrix = "lx";
  s.encoding_rate = 0.5;
  s.dem_path = "/tmp/a.dem";
  EXPECT_EQ(schema_to_json(s),
            "{\n"
            "  \"schema_id\": \"0f8e2a4c-1b3d-4e5f-8a9b-0c1d2e3f4a5b\",\n"
            "  \"version\": \"1.0.0\",\n"
            "  \"name\": \"dev\",\n"
            "  \"description\": \"Auto-generated from DEM: 2 detectors, 1 observables\",\n"
            "  \"code_type\": \"Custom\",\n"
            "  \"distance\": 255,\n"
            "  \"qubit_count\": 65535,\n"
            "  \"ancilla_count\": 2,\n"
            "  \"stabilizers\": [\n"
            "    {\n"
            "      \"id\": 7,\n"
            "      \"type\": \"X\",\n"
            "      \"qubits\": [\n"
            "        1,\n"
            "        65535\n"
            "      ]\n"
            "    },\n"
            "    {\n"
            "      \"id\": 8,\n"
            "      \"type\": \"Z\",\n"
            "      \"qubits\": [\n"
            "        3\n"
            "      ]\n"
            "    }\n"
            "  ],\n"
            "  \"measurement_cycle_us\": 1.0,\n"
            "  \"ancilla_layout\": \"auto\",\n"
            "  \"ldpc_hz_matrix\": \"hz\",\n"
            "  \"ldpc_hx_matrix\": \"hx\",\n"
            "  \"logical_z_matrix\": \"lz\",\n"
            "  \"logical_x_matrix\": \"lx\",\n"
            "  \"encoding_rate\": 0.5,\n"
            "  \"dem_path\": \"/tmp/a.dem\"\n"
            "}");
}

TEST(SchemaToJson, EmptyStabilizerListOnOneLineAndOnlyPresentOptionals) {
  HardwareSchema s = example_schema();
  s.stabilizers.clear();
  s.encoding_rate = 0.25;
  const std::string json = schema_to_json(s);
  EXPECT_NE(json.find("  \"stabilizers\": [],\n  \"measurement_cycle_us\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"ancilla_layout\": \"auto\",\n  \"encoding_rate\": 0.25\n}"), std::string::npos) << json;
  for (const char* absent : {"ldpc_hz_matrix", "ldpc_hx_matrix", "logical_z_matrix", "logical_x_matrix", "dem_path", "null"}) {
    EXPECT_EQ(json.find(absent), std::string::npos) << absent;
  }
}

std::string member_value(const std::string& json, const std::string& key) {
  const std::string head = "\"" + key + "\": ";
  const std::size_t start = json.find(head) + head.size();
  return json.substr(start, json.find_first_of(",\n", start) - start);
}

std::string f32_text(float v) {
  HardwareSchema s = example_schema();
  s.measurement_cycle_us = v;
  return member_value(schema_to_json(s), "measurement_cycle_us");
}

std::string f64_text(double v) {
  HardwareSchema s = example_schema();
  s.encoding_rate = v;
  return member_value(schema_to_json(s), "encoding_rate");
}

TEST(SchemaToJson, Float32ShortestDigitsAndNotation) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const std::pair<float, const char*> cases[] = {
      {1.0f, "1.0"},
      {100.0f, "100.0"},
      {0.00015f, "0.00015"},
      {2.5f, "2.5"},
      {-3.25f, "-3.25"},
      {0.1f, "0.1"},          // shortest in 32 bits, not 0.10000000149011612
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {1e-6f, "0.000001"},    // lowest plain exponent
      {1e-7f, "1e-7"},
      {1.5e-7f, "1.5e-7"},
      {1e12f, "1000000000000.0"},  // highest plain exponent
      {1e13f, "1e+13"},
      {123456789.0f, "123456790.0"},
      {16777216.0f, "16777216.0"},
      {std::numeric_limits<float>::max(), "3.4028235e+38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
      {std::numeric_limits<float>::quiet_NaN(), "null"},
      {kInf, "null"},
      {-kInf, "null"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(f32_text(v), text) << v;
}

TEST(SchemaToJson, Float64ShortestDigitsAndNotation) {
  const std::pair<double, const char*> cases[] = {
      {0.5, "0.5"},
      {0.1, "0.1"},
      {1.0 / 3.0, "0.3333333333333333"},
      {1e-5, "0.00001"},
      {1e-6, "1e-6"},
      {1.25e-6, "1.25e-6"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {123456789012345.6, "123456789012345.6"},
      {-2.0e100, "-2e+100"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::nan(""), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(f64_text(v), text) << v;
}

TEST(SchemaToJson, StringEscapes) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"a\"b\\c\td\x01", "\"a\\\"b\\\\c\\td\\u0001\""},
      {"\b\f\n\r", "\"\\b\\f\\n\\r\""},
      {std::string("\0\x1f\x0b", 3), "\"\\u0000\\u001f\\u000b\""},
      {"/ \x7f \xC3\xA9 \xF0\x9F\x98\x80", "\"/ \x7f \xC3\xA9 \xF0\x9F\x98\x80\""},
  };
  for (const Case& c : cases) {
    HardwareSchema s = example_schema();
    s.name = c.in;
    EXPECT_EQ(member_value(schema_to_json(s), "name"), c.out);
  }
}

TEST(SchemaRegistry, EmptyRegistryAnswersSchemaNotFoundWithTheId) {
  const SchemaRegistry registry;
  const Uuid id = example_schema().schema_id;
  const auto r = registry.get(id);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().as<errors::SchemaNotFound>().schema_id, id);
  EXPECT_EQ(r.error().to_string(), "schema not found for id 0f8e2a4c-1b3d-4e5f-8a9b-0c1d2e3f4a5b");
}

TEST(SchemaRegistry, LookupComparesAllSixteenBytesAndAddReplaces) {
  SchemaRegistry registry;
  HardwareSchema a = example_schema();
  registry.add(a);
  for (std::size_t byte = 0; byte < 16; ++byte) {
    Uuid other = a.schema_id;
    other[byte] ^= 0x01;
    const auto miss = registry.get(other);
    ASSERT_FALSE(miss.has_value()) << byte;
    EXPECT_EQ(miss.error().as<errors::SchemaNotFound>().schema_id, other);
  }
  const auto hit = registry.get(a.schema_id);
  ASSERT_TRUE(hit.has_value());
  EXPECT_EQ(**hit, a);
  HardwareSchema replacement = a;
  replacement.name = "second";
  registry.add(replacement);
  EXPECT_EQ((*registry.get(a.schema_id))->name, "second");
}

TEST(UuidHash, DependsOnEveryByte) {
  const Uuid base{};
  const std::size_t h = UuidHash{}(base);
  for (std::size_t byte = 0; byte < 16; ++byte) {
    Uuid other = base;
    other[byte] = 1;
    EXPECT_NE(UuidHash{}(other), h) << byte;
  }
}

}  // namespace
}  // namespace kelvane

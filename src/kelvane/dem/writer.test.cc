#include "kelvane/dem/writer.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvane {
namespace {

DetectorErrorModel parsed(const std::string& text) {
  auto m = DetectorErrorModel::parse(text);
  EXPECT_TRUE(m.has_value()) << m.error().to_string();
  return m ? std::move(*m) : DetectorErrorModel{};
}

class WriterRoundTrip : public testing::TestWithParam<const char*> {};

TEST_P(WriterRoundTrip, ParsesBackToTheSameModel) {
  const DetectorErrorModel model = parsed(GetParam());
  const std::string text = to_dem_text(model);
  EXPECT_TRUE(same_model(parsed(text), model)) << text;
  EXPECT_EQ(to_dem_text(parsed(text)), text);
}

INSTANTIATE_TEST_SUITE_P(
    Models, WriterRoundTrip,
    testing::Values("", "error(0.1) D0 L0\nerror(0.25) D0 D1",
                    "error(0.1) D0 D1 ^ D2 L1 ^ L2\nerror(0.1) D3 ^ L0",
                    "detector(1, 2, 3) D4\ndetector D1\nlogical_observable L7\nerror(0.123456789012345) D0 D0",
                    "repeat 3 {\n error(0.01) D0 D1\n shift_detectors(0, 1) 2\n detector(0, 0) D0\n}\nerror(1e-300) D9",
                    "error[tag](0.2) D0 ^ D1 ^ D2"));

TEST(Writer, DifferentModelsAreNotTheSame) {
  const DetectorErrorModel a = parsed("error(0.1) D0 D1 L0");
  EXPECT_TRUE(same_model(a, parsed("error(0.1) D0 D1 L0")));
  for (const char* other : {"error(0.2) D0 D1 L0", "error(0.1) D1 D0 L0", "error(0.1) D0 D1 L1",
                            "error(0.1) D0 ^ D1 L0", "error(0.1) D0 D1 L0\ndetector D0", "error(0.1) D0 D1 L0\nerror(0.1) D0"}) {
    EXPECT_FALSE(same_model(a, parsed(other))) << other;
  }
}

}  // namespace
}  // namespace kelvane

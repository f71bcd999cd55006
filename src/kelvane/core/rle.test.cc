#include "kelvane/core/rle.h"

#include <gtest/gtest.h>

#include <random>

namespace kelvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(EncodeRleEvents, MaximalRunsSplitAt127) {
  struct Case {
    Bytes events;
    Bytes rle;
  };
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  const Case cases[] = {
      {{}, {}},
      {{0, 0, 0, 0, 0, 1, 1, 0, 0, 0}, {0x05, 0x82, 0x03}},
      {{1}, {0x81}},
      {{0, 2, 255, 0}, {0x01, 0x82, 0x01}},  // nonzero counts as fired
      {Bytes(127, 1), {0xFF}},
      {Bytes(128, 1), {0xFF, 0x81}},
      {Bytes(254, 0), {0x7F, 0x7F}},
      {cat({Bytes(300, 0), Bytes(129, 1)}), {0x7F, 0x7F, 0x2E, 0xFF, 0x82}},
  };
  for (const Case& c : cases) EXPECT_EQ(encode_rle_events(c.events), c.rle);
}

TEST(DecodeRleEvents, ExamplesCutPadAndZeroLengthRuns) {
  struct Case {
    Bytes rle;
    std::size_t n;
    Bytes expected;
  };
  const Case cases[] = {
      {{0x85, 0x03}, 4, {1, 1, 1, 1}},
      {{0x85, 0x03}, 10, {1, 1, 1, 1, 1, 0, 0, 0, 0, 0}},
      {{0x80, 0x00, 0x7F}, 3, {0, 0, 0}},
      {{0x05, 0x82, 0x03}, 10, {0, 0, 0, 0, 0, 1, 1, 0, 0, 0}},
      {{}, 3, {0, 0, 0}},
      {{0xFF}, 0, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(decode_rle_events(c.rle, c.n), c.expected);
  EXPECT_EQ(decode_rle_events(Bytes{0xFF, 0xFF, 0x82}, 256), Bytes(256, 1));
}

TEST(DetectorEventCount, SumsLowBitsOfFiredRunsOverTheWholeEncoding) {
  struct Case {
    std::vector<std::uint8_t> rle;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {{}, 0},
      {{0x05, 0x82, 0x03}, 2},
      {{0x7F, 0x00, 0x80}, 0},          // quiet runs and zero-length fired runs count nothing
      {{0xFF, 0xFF, 0x81}, 127 + 127 + 1},
      {{0x85, 0x03, 0x85}, 10},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(detector_event_count(c.rle), c.expected) << ::testing::PrintToString(c.rle);
  }
}

TEST(DecodeRleEventsInto, LengthAndExpansionMatchANaiveExpansionOnRandomEncodings) {
  std::mt19937 rng(12345);
  std::vector<std::uint8_t> out(50, 7);  // reused: cleared before every decode
  for (int iter = 0; iter < 500; ++iter) {
    std::vector<std::uint8_t> rle(rng() % 12);
    for (auto& b : rle) b = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> naive;
    for (std::uint8_t b : rle) naive.insert(naive.end(), b & kRleLengthMask, (b & kRleValueBit) ? 1 : 0);
    EXPECT_EQ(rle_expanded_length(rle), naive.size());
    const std::size_t n = rng() % 900;
    naive.resize(n, 0);
    decode_rle_events_into(rle, n, out);
    ASSERT_EQ(out, naive);
  }
}

}  // namespace
}  // namespace kelvane

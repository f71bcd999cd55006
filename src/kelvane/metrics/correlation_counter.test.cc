#include "kelvane/metrics/correlation_counter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace kelvane {
namespace {

using Pair = CorrelationCounter::Pair;

// Random shots counted unpacked and bit-packed, against counts taken directly from the bits.
// Includes a self pair, a pair out of range, an empty and a full shot, and a width that is not
// a multiple of eight.
TEST(CorrelationCounter, PackedAndUnpackedMatchDirectCounts) {
  constexpr std::size_t n = 13;
  const std::vector<Pair> pairs = {{0, 1}, {1, 0}, {3, 12}, {12, 3}, {5, 5}, {2, 40}, {7, 8}, {0, 12}};
  std::mt19937_64 rng(7);
  std::vector<std::vector<std::uint8_t>> shots(300, std::vector<std::uint8_t>(n, 0));
  for (std::size_t s = 2; s < shots.size(); ++s) {
    for (auto& bit : shots[s]) bit = (rng() % 4 == 0) ? 1 : 0;
  }
  std::fill(shots[1].begin(), shots[1].end(), 1);  // shot 0 stays empty

  std::vector<std::uint8_t> flat, packed;
  const std::size_t packed_width = (n + 7) / 8;
  for (const auto& row : shots) {
    for (std::size_t d = 0; d < n; ++d) flat.push_back(row[d] ? static_cast<std::uint8_t>(1 + d % 3) : 0);
    std::vector<std::uint8_t> bytes(packed_width, 0);
    for (std::size_t d = 0; d < n; ++d) bytes[d / 8] |= static_cast<std::uint8_t>(row[d] << (d % 8));
    bytes.back() |= 0x80;  // a padding bit past the last detector is ignored
    packed.insert(packed.end(), bytes.begin(), bytes.end());
  }
  CorrelationCounter unpacked_counter(n, pairs), packed_counter(n, pairs);
  unpacked_counter.add_unpacked(flat, 100, n);  // in two batches
  unpacked_counter.add_unpacked(std::span(flat).subspan(100 * n), shots.size() - 100, n);
  packed_counter.add_packed(packed, shots.size(), packed_width);

  for (const CorrelationCounter* c : {&unpacked_counter, &packed_counter}) {
    ASSERT_EQ(c->shots(), shots.size());
    for (std::size_t d = 0; d < n; ++d) {
      std::uint64_t expect = 0;
      for (const auto& row : shots) expect += row[d];
      EXPECT_EQ(c->fired()[d], expect) << d;
    }
    for (std::size_t k = 0; k < pairs.size(); ++k) {
      std::uint64_t expect = 0;
      if (pairs[k].first < n && pairs[k].second < n) {
        for (const auto& row : shots) expect += row[pairs[k].first] & row[pairs[k].second];
      }
      EXPECT_EQ(c->both_fired()[k], expect) << k;
    }
  }
  packed_counter.reset();
  EXPECT_EQ(packed_counter.shots(), 0u);
  EXPECT_EQ(packed_counter.both_fired()[0], 0u);
}

// A row narrower than the detector count reads the detectors it has; a short buffer stops at
// the last whole row.
TEST(CorrelationCounter, NarrowRowsAndShortBuffers) {
  const std::vector<Pair> pairs = {{0, 1}, {1, 9}};
  CorrelationCounter c(10, pairs);
  const std::vector<std::uint8_t> rows = {1, 1, 1, 1, 1};  // two rows of 2, then half a row
  c.add_unpacked(rows, 3, 2);
  EXPECT_EQ(c.shots(), 2u);
  EXPECT_EQ(c.fired()[1], 2u);
  EXPECT_EQ(c.fired()[9], 0u);
  EXPECT_EQ(c.both_fired()[0], 2u);
  EXPECT_EQ(c.both_fired()[1], 0u);
}

}  // namespace
}  // namespace kelvane

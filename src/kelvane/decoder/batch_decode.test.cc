#include "kelvane/decoder/batch_decode.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace kelvane {
namespace {

// A ring of detectors with chords and boundary edges, random shots; every layout and thread
// count must give what one decoder gives shot by shot.
TEST(BatchDecode, LayoutsAndThreadCountsAgreeWithSingleDecodes) {
  constexpr std::uint32_t n = 77;
  std::mt19937 rng(5);
  auto graph = std::make_shared<SpacetimeGraph>();
  for (std::uint32_t k = 0; k < n; ++k) graph->nodes.push_back({std::nullopt, k});
  graph->nodes.push_back({std::nullopt, kBoundaryIndex});
  graph->boundary = n;
  for (std::uint32_t k = 0; k < n; ++k) {
    const auto obs = static_cast<std::uint8_t>(k % 3);
    graph->edges.push_back({{obs}, k, (k + 1) % n, 1.0f + static_cast<float>(rng() % 5)});
    graph->edges.push_back({{}, k, (k + 7) % n, 3.0f});
    if (k % 10 == 0) graph->edges.push_back({{obs}, k, n, 2.0f});
  }
  auto decoding = std::make_shared<const DecodingGraph>(graph);
  DecoderPool pool(decoding);

  constexpr std::size_t shots = 500, packed_width = (n + 7) / 8;
  std::vector<std::uint8_t> bytes(shots * n), packed(shots * packed_width * 2);  // packed: stride 2
  std::vector<std::uint64_t> expected(shots);
  UnionFindDecoder single(decoding);
  for (std::size_t s = 0; s < shots; ++s) {
    std::vector<std::uint32_t> fired;
    for (std::uint32_t k = 0; k < n; ++k) {
      if (rng() % 100 < 6) {
        bytes[s * n + k] = static_cast<std::uint8_t>(1 + rng() % 200);
        packed[(s * packed_width + k / 8) * 2] |= static_cast<std::uint8_t>(1u << (k % 8));
        fired.push_back(k);
      }
    }
    packed[(s * packed_width + packed_width - 1) * 2] |= 0x80;  // padding bit: ignored
    expected[s] = single.decode_detectors(fired);
  }
  const ShotRows byte_rows{bytes.data(), shots, n, n, 1, false, n};
  const ShotRows packed_rows{packed.data(), shots, packed_width, 2 * packed_width, 2, true, n};
  for (const ShotRows& rows : {byte_rows, packed_rows}) {
    for (unsigned threads : {1u, 2u, 5u, 0u}) {
      std::vector<std::uint64_t> masks(shots, ~0ull);
      std::vector<std::uint8_t> valid(shots, 7);
      EXPECT_TRUE(decode_batch(pool, rows, {masks, valid}, threads));
      EXPECT_EQ(masks, expected) << "threads " << threads << (rows.bit_packed ? " packed" : "");
      EXPECT_EQ(valid, std::vector<std::uint8_t>(shots, 1));
    }
  }
}

// A request for far more threads than cores starts no more than the cores, and a pool given
// back more decoders than it keeps frees the rest.
TEST(BatchDecode, ThreadsAndKeptDecodersAreBoundedByTheCores) {
  const unsigned cores = usable_cores();
  EXPECT_GE(cores, 1u);
  EXPECT_EQ(batch_threads(1'000'000, std::size_t{1} << 40), cores);
  EXPECT_EQ(batch_threads(0, std::size_t{1} << 40), cores);
  EXPECT_EQ(batch_threads(1'000'000, 40), 1u);

  auto graph = std::make_shared<SpacetimeGraph>();
  graph->nodes = {{std::nullopt, 0}, {std::nullopt, kBoundaryIndex}};
  graph->boundary = 1;
  graph->edges.push_back({{0}, 0, 1, 1.0f});
  DecoderPool pool(std::make_shared<const DecodingGraph>(graph), 2);
  {
    std::vector<DecoderPool::Lease> leases;
    for (int k = 0; k < 5; ++k) leases.push_back(pool.acquire());
    const std::vector<std::uint32_t> fired{0};
    for (DecoderPool::Lease& d : leases) EXPECT_EQ(d->decode_detectors(fired), 1u);
  }
  EXPECT_EQ(pool.idle_count(), 2u);
}

}  // namespace
}  // namespace kelvane

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
  // The same graph with observables 0, 1, 2 renamed 0, 90, 180: the same corrections, every
  // observable reported (masks keep the first 64).
  auto wide = std::make_shared<SpacetimeGraph>(*graph);
  for (SpacetimeEdge& e : wide->edges) {
    for (std::uint8_t& k : e.observables) k = static_cast<std::uint8_t>(k * 90);
  }
  wide->num_observables = 181;
  DecoderPool wide_pool(std::make_shared<const DecodingGraph>(wide));
  for (const ShotRows& rows : {byte_rows, packed_rows}) {
    for (unsigned threads : {1u, 2u}) {
      std::vector<std::uint64_t> masks(shots);
      std::vector<ObservableBits> bits(shots, ObservableBits::from_low(7));
      EXPECT_TRUE(decode_batch(wide_pool, rows, {masks, {}, bits}, threads));
      for (std::size_t s = 0; s < shots; ++s) {
        ObservableBits want;
        for (std::size_t k = 0; k < 3; ++k) {
          if ((expected[s] >> k) & 1) want.flip(k * 90);
        }
        EXPECT_EQ(bits[s], want) << s;
        EXPECT_EQ(masks[s], want.low()) << s;
      }
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

// A pooled decoder builds its matcher once: given back, it returns to Union-Find but keeps the
// matcher for the next borrower who asks for matching, in single leases and in batches alike.
TEST(BatchDecode, PooledDecodersKeepTheirMatcher) {
  auto graph = std::make_shared<SpacetimeGraph>();
  graph->nodes = {{std::nullopt, 0}, {std::nullopt, 1}, {std::nullopt, kBoundaryIndex}};
  graph->boundary = 2;
  graph->edges = {{{0}, 0, 2, 1.0f}, {{}, 0, 1, 1.0f}, {{}, 1, 2, 3.0f}};
  DecoderPool pool(std::make_shared<const DecodingGraph>(graph), 1);
  const MatchingDecoder* built = nullptr;
  {
    DecoderPool::Lease d = pool.acquire();
    EXPECT_EQ(d->matcher(), nullptr);  // Union-Find alone builds none
    d->set_method(DecodeMethod::kMatching);
    built = d->matcher();
    ASSERT_NE(built, nullptr);
  }
  const std::uint8_t shots[] = {1, 0, 0, 1, 1, 1, 0, 0};  // four shots of two detectors
  std::vector<std::uint64_t> masks(4);
  for (DecodeMethod method : {DecodeMethod::kUnionFind, DecodeMethod::kMatching, DecodeMethod::kMatching}) {
    ASSERT_TRUE(decode_batch(pool, ShotRows{.data = shots, .shots = 4, .width = 2, .row_stride = 2, .detectors = 2},
                             BatchOutput{.masks = masks, .valid = {}}, 1, nullptr, false, false,
                             false, method));
    EXPECT_EQ(masks, (std::vector<std::uint64_t>{1, 1, 0, 0}));
    DecoderPool::Lease d = pool.acquire();
    EXPECT_EQ(d->method(), DecodeMethod::kUnionFind);
    EXPECT_EQ(d->matcher(), built);
  }
}

// Prediction rows from masks, 0/1 or bit-packed, against the bits read back one by one; masks
// with bits beyond the observables (which a row has no room for), empty and full masks included,
// as 64-bit masks and as ObservableBits of up to 256 observables.
TEST(BatchDecode, PredictionRowsHoldEachMasksObservables) {
  const std::vector<std::uint64_t> masks = {0, 1, 0x8000000000000000u, 0x5555, ~std::uint64_t{0}, 0x1234567};
  std::vector<ObservableBits> bits;
  for (std::uint64_t m : masks) bits.push_back({{m, m ^ 0x5555, ~m, m << 3}});
  for (std::size_t observables : {1u, 7u, 8u, 9u, 20u, 64u, 65u, 130u, 255u, 256u}) {
    for (bool packed : {false, true}) {
      const std::size_t width = row_width(observables, packed);
      std::vector<std::uint8_t> rows(masks.size() * width, 0);
      if (observables <= 64) {
        write_prediction_rows(masks, observables, packed, rows.data());
      } else {
        write_prediction_rows(bits, observables, packed, rows.data());
      }
      for (std::size_t s = 0; s < masks.size(); ++s) {
        for (std::size_t k = 0; k < observables; ++k) {
          const std::uint8_t* row = rows.data() + s * width;
          const int got = packed ? (row[k / 8] >> (k % 8)) & 1 : row[k];
          EXPECT_EQ(got, static_cast<int>(bits[s].test(k))) << s << " " << k << " " << packed;
        }
      }
    }
  }
}

TEST(BatchDecode, ShapesOutsideTheRulesAreNamed) {
  EXPECT_EQ(shot_width_error("shots", "columns", 10, 10, false), std::nullopt);
  EXPECT_EQ(shot_width_error("shots", "columns", 2, 9, true), std::nullopt);
  EXPECT_EQ(shot_width_error("shots", "columns", 9, 9, true), "shots has 9 columns, expected 2 (one per eight detectors, bit-packed)");
  EXPECT_EQ(shot_width_error("detection_events", "entries", 0, 3, false),
            "detection_events has 0 entries, expected 3 (one per detector)");
  EXPECT_EQ(mask_form_error(64, "return_masks=True", "use the prediction array"), std::nullopt);
  EXPECT_EQ(mask_form_error(65, "return_masks=True", "use the prediction array"),
            "return_masks=True holds observables L0 to L63 as a 64-bit mask, the model has 65: use the prediction array");
}

}  // namespace
}  // namespace kelvane

// libFuzzer target: the Union-Find decoder over random graphs and syndromes.
//
// Input bytes describe a graph (node count, then edges: two ends, a weight and an observable
// byte each) and a syndrome (a list of fired detectors). Whenever the decoder calls its result
// neutral (every cluster even or touching the boundary), the correction it reports must
// reproduce the syndrome exactly and its observables must be the returned mask.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "check.h"
#include "kelvane/decoder/union_find.h"
#include "kelvane/dem/graph.h"

namespace {

// Bytes read front to back; 0 once they run out.
struct Bytes {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos = 0;
  bool empty() const { return pos >= size; }
  std::uint8_t next() { return pos < size ? data[pos++] : 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in{data, size};
  const std::uint32_t n = 1 + in.next() % 64;  // detectors; node n is the boundary
  const std::size_t edge_count = in.next() % 128;
  auto graph = std::make_shared<kelvane::SpacetimeGraph>();
  graph->nodes.resize(n + 1);
  for (std::uint32_t i = 0; i < n; ++i) graph->nodes[i].index = i;
  graph->nodes[n].index = kelvane::kBoundaryIndex;
  graph->boundary = n;
  graph->num_observables = 8;
  for (std::size_t k = 0; k < edge_count && !in.empty(); ++k) {
    kelvane::SpacetimeEdge e;
    e.node_a = in.next() % n;
    e.node_b = in.next() % (n + 1);  // n: the boundary
    if (e.node_a == e.node_b) continue;
    // Weights from about -4 to 28: negative ones are mechanisms more likely than not.
    e.weight = static_cast<float>(in.next()) / 8.0f - 4.0f;
    const std::uint8_t obs = in.next();
    for (std::uint8_t bit = 0; bit < 8; ++bit) {
      if (obs & (1u << bit)) e.observables.push_back(bit);
    }
    graph->edges.push_back(std::move(e));
  }
  std::vector<std::uint32_t> fired;
  std::vector<std::uint8_t> syndrome(n, 0);
  while (!in.empty()) {
    const std::uint32_t d = in.next() % n;
    fired.push_back(d);
    syndrome[d] ^= 1;
  }

  kelvane::UnionFindDecoder decoder{std::shared_ptr<const kelvane::SpacetimeGraph>(graph)};
  const std::uint64_t mask = decoder.decode_detectors(fired);
  // A second decode of the same syndrome on the reused decoder gives the same answer.
  CHECK(decoder.decode_detectors(fired) == mask);
  if (!decoder.last_decode_neutral()) return 0;
  std::vector<std::uint8_t> flipped(n + 1, 0);
  std::uint64_t observables = 0;
  for (std::uint32_t id : decoder.last_correction_edges()) {
    CHECK(id < graph->edges.size());
    const kelvane::SpacetimeEdge& e = graph->edges[id];
    flipped[e.node_a] ^= 1;
    flipped[e.node_b] ^= 1;
    for (std::uint8_t o : e.observables) observables ^= std::uint64_t{1} << o;
  }
  for (std::uint32_t d = 0; d < n; ++d) CHECK(flipped[d] == syndrome[d]);
  CHECK(observables == mask);
  return 0;
}

// libFuzzer target: the Stim DEM parser and the decoding-graph builder over arbitrary text.
//
// A text that parses must give a graph (or the graph builder's error) whose nodes and edges are
// consistent with the model, whose byte image reads back to the same graph, and over which a
// decoder can be built and run. Models with more than kFuzzMaxDetectors detectors are parsed but
// not built: graph memory follows the detector count by design (build's own limit is 2^22),
// and building millions of nodes would only slow the search down.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "check.h"
#include "kelvane/decoder/union_find.h"
#include "kelvane/dem/graph.h"
#include "kelvane/dem/parser.h"

namespace {

constexpr std::uint64_t kFuzzMaxDetectors = 1 << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto model = kelvane::DetectorErrorModel::parse(text);
  if (!model) {
    CHECK(!model.error().to_string().empty());
    return 0;
  }
  CHECK(model->num_observables <= kelvane::kMaxObservables);
  for (const kelvane::DemError& e : model->errors) {
    for (auto d : e.detectors) CHECK(d < model->num_detectors);
    CHECK(e.probability >= 0.0 && e.probability <= 1.0);
  }
  if (model->num_detectors > kFuzzMaxDetectors) return 0;

  auto graph = kelvane::SpacetimeGraph::build(*model);
  if (!graph) {
    CHECK(!graph.error().to_string().empty());
    return 0;
  }
  CHECK(graph->boundary == model->num_detectors);
  CHECK(graph->nodes.size() == model->num_detectors + 1);
  for (const kelvane::SpacetimeEdge& e : graph->edges) {
    // A component naming one detector twice gives a self-loop, as PyMatching builds from Stim's
    // model too; the decoding graph leaves self-loops out.
    CHECK(e.node_a < graph->boundary && e.node_b <= graph->boundary);
    for (auto o : e.observables) CHECK(o < kelvane::kMaxObservables);
  }
  const auto back = kelvane::SpacetimeGraph::from_bytes(graph->to_bytes());
  CHECK(back.has_value() && *back == *graph);

  // Decode a syndrome of every third detector (bounded, so the run stays fast).
  auto shared = std::make_shared<const kelvane::SpacetimeGraph>(std::move(*graph));
  kelvane::UnionFindDecoder decoder(shared);
  std::vector<std::uint32_t> fired;
  for (std::uint32_t d = 0; d < shared->boundary && fired.size() < 256; d += 3) fired.push_back(d);
  decoder.decode_detectors(fired);
  return 0;
}

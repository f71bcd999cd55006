// libFuzzer target: what a stream or a pickle hands over in pieces, read without trusting it.
//
// The first byte chooses the input:
//   0: a stream's description entries (metadata keys 64, 65 and 66), as records of a key byte
//      (64 + byte % 3), a 16-bit little-endian length and that many bytes. Whatever assembles
//      must inflate its model within the limit asked or be refused, and a description that
//      reads whole must come back the same from the entries written for it.
//   1: a SpacetimeGraph byte image, mechanisms included. An image that reads must write back
//      byte for byte, build a decoding graph whose correlation entries shorten their edges in
//      edge order, and decode with and without correlations.
// Models inflate within kFuzzModelLimit and graphs of more than kFuzzMaxDetectors detectors are
// read but not built, so that each input stays quick.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "kelvane/decoder/decoding_graph.h"
#include "kelvane/decoder/union_find.h"
#include "kelvane/dem/graph.h"
#include "kelvane/kvlx/description.h"

namespace {

constexpr std::size_t kFuzzModelLimit = std::size_t{1} << 20;
constexpr std::uint64_t kFuzzMaxDetectors = 1 << 14;

void description_pieces(const std::uint8_t* data, std::size_t size) {
  kelvane::DescriptionPieces pieces;
  while (size >= 3) {
    const auto key = static_cast<std::uint16_t>(64 + data[0] % 3);
    const std::size_t length = std::min<std::size_t>(data[1] | std::size_t{data[2]} << 8, size - 3);
    pieces.add(key, std::span<const std::uint8_t>(data + 3, length));
    data += 3 + length;
    size -= 3 + length;
  }
  auto assembled = kelvane::assemble_description(pieces);
  if (!assembled) {
    CHECK(!assembled.error().empty());
    return;
  }
  if (!assembled->has_value()) {
    CHECK(!pieces.has_pieces());
    return;
  }
  const kelvane::StreamDescription& d = **assembled;
  CHECK(d.layout.size() == std::size_t{d.rounds} * d.ancillas);
  auto text = kelvane::inflate_model(d, kFuzzModelLimit);
  if (!text) {
    CHECK(d.has_model() && !text.error().empty());
    return;
  }
  CHECK(text->size() <= kFuzzModelLimit);
  CHECK(d.has_model() || text->empty());
  const kelvane::DescriptionEntries again = kelvane::description_entries(
      d.rounds, d.ancillas, d.layout, d.has_model() ? std::optional<std::string>(*text) : std::nullopt);
  kelvane::DescriptionPieces rewritten;
  for (const auto& [key, value] : again.entries) rewritten.add(key, value);
  auto back = kelvane::assemble_description(rewritten);
  CHECK(back.has_value());
  if (!d.has_layout() && !d.has_model()) {  // empty pieces: a description of nothing, written as none
    CHECK(!back->has_value());
    return;
  }
  CHECK(back->has_value());
  CHECK((*back)->layout == d.layout && (*back)->rounds == d.rounds && (*back)->ancillas == d.ancillas);
  CHECK(kelvane::inflate_model(**back, kFuzzModelLimit) == text);
}

void graph_image(const std::uint8_t* data, std::size_t size) {
  auto graph = kelvane::SpacetimeGraph::from_bytes(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!graph) {
    CHECK(!graph.error().empty());
    return;
  }
  const std::string image = graph->to_bytes();  // the oldest version holding the graph
  auto reread = kelvane::SpacetimeGraph::from_bytes(image);
  CHECK(reread.has_value() && reread->to_bytes() == image);
  if (graph->boundary > kFuzzMaxDetectors) return;
  auto decoding = std::make_shared<const kelvane::DecodingGraph>(
      std::make_shared<const kelvane::SpacetimeGraph>(std::move(*graph)));
  CHECK(decoding->has_correlations() == decoding->source().keeps_mechanisms);
  kelvane::DecodingGraph::CorrelationScratch scratch;
  for (kelvane::DecodingGraph::EdgeId c = 0; c < decoding->edges().size() && c < 512; ++c) {
    std::size_t previous = 0;
    bool first = true;
    for (const kelvane::DecodingGraph::Correlated& a : decoding->correlated(c, scratch)) {
      CHECK(a.edge != c && a.edge < decoding->edges().size());
      CHECK(a.length < decoding->edge(a.edge).length);
      CHECK(first || a.edge > previous);
      previous = a.edge;
      first = false;
    }
  }
  kelvane::UnionFindDecoder decoder(decoding);
  std::vector<std::uint32_t> fired;
  for (std::uint32_t d = 0; d < decoding->node_count() && fired.size() < 256; d += 3) fired.push_back(d);
  const auto plain = decoder.decode_detectors(fired);
  decoder.decode_detectors(fired, true);
  CHECK(decoder.decode_detectors(fired) == plain);  // the second pass's lengths were put back
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0) {
    description_pieces(data + 1, size - 1);
  } else {
    graph_image(data + 1, size - 1);
  }
  return 0;
}

// Direct decoding from Python over a SpacetimeGraph: the methods SpacetimeGraph.decode and
// SpacetimeGraph.decode_batch, and DetectorErrorModel.to_graph's graph building.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>

#include "kelvane/decoder/union_find.h"
#include "kelvane/dem/graph.h"

namespace kelvane::py {

// The decoder a Python SpacetimeGraph object keeps for its decode calls, built on first use.
// A decoder's scratch state serves one decode at a time: a call that finds it in use (another
// thread decoding on the same graph object) decodes with a decoder of its own instead.
class GraphDecoderCache {
 public:
  // Runs fn(decoder) with a decoder over `graph`; returns what fn returns.
  template <typename Fn>
  auto with_decoder(const std::shared_ptr<const SpacetimeGraph>& graph, Fn&& fn) {
    if (busy_.test_and_set(std::memory_order_acquire)) {
      UnionFindDecoder own(graph);
      return fn(own);
    }
    struct Release {
      std::atomic_flag& flag;
      ~Release() { flag.clear(std::memory_order_release); }
    } release{busy_};
    if (!decoder_) decoder_ = std::make_unique<UnionFindDecoder>(graph);
    return fn(*decoder_);
  }

 private:
  std::unique_ptr<UnionFindDecoder> decoder_;
  std::atomic_flag busy_;
};

// SpacetimeGraph.decode(detection_events): a new DecoderResult, or nullptr with an exception.
PyObject* graph_decode(const std::shared_ptr<const SpacetimeGraph>& graph, GraphDecoderCache& cache,
                       PyObject* args, PyObject* kwargs);
// SpacetimeGraph.decode_batch(shots): a new 1-D uint64 array, or nullptr with an exception.
PyObject* graph_decode_batch(const std::shared_ptr<const SpacetimeGraph>& graph,
                             GraphDecoderCache& cache, PyObject* args, PyObject* kwargs);

extern const char* const kGraphDecodeDoc;
extern const char* const kGraphDecodeBatchDoc;
extern const char* const kDemToGraphDoc;

}  // namespace kelvane::py

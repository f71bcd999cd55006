// The SpacetimeGraph class: a read-only view of a shared, immutable decoding graph.
#pragma once

#include <Python.h>

#include <memory>
#include <utility>

#include "kelvane/decoder/decoder_pool.h"
#include "kelvane/decoder/decoding_graph.h"
#include "kelvane/decoder/sliding_pool.h"
#include "kelvane/decoder/union_find.h"
#include "kelvane/dem/graph.h"
#include "kelvane/py/native_object.h"

namespace kelvane::py {

using GraphHandle = std::shared_ptr<const SpacetimeGraph>;

// The native state of a SpacetimeGraph object: the graph, its decoding graph (compiled once,
// shared read-only) and the decoders made over it, one per thread that decodes at once.
struct GraphObjectState {
  explicit GraphObjectState(std::shared_ptr<const DecodingGraph> d)
      : graph(d->source_handle()), decoders(std::move(d)), sliding(graph) {}
  GraphHandle graph;
  DecoderPool decoders;        // decoders.graph() is the decoding graph
  SlidingDecoderPool sliding;  // the graph split into rounds, and sliding decoders kept
};
using PySpacetimeGraph = NativeObject<GraphObjectState>;

// A new SpacetimeGraph object sharing `graph` and owning its decoding graph, or nullptr with an
// exception set.
PyObject* new_spacetime_graph(GraphHandle graph);

// The graph of a SpacetimeGraph object (the caller holds a borrow of it).
inline const GraphHandle& graph_of(PyObject* obj) { return native_of<GraphObjectState>(obj).graph; }

// The decoding graph of a SpacetimeGraph object, shareable with decoders on any thread.
inline const std::shared_ptr<const DecodingGraph>& decoding_graph_of(PyObject* obj) {
  return native_of<GraphObjectState>(obj).decoders.graph();
}

// Runs fn(UnionFindDecoder&) with a decoder of the object's pool. May throw std::bad_alloc.
template <typename Fn>
auto with_graph_decoder(PyObject* obj, Fn&& fn) {
  DecoderPool::Lease decoder = native_of<GraphObjectState>(obj).decoders.acquire();
  return fn(*decoder);
}

}  // namespace kelvane::py

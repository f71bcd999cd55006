// The SpacetimeGraph class: a read-only view of a shared, immutable decoding graph.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>
#include <utility>

#include "kelvane/decoder/union_find.h"
#include "kelvane/dem/graph.h"
#include "kelvane/py/native_object.h"

namespace kelvane::py {

using GraphHandle = std::shared_ptr<const SpacetimeGraph>;

// The native state of a SpacetimeGraph object: the shared graph, and a decoder over it that is
// built by the first decode and reused by later ones (its adjacency and scratch state are
// costly to rebuild per call).
struct GraphObjectState {
  explicit GraphObjectState(GraphHandle g) : graph(std::move(g)) {}
  GraphHandle graph;
  std::unique_ptr<UnionFindDecoder> decoder;
  std::atomic_flag decoder_in_use;  // set while a decode runs on `decoder`
};
using PySpacetimeGraph = NativeObject<GraphObjectState>;

// A new SpacetimeGraph object sharing `graph`, or nullptr with an exception set.
PyObject* new_spacetime_graph(GraphHandle graph);

// The graph of a SpacetimeGraph object (the caller holds a borrow of it).
inline const GraphHandle& graph_of(PyObject* obj) { return native_of<GraphObjectState>(obj).graph; }

// Runs fn(UnionFindDecoder&) with the object's decoder, building it on first use. Decodes read
// the object shared, so one may already be running (another thread under a free-threaded
// interpreter): that call then decodes with a decoder of its own.
template <typename Fn>
auto with_graph_decoder(PyObject* obj, Fn&& fn) {
  GraphObjectState& state = native_of<GraphObjectState>(obj);
  if (state.decoder_in_use.test_and_set(std::memory_order_acquire)) {
    UnionFindDecoder own(state.graph);
    return fn(own);
  }
  struct Release {
    std::atomic_flag& flag;
    ~Release() { flag.clear(std::memory_order_release); }
  } release{state.decoder_in_use};
  if (!state.decoder) state.decoder = std::make_unique<UnionFindDecoder>(state.graph);
  return fn(*state.decoder);
}

}  // namespace kelvane::py

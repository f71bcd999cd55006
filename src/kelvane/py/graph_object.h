// The SpacetimeGraph class: a read-only view of a shared, immutable decoding graph.
#pragma once

#include <Python.h>

#include <memory>

#include "kelvane/dem/graph.h"
#include "kelvane/py/native_object.h"

namespace kelvane::py {

// The native state of a SpacetimeGraph object.
using GraphHandle = std::shared_ptr<const SpacetimeGraph>;
using PySpacetimeGraph = NativeObject<GraphHandle>;

// A new SpacetimeGraph object sharing `graph`, or nullptr with an exception set.
PyObject* new_spacetime_graph(GraphHandle graph);

// The graph of a SpacetimeGraph object (the caller holds a borrow of it).
inline const GraphHandle& graph_of(PyObject* obj) { return native_of<GraphHandle>(obj); }

}  // namespace kelvane::py

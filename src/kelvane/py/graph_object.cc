// The SpacetimeGraph class: node and edge counts, the boundary node and a repr.
#include "kelvane/py/exception.h"
#include "kelvane/py/graph_object.h"

#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "kelvane/py/args.h"
#include "kelvane/py/graph_decode.h"
#include "kelvane/py/graph_sliding.h"
#include "kelvane/py/sliding_decoder_object.h"
#include "kelvane/py/types.h"

namespace kelvane::py {
namespace {

PyObject* graph_node_count(PyObject* self, void*) {
  SharedBorrow b(borrow_of<GraphObjectState>(self));
  if (!b) return nullptr;
  return PyLong_FromSize_t(graph_of(self)->node_count());
}

PyObject* graph_edge_count(PyObject* self, void*) {
  SharedBorrow b(borrow_of<GraphObjectState>(self));
  if (!b) return nullptr;
  return PyLong_FromSize_t(graph_of(self)->edges.size());
}

// PyMatching's counts: detectors and nodes are the model's detectors (the boundary is not a
// node there), edges are the decoding edges after parallel ones are folded, fault ids are the
// model's observables.
PyObject* graph_num_detectors(PyObject* self, void*) {
  SharedBorrow b(borrow_of<GraphObjectState>(self));
  if (!b) return nullptr;
  return PyLong_FromUnsignedLongLong(graph_of(self)->boundary);
}

PyObject* graph_num_edges(PyObject* self, void*) {
  SharedBorrow b(borrow_of<GraphObjectState>(self));
  if (!b) return nullptr;
  return PyLong_FromSize_t(decoding_graph_of(self)->edges().size());
}

PyObject* graph_num_fault_ids(PyObject* self, void*) {
  SharedBorrow b(borrow_of<GraphObjectState>(self));
  if (!b) return nullptr;
  return PyLong_FromUnsignedLongLong(graph_of(self)->num_observables);
}

PyObject* graph_boundary_node(PyObject* self, void*) {
  SharedBorrow b(borrow_of<GraphObjectState>(self));
  if (!b) return nullptr;
  return PyLong_FromUnsignedLongLong(graph_of(self)->boundary);
}

PyObject* graph_repr(PyObject* self) {
  SharedBorrow b(borrow_of<GraphObjectState>(self));
  if (!b) return nullptr;
  const SpacetimeGraph& g = *graph_of(self);
  std::string text = "SpacetimeGraph(nodes=" + std::to_string(g.node_count()) +
                     ", edges=" + std::to_string(g.edges.size()) + ", boundary=" + std::to_string(g.boundary) + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* graph_to_bytes(PyObject* self, PyObject*) {
  SharedBorrow b(borrow_of<GraphObjectState>(self));
  if (!b) return nullptr;
  const std::string bytes = graph_of(self)->to_bytes();
  return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* graph_from_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* data = nullptr;
  if (!bind_args("from_bytes", args, kwargs, {"data"}, 1, &data)) return nullptr;
  if (!PyBytes_Check(data)) {
    raise_arg_error("data", not_instance_reason(data, "bytes"));
    return nullptr;
  }
  auto graph = SpacetimeGraph::from_bytes(
      std::string_view(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data))));
  if (!graph) {
    const std::string text = "not a SpacetimeGraph byte image (SpacetimeGraph.to_bytes): " + graph.error();
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
  }
  return new_spacetime_graph(std::make_shared<const SpacetimeGraph>(std::move(*graph)));
}

PyObject* graph_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  SharedBorrow a(borrow_of<GraphObjectState>(self));
  if (!a) return nullptr;
  SharedBorrow b(borrow_of<GraphObjectState>(other));
  if (!b) return nullptr;
  const bool same = graph_of(self) == graph_of(other) || *graph_of(self) == *graph_of(other);
  return PyBool_FromLong(same == (op == Py_EQ));
}

PyGetSetDef graph_getset[] = {
    // The published properties carry no docstrings (the stubs document them).
    {"node_count", guarded<"SpacetimeGraph.node_count", graph_node_count>, nullptr, nullptr, nullptr},
    {"edge_count", guarded<"SpacetimeGraph.edge_count", graph_edge_count>, nullptr, nullptr, nullptr},
    {"boundary_node", guarded<"SpacetimeGraph.boundary_node", graph_boundary_node>, nullptr, nullptr, nullptr},
    {"num_detectors", guarded<"SpacetimeGraph.num_detectors", graph_num_detectors>, nullptr,
     "The model's detector count, as PyMatching's Matching.num_detectors.", nullptr},
    {"num_nodes", guarded<"SpacetimeGraph.num_nodes", graph_num_detectors>, nullptr,
     "Detector nodes, as PyMatching counts them: the boundary node is not one, so this is\n"
     "num_detectors, where node_count is num_detectors + 1.", nullptr},
    {"num_edges", guarded<"SpacetimeGraph.num_edges", graph_num_edges>, nullptr,
     "Edges of the decoding graph, as PyMatching counts them: the parallel edges of one\n"
     "detector pair (or detector and boundary) are folded into one. edge_count counts them\n"
     "unfolded, one per graphlike error component of the model.", nullptr},
    {"num_fault_ids", guarded<"SpacetimeGraph.num_fault_ids", graph_num_fault_ids>, nullptr,
     "The model's observable count, as PyMatching's Matching.num_fault_ids.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef graph_methods[] = {
    // ---- decoding methods (decode, decode_batch) are added here ----
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the decoder (SpacetimeGraph.decode)", graph_decode>)),
     METH_VARARGS | METH_KEYWORDS, kGraphDecodeDoc},
    {"decode_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the decoder (SpacetimeGraph.decode_batch)", graph_decode_batch>)),
     METH_VARARGS | METH_KEYWORDS, kGraphDecodeBatchDoc},
    {"decode_to_edges_array", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the decoder (SpacetimeGraph.decode_to_edges_array)", graph_decode_to_edges>)),
     METH_VARARGS | METH_KEYWORDS, kGraphDecodeToEdgesDoc},
    {"_decode_trace", guarded<"the decoder (SpacetimeGraph._decode_trace)", graph_decode_trace>, METH_O,
     "_decode_trace($self, fired, /)\n--\n\nFor analysing failures: a plain decode of fired detector indices, giving\n"
     "(observable mask, correction edges as (node_a, node_b, weight), final clusters as (node, root))."},
    {"decode_sliding", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the sliding-window decoder (SpacetimeGraph.decode_sliding)", graph_decode_sliding>)),
     METH_VARARGS | METH_KEYWORDS, kGraphDecodeSlidingDoc},
    {"sliding_decoder", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the sliding-window decoder (SpacetimeGraph.sliding_decoder)", graph_sliding_decoder>)),
     METH_VARARGS | METH_KEYWORDS, kGraphSlidingDecoderDoc},
    {"from_detector_error_model",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         guarded<"the decoding graph (SpacetimeGraph.from_detector_error_model)", graph_from_detector_error_model>)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, kGraphFromDemDoc},
    {"from_stim_circuit",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         guarded<"the decoding graph (SpacetimeGraph.from_stim_circuit)", graph_from_stim_circuit>)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, kGraphFromStimCircuitDoc},
    {"from_detector_error_model_file",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         guarded<"the decoding graph (SpacetimeGraph.from_detector_error_model_file)", graph_from_dem_file>)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, kGraphFromDemFileDoc},
    {"to_bytes", guarded<"the graph image (SpacetimeGraph.to_bytes)", graph_to_bytes>, METH_NOARGS,
     "to_bytes($self)\n--\n\nA byte image of this graph, which SpacetimeGraph.from_bytes reads back."},
    {"from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                       guarded<"the decoding graph (SpacetimeGraph.from_bytes)", graph_from_bytes>)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_bytes(data)\n--\n\nThe graph of a byte image written by SpacetimeGraph.to_bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_getset, graph_getset},
    {Py_tp_methods, graph_methods},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<"the repr (SpacetimeGraph)", graph_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guarded<"the comparison (SpacetimeGraph)", graph_richcompare>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc<GraphObjectState>)},
    {0, nullptr},
};

PyType_Spec graph_spec = {
    "SpacetimeGraph",
    sizeof(PySpacetimeGraph),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    graph_slots,
};

}  // namespace

PyTypeObject* spacetime_graph_type() {
  static PyTypeObject* type = nullptr;
  return make_type_once(type, &graph_spec);
}

PyObject* new_spacetime_graph(GraphHandle graph) {
  PyTypeObject* type = spacetime_graph_type();
  if (!type) return nullptr;
  std::shared_ptr<const DecodingGraph> decoding;
  try {
    decoding = std::make_shared<const DecodingGraph>(std::move(graph));
  } catch (const std::bad_alloc&) {
    return raise_no_memory("the decoding graph");
  }
  return new_native<GraphObjectState>(type, std::move(decoding));
}

}  // namespace kelvane::py

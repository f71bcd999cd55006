// The SpacetimeGraph class: node and edge counts, the boundary node and a repr.
#include "kelvane/py/exception.h"
#include "kelvane/py/graph_object.h"

#include <new>
#include <string>

#include "kelvane/py/graph_decode.h"
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

PyGetSetDef graph_getset[] = {
    {"node_count", guarded<"SpacetimeGraph.node_count", graph_node_count>, nullptr, nullptr, nullptr},
    {"edge_count", guarded<"SpacetimeGraph.edge_count", graph_edge_count>, nullptr, nullptr, nullptr},
    {"boundary_node", guarded<"SpacetimeGraph.boundary_node", graph_boundary_node>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef graph_methods[] = {
    // ---- decoding methods (decode, decode_batch) are added here ----
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the decoder (SpacetimeGraph.decode)", graph_decode>)),
     METH_VARARGS | METH_KEYWORDS, kGraphDecodeDoc},
    {"decode_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the decoder (SpacetimeGraph.decode_batch)", graph_decode_batch>)),
     METH_VARARGS | METH_KEYWORDS, kGraphDecodeBatchDoc},
    {"from_detector_error_model",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         guarded<"the decoding graph (SpacetimeGraph.from_detector_error_model)", graph_from_detector_error_model>)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, kGraphFromDemDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_getset, graph_getset},
    {Py_tp_methods, graph_methods},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<"the repr (SpacetimeGraph)", graph_repr>)},
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
    return PyErr_NoMemory();
  }
  return new_native<GraphObjectState>(type, std::move(decoding));
}

}  // namespace kelvane::py

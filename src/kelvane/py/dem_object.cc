// The DetectorErrorModel class: parse, from_file, to_schema_json, to_pymatching, the counts
// and a repr.
#include "kelvane/py/dem_object.h"

#include <cstdint>
#include <string>
#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "kelvane/core/error.h"
#include "kelvane/core/schema.h"
#include "kelvane/dem/graph.h"
#include "kelvane/dem/schema_gen.h"
#include "kelvane/dem/writer.h"
#include "kelvane/py/args.h"
#include "kelvane/py/dem_source.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/graph_decode.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/types.h"

namespace kelvane::py {
namespace {

PyObject* parse_into_object(std::string_view text) {
  auto model = parse_model(text);
  if (!model) return nullptr;
  return new_detector_error_model(std::move(*model));
}

}  // namespace

GraphHandle graph_from_model(const DetectorErrorModel& model, bool keep_mechanisms) {
  auto graph = SpacetimeGraph::build(model, keep_mechanisms);
  if (!graph) {
    raise_message(PyExc_ValueError, graph.error().to_string());
    return nullptr;
  }
  if (graph->left_out_components > 0) {
    const std::string text = std::to_string(graph->left_out_components) +
                             " error components with three or more detectors were left out of the decoding graph "
                             "(a matching graph cannot hold them); " + kDecomposeAdvice;
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) < 0) return nullptr;
  }
  return std::make_shared<const SpacetimeGraph>(std::move(*graph));
}

namespace {

PyObject* dem_parse(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* text_obj = nullptr;
  if (!bind_args("parse", args, kwargs, {"text"}, 1, &text_obj)) return nullptr;
  PyRef stim_text;
  if (!PyUnicode_Check(text_obj)) {
    if (!is_stim_dem(text_obj)) {
      raise_arg_error("text", not_instance_reason(text_obj, "str"));
      return nullptr;
    }
    // A Stim model prints as its DEM text.
    stim_text = PyRef(PyObject_Str(text_obj));
    if (!stim_text) return nullptr;
    text_obj = stim_text.get();
  }
  // The str's own UTF-8 form, without a copy.
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text_obj, &size);
  if (!data) return nullptr;
  return parse_into_object(std::string_view(data, static_cast<std::size_t>(size)));
}

PyObject* dem_from_file(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* path_obj = nullptr;
  if (!bind_args("from_file", args, kwargs, {"path"}, 1, &path_obj)) return nullptr;
  std::string path;
  if (!PyUnicode_Check(path_obj)) {
    // An os.PathLike gives its str path; anything else keeps the str-only message.
    PyRef fspath(PyOS_FSPath(path_obj));
    if (!fspath || !PyUnicode_Check(fspath.get())) {
      PyErr_Clear();
      raise_arg_error("path", not_instance_reason(path_obj, "str"));
      return nullptr;
    }
    if (!arg_str("path", fspath.get(), path)) return nullptr;
  } else if (!arg_str("path", path_obj, path)) {
    return nullptr;
  }
  std::string text;
  if (!read_utf8_file(path, text)) return nullptr;
  return parse_into_object(text);
}

PyObject* dem_to_schema_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  SharedBorrow b(borrow_of<DetectorErrorModel>(self));
  if (!b) return nullptr;
  PyObject* name_obj = nullptr;
  if (!bind_args("to_schema_json", args, kwargs, {"name"}, 1, &name_obj)) return nullptr;
  std::string name;
  if (!arg_str("name", name_obj, name)) return nullptr;
  auto schema = schema_from_dem(dem_of(self), name);
  if (!schema) {
    raise_message(PyExc_ValueError, schema.error().to_string());
    return nullptr;
  }
  const std::string json = schema_to_json(*schema);
  return PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size()));
}

// Calls matching.add_edge(a, b, weight=w[, fault_ids={...}][, merge_strategy="independent"]).
bool add_edge(PyObject* add, const SpacetimeEdge& e, bool parallel) {
  PyRef kwargs(PyDict_New());
  if (!kwargs) return false;
  PyRef weight(PyFloat_FromDouble(static_cast<double>(e.weight)));
  if (!weight || PyDict_SetItemString(kwargs.get(), "weight", weight.get()) < 0) return false;
  // The observables the mechanism flips: those named an odd number of times (L0 L0 cancels).
  std::uint64_t flipped = 0;
  for (ObservableId o : e.observables) flipped ^= std::uint64_t{1} << o;  // ids are below 64
  if (flipped != 0) {
    // A set: pymatching 2 converts fault_ids to a C++ set and refuses a list.
    PyRef ids(PySet_New(nullptr));
    if (!ids) return false;
    for (unsigned o = 0; o < 64; ++o) {
      if (!((flipped >> o) & 1)) continue;
      PyRef id(PyLong_FromUnsignedLong(o));
      if (!id || PySet_Add(ids.get(), id.get()) < 0) return false;
    }
    if (PyDict_SetItemString(kwargs.get(), "fault_ids", ids.get()) < 0) return false;
  }
  if (parallel) {
    // A repeated node pair: pymatching refuses it under its default "disallow" strategy;
    // "independent" combines the two mechanisms as its own DEM import does.
    PyRef strategy(PyUnicode_FromString("independent"));
    if (!strategy || PyDict_SetItemString(kwargs.get(), "merge_strategy", strategy.get()) < 0) return false;
  }
  PyRef positional(Py_BuildValue("(kk)", static_cast<unsigned long>(e.node_a), static_cast<unsigned long>(e.node_b)));
  if (!positional) return false;
  PyRef result(PyObject_Call(add, positional.get(), kwargs.get()));
  return static_cast<bool>(result);
}

PyObject* dem_to_pymatching(PyObject* self, PyObject*) {
  SharedBorrow b(borrow_of<DetectorErrorModel>(self));
  if (!b) return nullptr;
  const GraphHandle handle = graph_from_model(dem_of(self));
  if (!handle) return nullptr;
  const SpacetimeGraph& graph = *handle;

  PyRef module(PyImport_ImportModule("pymatching"));
  if (!module) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, "pymatching not found \u2014 install it with: pip install pymatching");
    return nullptr;
  }
  PyRef matching_class(PyObject_GetAttrString(module.get(), "Matching"));
  if (!matching_class) return nullptr;
  PyRef matching(PyObject_CallNoArgs(matching_class.get()));
  if (!matching) return nullptr;
  PyRef boundary_set(PySet_New(nullptr));
  if (!boundary_set) return nullptr;
  PyRef boundary(PyLong_FromUnsignedLongLong(graph.boundary));
  if (!boundary || PySet_Add(boundary_set.get(), boundary.get()) < 0) return nullptr;

  // Node pairs already given an edge, as sorted (lo, hi) keys.
  std::vector<std::uint64_t> pairs;
  pairs.reserve(graph.edges.size());
  for (const SpacetimeEdge& e : graph.edges) {
    const std::uint32_t lo = std::min(e.node_a, e.node_b), hi = std::max(e.node_a, e.node_b);
    pairs.push_back((std::uint64_t{lo} << 32) | hi);
  }
  std::vector<bool> parallel_edge(pairs.size(), false);
  {
    std::vector<std::uint32_t> order(pairs.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return pairs[a] < pairs[b]; });
    for (std::size_t k = 1; k < order.size(); ++k) parallel_edge[order[k]] = pairs[order[k]] == pairs[order[k - 1]];
  }
  for (std::size_t i = 0; i < graph.edges.size(); ++i) {
    const SpacetimeEdge& e = graph.edges[i];
    // A certain mechanism (p = 1, weight -infinity) has no finite matching weight: left out.
    if (std::isinf(e.weight)) continue;
    const bool parallel = parallel_edge[i];
    // The attribute is looked up for every edge, as a caller writing the loop in Python would.
    PyRef add(PyObject_GetAttrString(matching.get(), "add_edge"));
    if (!add || !add_edge(add.get(), e, parallel)) return nullptr;
  }
  PyRef done(PyObject_CallMethod(matching.get(), "set_boundary_nodes", "O", boundary_set.get()));
  if (!done) return nullptr;
  return matching.release();
}

PyObject* dem_detector_count(PyObject* self, void*) {
  SharedBorrow b(borrow_of<DetectorErrorModel>(self));
  if (!b) return nullptr;
  return PyLong_FromUnsignedLongLong(dem_of(self).num_detectors);
}

PyObject* dem_observable_count(PyObject* self, void*) {
  SharedBorrow b(borrow_of<DetectorErrorModel>(self));
  if (!b) return nullptr;
  return PyLong_FromUnsignedLongLong(dem_of(self).num_observables);
}

PyObject* dem_error_count(PyObject* self, void*) {
  SharedBorrow b(borrow_of<DetectorErrorModel>(self));
  if (!b) return nullptr;
  return PyLong_FromSize_t(dem_of(self).errors.size());
}

PyObject* dem_repr(PyObject* self) {
  SharedBorrow b(borrow_of<DetectorErrorModel>(self));
  if (!b) return nullptr;
  const DetectorErrorModel& m = dem_of(self);
  std::string text = "DetectorErrorModel(detectors=" + std::to_string(m.num_detectors) +
                     ", observables=" + std::to_string(m.num_observables) +
                     ", errors=" + std::to_string(m.errors.size()) + ")";
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* dem_to_text(PyObject* self, PyObject*) {
  SharedBorrow b(borrow_of<DetectorErrorModel>(self));
  if (!b) return nullptr;
  const std::string text = to_dem_text(dem_of(self));
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* dem_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  SharedBorrow a(borrow_of<DetectorErrorModel>(self));
  if (!a) return nullptr;
  SharedBorrow b(borrow_of<DetectorErrorModel>(other));
  if (!b) return nullptr;
  return PyBool_FromLong(same_model(dem_of(self), dem_of(other)) == (op == Py_EQ));
}

PyGetSetDef dem_getset[] = {
    {"detector_count", guarded<"DetectorErrorModel.detector_count", dem_detector_count>, nullptr, nullptr, nullptr},
    {"observable_count", guarded<"DetectorErrorModel.observable_count", dem_observable_count>,
     nullptr, nullptr, nullptr},
    {"error_count", guarded<"DetectorErrorModel.error_count", dem_error_count>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef dem_methods[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the detector error model (DetectorErrorModel.parse)", dem_parse>)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "parse(text)\n--\n\nParse a Stim DEM from its text representation."},
    {"from_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the detector error model (DetectorErrorModel.from_file)", dem_from_file>)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, "from_file(path)\n--\n\nLoad a Stim DEM from a file path."},
    {"to_schema_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<"the schema JSON (DetectorErrorModel.to_schema_json)", dem_to_schema_json>)),
     METH_VARARGS | METH_KEYWORDS,
     "to_schema_json($self, name)\n--\n\nSerialise this DEM as a `HardwareSchema`-compatible JSON string."},
    {"to_pymatching", guarded<"the matching graph (DetectorErrorModel.to_pymatching)", dem_to_pymatching>,
     METH_NOARGS,
     "to_pymatching($self)\n--\n\n"
     "Build a `pymatching.Matching` object from this DEM.\n"
     "\n"
     "Requires `pymatching` to be installed (`pip install pymatching`).\n"
     "Edges are added with weight `-ln(p/(1-p))` and `fault_ids` identifying\n"
     "which observables flip when the error fires."},
    {"to_text", guarded<"the DEM text (DetectorErrorModel.to_text)", dem_to_text>, METH_NOARGS,
     "to_text($self)\n--\n\n"
     "This model as Stim DEM text, with repeat blocks and shifts expanded (absolute ids);\n"
     "DetectorErrorModel.parse of it gives an equal model."},
    // ---- graph construction (to_graph) is added here ----
    {"to_graph", guarded<"the decoding graph (DetectorErrorModel.to_graph)", dem_to_graph>,
     METH_NOARGS, kDemToGraphDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot dem_slots[] = {
    {Py_tp_getset, dem_getset},
    {Py_tp_methods, dem_methods},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<"the repr (DetectorErrorModel)", dem_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guarded<"the comparison (DetectorErrorModel)", dem_richcompare>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc<DetectorErrorModel>)},
    {0, nullptr},
};

PyType_Spec dem_spec = {
    "DetectorErrorModel",
    sizeof(PyDetectorErrorModel),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    dem_slots,
};

}  // namespace

PyTypeObject* detector_error_model_type() {
  static PyTypeObject* type = nullptr;
  return make_type_once(type, &dem_spec);
}

PyObject* new_detector_error_model(DetectorErrorModel model) {
  PyTypeObject* type = detector_error_model_type();
  if (!type) return nullptr;
  return new_native<DetectorErrorModel>(type, std::move(model));
}

}  // namespace kelvane::py

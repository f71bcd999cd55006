// Model and graph arguments: kelvane objects, paths, DEM text and Stim models.
#include "kelvane/py/dem_source.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <utility>

#include "kelvane/core/error.h"
#include "kelvane/dem/file_reader.h"
#include "kelvane/dem/graph.h"
#include "kelvane/py/args.h"
#include "kelvane/py/dem_object.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/py/types.h"
#include "kelvane/util/utf8.h"

namespace kelvane::py {
namespace {

// The UTF-8 text of a str object.
bool str_text(PyObject* s, std::string& out) {
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &len);
  if (!p) return false;
  out.assign(p, static_cast<std::size_t>(len));
  return true;
}

// True when `text` holds something other than whitespace and whole-line `#` comments.
bool has_content(std::string_view text) {
  bool line_start = true;
  bool in_comment = false;
  for (char c : text) {
    if (c == '\n') {
      line_start = true;
      in_comment = false;
      continue;
    }
    if (in_comment || std::isspace(static_cast<unsigned char>(c))) continue;
    if (line_start && c == '#') {
      in_comment = true;
      continue;
    }
    return true;
  }
  return false;
}

bool is_vacuous(const DetectorErrorModel& model, std::string_view text) {
  return model.errors.empty() && model.detector_decls.empty() && model.num_detectors == 0 &&
         model.num_observables == 0 && has_content(text);
}

std::string quoted_excerpt(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n\v\f");
  text.remove_prefix(first == std::string_view::npos ? text.size() : first);
  text = text.substr(0, text.find('\n'));
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  constexpr std::size_t kMax = 60;
  std::string out(1, '\'');
  out.append(text.substr(0, kMax));
  if (text.size() > kMax) out.append("...");
  out.push_back('\'');
  return out;
}

// The DEM text `source` names (see the header); `inline_text` tells whether it is a str
// argument that named no file.
bool extract_dem_text(PyObject* source, std::string& text, bool& inline_text) {
  inline_text = false;
  if (PyUnicode_Check(source)) {
    if (!str_text(source, text)) return false;
    struct stat st {};
    const bool exists = text.find('\0') == std::string::npos && ::stat(text.c_str(), &st) == 0;
    inline_text = !exists;
    if (!exists) return true;
    const std::string path = std::move(text);
    return read_utf8_file(path, text);
  }
  PyObject* fspath = PyObject_GetAttrString(source, "__fspath__");
  if (fspath) {
    PyRef method(fspath);
    PyRef result(PyObject_CallNoArgs(method.get()));
    if (!result) return false;
    std::string path;
    if (!arg_str("dem", result.get(), path)) return false;
    return read_utf8_file(path, text);
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();
  PyRef as_text(PyObject_Str(source));
  if (!as_text) return false;
  return str_text(as_text.get(), text);
}

}  // namespace

bool read_utf8_file(const std::string& path, std::string& out) {
  // Opening a pipe waits for its writer: let other threads run meanwhile. Nothing may throw
  // out of the block, since the interpreter lock must be taken back first.
  Result<std::string> text;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    text = read_dem_file(path);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (out_of_memory) {
    raise_no_memory("the DEM text read from a file");
    return false;
  }
  if (!text) {
    raise_message(PyExc_OSError, io_source_text(text.error().as<errors::Io>()));
    return false;
  }
  out = std::move(*text);
  if (!is_valid_utf8(std::span(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()))) {
    raise_message(PyExc_OSError, "stream did not contain valid UTF-8");
    return false;
  }
  return true;
}

std::optional<DetectorErrorModel> parse_model(std::string_view text) {
  auto model = DetectorErrorModel::parse(text);
  if (!model) {
    raise_message(PyExc_ValueError, model.error().to_string());
    return std::nullopt;
  }
  return std::move(*model);
}

namespace {

// True for an object of Stim's class named `class_name` (checked by its class, without
// importing stim).
bool is_stim_object(PyObject* obj, const char* class_name) {
  PyTypeObject* type = Py_TYPE(obj);
  if (std::strcmp(short_type_name(type), class_name) != 0) return false;
  PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  const char* name = PyUnicode_AsUTF8(module.get());
  if (!name) {
    PyErr_Clear();
    return false;
  }
  // Stim reports the module of its compiled core, e.g. "stim._stim_sse2".
  return std::strcmp(name, "stim") == 0 || std::strncmp(name, "stim.", 5) == 0;
}

}  // namespace

bool is_stim_dem(PyObject* obj) { return is_stim_object(obj, "DetectorErrorModel"); }

// A stim.Circuit's model as from_stim_circuit takes it: detector_error_model(decompose_errors=True).
PyObject* circuit_model(PyObject* circuit) {
  PyRef method(PyObject_GetAttrString(circuit, "detector_error_model"));
  if (!method) return nullptr;
  PyRef no_args(PyTuple_New(0));
  PyRef options(Py_BuildValue("{s:O}", "decompose_errors", Py_True));
  if (!no_args || !options) return nullptr;
  return PyObject_Call(method.get(), no_args.get(), options.get());
}

std::optional<DetectorErrorModel> model_from_object(PyObject* source) {
  PyTypeObject* dem_type = detector_error_model_type();
  if (!dem_type) return std::nullopt;
  if (PyObject_TypeCheck(source, dem_type)) {
    SharedBorrow b(borrow_of<DetectorErrorModel>(source));
    if (!b) return std::nullopt;
    return dem_of(source);  // copies share the target storage
  }
  if (is_stim_object(source, "Circuit")) {  // its decomposed model, as from_stim_circuit takes it
    PyRef dem(circuit_model(source));
    if (!dem) return std::nullopt;
    return model_from_object(dem.get());
  }
  std::string text;
  bool inline_text = false;
  if (!extract_dem_text(source, text, inline_text)) return std::nullopt;
  auto parsed = DetectorErrorModel::parse(text);
  if (!parsed) {
    // A one-line str that names no file and starts with no instruction is most likely a
    // mistyped path.
    const bool path_like = inline_text && parsed.error().is<dem_errors::UnknownInstruction>() &&
                           text.find('\n') == std::string::npos;
    raise_message(PyExc_ValueError,
                  parsed.error().to_string() +
                      (path_like ? " in " + quoted_excerpt(text) + ", which is not an existing file either" : ""));
    return std::nullopt;
  }
  std::optional<DetectorErrorModel> model(std::move(*parsed));
  if (is_vacuous(*model, text)) {
    raise_message(PyExc_ValueError, "no error mechanism, detector or observable found in " + quoted_excerpt(text) +
                                        (inline_text ? ", which is not an existing file either" : ""));
    return std::nullopt;
  }
  return model;
}

GraphHandle graph_from_object(PyObject* source, bool keep_mechanisms) try {
  PyTypeObject* graph_type = spacetime_graph_type();
  if (!graph_type) return nullptr;
  if (PyObject_TypeCheck(source, graph_type)) {
    SharedBorrow b(borrow_of<GraphObjectState>(source));
    if (!b) return nullptr;
    if (keep_mechanisms && !graph_of(source)->keeps_mechanisms) {
      PyErr_SetString(PyExc_ValueError, kNoCorrelationsText);
      return nullptr;
    }
    return graph_of(source);
  }
  auto model = model_from_object(source);
  if (!model) return nullptr;
  return graph_from_model(*model, keep_mechanisms);
} catch (const std::bad_alloc&) {
  raise_no_memory("the decoding graph");
  return nullptr;
}

}  // namespace kelvane::py

// Turning the ways a caller names a detector error model into a model or a decoding graph.
//
// Accepted everywhere a model is taken (set_decoder, SpacetimeGraph.from_detector_error_model,
// kelvane.open):
//   a kelvane DetectorErrorModel -> that model (no text round trip);
//   a str                        -> the file's contents when something exists at that path
//                                   (symlinks followed), else the string itself as DEM text;
//   an os.PathLike               -> the contents of the file it names;
//   a stim.Circuit               -> its detector_error_model(decompose_errors=True), as
//                                   SpacetimeGraph.from_stim_circuit takes it;
//   anything else                -> str(obj) as DEM text (a stim.DetectorErrorModel prints
//                                   its text).
// graph_from_object also takes a SpacetimeGraph object and shares its graph. A text with content
// from which nothing at all was parsed (a mistyped path, an object whose str() is no DEM) is
// refused with ValueError rather than decoded against an empty graph.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "kelvane/dem/parser.h"
#include "kelvane/py/graph_object.h"

namespace kelvane::py {

// The model `source` names, or nullopt with a Python exception set.
std::optional<DetectorErrorModel> model_from_object(PyObject* source);

// The decoding graph `source` names, or nullptr with a Python exception set. `keep_mechanisms`
// builds it keeping its decomposed mechanisms (for correlated decoding); a SpacetimeGraph built
// without them is then refused with ValueError.
GraphHandle graph_from_object(PyObject* source, bool keep_mechanisms = false);

// The ValueError text for correlated decoding asked of a graph built without its mechanisms.
inline constexpr const char* kNoCorrelationsText =
    "correlated decoding needs a graph built with enable_correlations=True "
    "(SpacetimeGraph.from_detector_error_model(dem, enable_correlations=True))";

// True for a stim.DetectorErrorModel (checked by its class, without importing stim).
bool is_stim_dem(PyObject* obj);

// A stim.Circuit's decomposed model (a new stim.DetectorErrorModel), or nullptr with the
// exception set.
PyObject* circuit_model(PyObject* circuit);

// Reads the whole file at `path` as UTF-8 text. False with OSError set on failure.
bool read_utf8_file(const std::string& path, std::string& out);

// Parses DEM text into a model; nullopt with ValueError (the parse error's text) set.
std::optional<DetectorErrorModel> parse_model(std::string_view text);

}  // namespace kelvane::py

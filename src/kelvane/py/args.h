// Argument binding and conversion with the module's fixed error texts.
//
// bind_args gives CPython's own texts for missing, surplus and unknown arguments; the
// converters give "argument '{name}': {reason}" TypeErrors, e.g.
//   argument 'source': 'PosixPath' object is not an instance of 'str'
// and leave OverflowError texts as the interpreter writes them (without the argument name).
// Every function returns false with a Python exception set on failure.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace kelvane::py {

// Binds `args`/`kwargs` to `names` (positional or keyword). The first `required` names are
// required; an optional argument that was not passed keeps the value its slot of `out` held
// before the call, so every slot must be set first: to nullptr ("not passed") or to the
// default object (a borrowed reference such as Py_False).
// `fname` is the function name used in CPython's messages ("set_decoder"). The names from index
// `positional` on are keyword-only. At most twelve names.
bool bind_args(const char* fname, PyObject* args, PyObject* kwargs, std::initializer_list<const char*> names,
               std::size_t required, PyObject** out, std::size_t positional = SIZE_MAX);

// `o` must be a str (or subclass); its UTF-8 text goes to `out`.
bool arg_str(const char* name, PyObject* o, std::string& out);
// `o` must be an int (or have __index__); range errors raise OverflowError.
bool arg_u64(const char* name, PyObject* o, std::uint64_t& out);
bool arg_u32(const char* name, PyObject* o, std::uint32_t& out);
bool arg_size(const char* name, PyObject* o, std::size_t& out);
// `o` must be a float or convertible to one (int, __float__).
bool arg_f64(const char* name, PyObject* o, double& out);
// `o` must be an instance of `type`; the message names the type's short name.
bool arg_instance(const char* name, PyObject* o, PyTypeObject* type);

// Raises TypeError "argument '{name}': {reason}".
void raise_arg_error(const char* name, const std::string& reason);
// "'{type of o}' object is not an instance of '{expected}'"
std::string not_instance_reason(PyObject* o, const char* expected);

}  // namespace kelvane::py

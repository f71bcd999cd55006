#include "kelvane/py/native_object.h"

#include <cstring>
#include <string>
#include <string_view>

namespace kelvane::py {

PyTypeObject* make_type_once(PyTypeObject*& cache, PyType_Spec* type_spec) {
  if (cache) return cache;
  // The classes present themselves like built-in ones, with __module__ "builtins" and bare
  // __name__ and __qualname__. Creating a type from a dotless name would raise a deprecation
  // warning (an error under -W error), so the type is created as "builtins.Name" and its
  // tp_name, which CPython prints in reprs and messages, then points at the bare name. The
  // type keeps pointing into the qualified name, and types live as long as the process, so
  // that string is never freed.
  if (std::strchr(type_spec->name, '.')) {
    cache = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(type_spec));
    return cache;
  }
  static constexpr std::string_view kPrefix = "builtins.";
  const std::string* qualified = new std::string(std::string(kPrefix) + type_spec->name);
  PyType_Spec qualified_spec = *type_spec;
  qualified_spec.name = qualified->c_str();
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&qualified_spec));
  if (type) type->tp_name = qualified->c_str() + kPrefix.size();
  cache = type;
  return cache;
}

const char* short_type_name(PyTypeObject* type) {
  const char* dot = std::strrchr(type->tp_name, '.');
  return dot ? dot + 1 : type->tp_name;
}

}  // namespace kelvane::py

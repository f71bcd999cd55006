#include "kelvane/py/native_object.h"

#include <cstring>
#include <string>

namespace kelvane::py {

PyTypeObject* make_type_once(PyTypeObject*& cache, PyType_Spec* spec) {
  if (cache) return cache;
  // The classes present themselves like built-in ones: qualifying the name with "builtins."
  // gives them __module__ "builtins" (which CPython leaves out of reprs) while __name__ and
  // __qualname__ stay bare. The type keeps pointing at the name, and types live as long as
  // the process, so the qualified name is never freed.
  PyType_Spec qualified = *spec;
  if (!std::strchr(spec->name, '.')) {
    qualified.name = (new std::string(std::string("builtins.") + spec->name))->c_str();
  }
  cache = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&qualified));
  return cache;
}

const char* short_type_name(PyTypeObject* type) {
  const char* dot = std::strrchr(type->tp_name, '.');
  return dot ? dot + 1 : type->tp_name;
}

}  // namespace kelvane::py

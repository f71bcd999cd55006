#define KELVANE_NUMPY_API_OWNER
#include "kelvane/py/numpy_api.h"

namespace kelvane::py {

bool ensure_numpy() {
  static bool loaded = false;
  if (loaded) return true;
  if (_import_array() < 0) return false;
  loaded = true;
  return true;
}

}  // namespace kelvane::py

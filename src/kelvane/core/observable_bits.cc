#include "kelvane/core/observable_bits.h"

namespace kelvane {

std::optional<std::string> mask_form_error(std::uint64_t num_observables, std::string_view form,
                                           std::string_view instead) {
  if (num_observables <= 64) return std::nullopt;
  return std::string(form) + " holds observables L0 to L63 as a 64-bit mask, the model has " +
         std::to_string(num_observables) + ": " + std::string(instead);
}

}  // namespace kelvane

// Strict UTF-8 validation: shortest forms only, no surrogates, nothing above U+10FFFF.
#pragma once

#include <cstdint>
#include <span>

namespace kelvane {

bool is_valid_utf8(std::span<const std::uint8_t> bytes);

}  // namespace kelvane

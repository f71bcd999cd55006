// Run-length encoding of detector events: one byte per run, bit 7 the run's value (1 = fired),
// bits 0..6 its length (0..127; a zero-length run stands for nothing). Runs follow in ancilla
// order and neighbouring runs may carry the same value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kelvane {

inline constexpr std::uint8_t kRleValueBit = 0x80;
inline constexpr std::uint8_t kRleLengthMask = 0x7F;
inline constexpr std::size_t kRleMaxRun = 127;

// Expands `rle` into `out` (cleared first, allocation kept) and cuts or pads it with 0 to exactly
// `n` entries of 0 or 1. Never fails.
void decode_rle_events_into(std::span<const std::uint8_t> rle, std::size_t n, std::vector<std::uint8_t>& out);

// Expands `rle` into exactly out.size() entries of 0 or 1, cutting or padding with 0. Never fails.
void decode_rle_events_to(std::span<const std::uint8_t> rle, std::span<std::uint8_t> out);

}  // namespace kelvane

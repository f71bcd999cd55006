// Run-length encoding of detector events: one byte per run, bit 7 the run's value (1 = fired),
// bits 0..6 its length (0..127; a zero-length run stands for nothing). Runs follow in ancilla
// order and neighbouring runs may carry the same value. An encoding may stop before the last
// ancilla (the rest are quiet) but never expands beyond the frame's ancilla count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kelvane {

inline constexpr std::uint8_t kRleValueBit = 0x80;
inline constexpr std::uint8_t kRleLengthMask = 0x7F;
inline constexpr std::size_t kRleMaxRun = 127;

// Maximal runs of equal values of 0/1 events (nonzero counts as 1), runs longer than 127 split
// into 127-long pieces. Empty input gives empty output.
std::vector<std::uint8_t> encode_rle_events(std::span<const std::uint8_t> events);

// The number of events the encoding expands to: the sum of all its run lengths.
std::size_t rle_expanded_length(std::span<const std::uint8_t> rle);

// Number of fired events in the encoding: the sum of the run lengths of runs whose value is 1.
std::uint32_t detector_event_count(std::span<const std::uint8_t> rle);

// Expands `rle` into `out` (cleared first, allocation kept) and cuts or pads it with 0 to exactly
// `n` entries of 0 or 1. Never fails.
void decode_rle_events_into(std::span<const std::uint8_t> rle, std::size_t n, std::vector<std::uint8_t>& out);

// Expands `rle` into exactly out.size() entries of 0 or 1, cutting or padding with 0. Never fails.
void decode_rle_events_to(std::span<const std::uint8_t> rle, std::span<std::uint8_t> out);

// Sets to 1 the entries of `out` that the encoding marks fired, cut at out.size(); leaves the
// others as they are (decode_rle_events_to on an `out` of zeros).
void set_fired_events(std::span<const std::uint8_t> rle, std::span<std::uint8_t> out);

// decode_rle_events_into a new vector.
std::vector<std::uint8_t> decode_rle_events(std::span<const std::uint8_t> rle, std::size_t n);

}  // namespace kelvane

// Frame-to-detector layouts: which detector of a decoding graph each bit of a streamed frame is.
//
// A stream carries one frame per round; frame bit `a` (ancilla a) of the frame for round `r` of a
// shot is detector `layout.detector(r, a)`, or no detector at all. Two kinds exist:
//   - positional: round r, ancilla a is detector r * ancillas + a (the rule a window of whole
//     rounds follows when every round has the same detectors in the same order);
//   - a table of rounds x ancillas ids, kNoDetector where a slot has no detector (Stim's surface
//     codes have fewer detectors in their first and last rounds than in the middle ones).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kelvane {

using LayoutDetector = std::uint64_t;  // a detector id, or kNoDetector
inline constexpr LayoutDetector kNoDetector = ~LayoutDetector{0};

// Why a layout cannot serve a model or a frame. The numbers name the offending entry.
struct LayoutError {
  enum class Kind : std::uint8_t {
    kNegativeEntry,     // `value` < -1 at (round, ancilla)
    kOutOfRange,        // `value` >= num_detectors at (round, ancilla)
    kRepeated,          // `value` at (other_round, other_ancilla) and again at (round, ancilla)
    kEmpty,             // the table has no round or no ancilla
    kTooSmall,          // positional: rounds * ancillas < num_detectors
    kAncillaMismatch,   // frame `frame_id` has `value` ancillas, the layout `ancillas`
    kRoundOutOfRange,   // frame `frame_id` has round `value`, the layout `rounds` rounds
    kDepthMismatch,     // a window depth of `value` rounds given with a layout of `rounds`
    // frame `frame_id` carries the description hash of a stream laid out by the layout of
    // CRC-32 `value` (layout_crc), not this one (`other_round` holds this one's CRC-32)
    kDescriptionMismatch,
  };
  Kind kind = Kind::kEmpty;
  std::size_t round = 0;
  std::size_t ancilla = 0;
  std::size_t other_round = 0;
  std::size_t other_ancilla = 0;
  std::int64_t value = 0;
  std::uint64_t num_detectors = 0;
  std::size_t rounds = 0;
  std::size_t ancillas = 0;
  std::uint64_t frame_id = 0;

  // The display text, naming the numbers, e.g. "layout entry [2, 5] is detector 130, but the
  // model has 120 detectors (ids 0 to 119, or -1 for none)".
  std::string to_string() const;
};

class FrameLayout {
 public:
  // Positional over `rounds` rounds of `ancillas` ancillas. Never fails, allocates nothing.
  static FrameLayout positional(std::size_t rounds, std::size_t ancillas);

  // A table of `rounds` x `ancillas` entries, row-major; -1 is "no detector". Fails with
  // kEmpty for a table without rounds or ancillas (or whose entry count is not their product),
  // kNegativeEntry for an entry below -1, kOutOfRange for an id at or beyond `num_detectors`,
  // and kRepeated for an id listed twice (the first such entry in row-major order is named).
  static std::expected<FrameLayout, LayoutError> table(std::size_t rounds, std::size_t ancillas,
                                                       std::span<const std::int64_t> entries,
                                                       std::uint64_t num_detectors);

  // For a positional layout: fails with kTooSmall when it covers fewer than `num_detectors`
  // detectors (detectors beyond it could never fire). Tables always pass.
  std::expected<void, LayoutError> check_covers(std::uint64_t num_detectors) const;

  std::size_t rounds() const { return rounds_; }
  std::size_t ancillas() const { return ancillas_; }
  bool is_positional() const { return entries_.empty(); }

  // The detector of ancilla `a` in round `r` (both in range), or kNoDetector.
  LayoutDetector detector(std::size_t r, std::size_t a) const {
    if (entries_.empty()) return static_cast<LayoutDetector>(r) * ancillas_ + a;
    return entries_[r * ancillas_ + a];
  }

 private:
  std::size_t rounds_ = 0;
  std::size_t ancillas_ = 0;
  std::vector<LayoutDetector> entries_;  // empty for a positional layout
};

// The CRC-32 of `layout` as a stream that describes itself stores it (u32 rounds, u32 ancillas,
// then every entry row by row as an i32, -1 for none; docs/kvlx-format.md): the low half of
// the description hash on the stream's round-0 frames. A positional layout counts as the table
// it stands for. Nothing for a layout larger than any a stream can store.
std::optional<std::uint32_t> layout_crc(const FrameLayout& layout);

// Two detectors that the positional rule over `ancillas` ancillas puts into one frame although
// their times differ: the first such pair in id order (`first` is the frame's earliest detector
// with a time). `times[d]` is detector d's time (its last coordinate), nullopt for none; detectors
// without a time are never named. Stim numbers detectors round after round, so a model whose
// rounds are not all `ancillas` detectors wide (a surface code's first round) has such a pair.
struct MixedTimes {
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  double first_time = 0.0;
  double second_time = 0.0;
};
std::optional<MixedTimes> positional_mixed_times(std::span<const std::optional<double>> times, std::size_t ancillas);

}  // namespace kelvane

#include "kelvane/streaming/layout.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>

namespace kelvane {

namespace {

// Joins the parts with += only (GCC 12 warns wrongly about "text" + std::string temporaries).
template <typename... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  ((out += parts), ...);
  return out;
}

std::string num(std::uint64_t v) { return std::to_string(v); }
std::string num(std::int64_t v) { return std::to_string(v); }

std::string at(std::size_t round, std::size_t ancilla) { return cat("[", num(std::uint64_t{round}), ", ", num(std::uint64_t{ancilla}), "]"); }

std::string model_ids(std::uint64_t n) {
  return cat("the model has ", num(n), " detectors",
             n ? cat(" (ids 0 to ", num(n - 1), ", or -1 for none)") : std::string());
}

std::string crc_text(std::uint32_t crc) {
  char text[32];
  std::snprintf(text, sizeof text, "CRC-32 %08x", crc);
  return text;
}

}  // namespace

std::string LayoutError::to_string() const {
  const std::uint64_t r = rounds, a = ancillas;
  switch (kind) {
    case Kind::kNegativeEntry:
      return cat("layout entry ", at(round, ancilla), " is ", num(value), "; entries are detector ids or -1 for none");
    case Kind::kOutOfRange:
      return cat("layout entry ", at(round, ancilla), " is detector ", num(value), ", but ", model_ids(num_detectors));
    case Kind::kRepeated:
      return cat("detector ", num(value), " appears twice in the layout, at ", at(other_round, other_ancilla), " and ",
                 at(round, ancilla));
    case Kind::kEmpty:
      return cat("the layout has ", num(r), " rounds of ", num(a), " ancillas; it needs at least one of each");
    case Kind::kTooSmall:
      return cat("the window covers ", num(r), " rounds x ", num(a), " ancillas = ", num(r * a),
                 " detectors, but the model has ", num(num_detectors),
                 " detectors; pass window_depth or layout= to cover them");
    case Kind::kAncillaMismatch:
      return cat("frame ", num(frame_id), " has ", num(value), " ancillas, but the layout has ", num(a), " per round");
    case Kind::kRoundOutOfRange:
      return cat("frame ", num(frame_id), " has round ", num(value), ", but the layout has ", num(r), " rounds (0 to ",
                 num(r ? r - 1 : 0), ")");
    case Kind::kDepthMismatch:
      return cat("window_depth is ", num(value), ", but the layout has ", num(r), " rounds");
    case Kind::kDescriptionMismatch:
      return cat("frame ", num(frame_id), " says the stream is laid out by another layout than the decoder's (",
                 crc_text(static_cast<std::uint32_t>(value)), " against ", crc_text(static_cast<std::uint32_t>(other_round)),
                 "): the reader holds no description of this stream (it joined after the description, or the stream "
                 "changed); pass the layout it was written with as layout=");
  }
  return "invalid layout";
}

FrameLayout FrameLayout::positional(std::size_t rounds, std::size_t ancillas) {
  FrameLayout l;
  l.rounds_ = rounds;
  l.ancillas_ = ancillas;
  return l;
}

std::expected<FrameLayout, LayoutError> FrameLayout::table(std::size_t rounds, std::size_t ancillas,
                                                           std::span<const std::int64_t> entries,
                                                           std::uint64_t num_detectors) {
  LayoutError err;
  err.rounds = rounds;
  err.ancillas = ancillas;
  err.num_detectors = num_detectors;
  if (rounds == 0 || ancillas == 0 || entries.size() / ancillas != rounds || entries.size() % ancillas != 0) {
    err.kind = LayoutError::Kind::kEmpty;
    return std::unexpected(err);
  }
  FrameLayout l;
  l.rounds_ = rounds;
  l.ancillas_ = ancillas;
  l.entries_.resize(entries.size());
  for (std::size_t k = 0; k < entries.size(); ++k) {
    const std::int64_t v = entries[k];
    if (v >= -1 && (v == -1 || static_cast<std::uint64_t>(v) < num_detectors)) {
      l.entries_[k] = v == -1 ? kNoDetector : static_cast<LayoutDetector>(v);
      continue;
    }
    err.kind = v < -1 ? LayoutError::Kind::kNegativeEntry : LayoutError::Kind::kOutOfRange;
    err.round = k / ancillas;
    err.ancilla = k % ancillas;
    err.value = v;
    return std::unexpected(err);
  }
  // Repeated ids: sort (id, position) pairs; the first repeat in row-major order is reported.
  std::vector<std::pair<LayoutDetector, std::size_t>> order;
  order.reserve(entries.size());
  for (std::size_t k = 0; k < l.entries_.size(); ++k) {
    if (l.entries_[k] != kNoDetector) order.emplace_back(l.entries_[k], k);
  }
  std::sort(order.begin(), order.end());
  std::size_t worst = std::numeric_limits<std::size_t>::max(), first = 0;
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (order[i].first != order[i - 1].first || order[i].second >= worst) continue;
    std::size_t j = i - 1;
    while (j > 0 && order[j - 1].first == order[i].first) --j;
    worst = order[i].second;
    first = order[j].second;
  }
  if (worst != std::numeric_limits<std::size_t>::max()) {
    err.kind = LayoutError::Kind::kRepeated;
    err.value = static_cast<std::int64_t>(l.entries_[worst]);
    err.round = worst / ancillas;
    err.ancilla = worst % ancillas;
    err.other_round = first / ancillas;
    err.other_ancilla = first % ancillas;
    return std::unexpected(err);
  }
  return l;
}

std::expected<void, LayoutError> FrameLayout::check_covers(std::uint64_t num_detectors) const {
  if (!is_positional()) return {};
  const std::uint64_t covered = static_cast<std::uint64_t>(rounds_) * ancillas_;
  if (covered >= num_detectors) return {};
  LayoutError err;
  err.kind = LayoutError::Kind::kTooSmall;
  err.rounds = rounds_;
  err.ancillas = ancillas_;
  err.num_detectors = num_detectors;
  return std::unexpected(err);
}

std::optional<MixedTimes> positional_mixed_times(std::span<const std::optional<double>> times, std::size_t ancillas) {
  if (ancillas == 0) return std::nullopt;
  std::optional<MixedTimes> frame;  // the current frame's first detector with a time
  for (std::size_t d = 0; d < times.size(); ++d) {
    if (d % ancillas == 0) frame.reset();
    if (!times[d]) continue;
    if (!frame) {
      frame = MixedTimes{d, d, *times[d], *times[d]};
    } else if (*times[d] != frame->first_time) {
      frame->second = d;
      frame->second_time = *times[d];
      return frame;
    }
  }
  return std::nullopt;
}

}  // namespace kelvane

namespace kelvane {

std::optional<std::uint32_t> layout_crc(const FrameLayout& layout) {
  // Larger than any table a stream's first frame can hold (65535 pieces of 60 KiB).
  constexpr std::uint64_t kMaxStoredEntries = std::uint64_t{65535} * 61440 / 4;
  if (layout.rounds() > 0xFFFFFFFFu || layout.ancillas() > 0xFFFFFFFFu ||
      static_cast<double>(layout.rounds()) * static_cast<double>(layout.ancillas()) > kMaxStoredEntries) {
    return std::nullopt;
  }
  std::vector<Bytef> row;
  auto put = [&row](std::uint32_t v) {
    for (int k = 0; k < 4; ++k) row.push_back(static_cast<Bytef>(v >> (8 * k)));
  };
  put(static_cast<std::uint32_t>(layout.rounds()));
  put(static_cast<std::uint32_t>(layout.ancillas()));
  uLong crc = crc32(0, Z_NULL, 0);
  for (std::size_t r = 0; r < layout.rounds(); ++r) {
    for (std::size_t a = 0; a < layout.ancillas(); ++a) {
      const LayoutDetector d = layout.detector(r, a);
      put(d == kNoDetector ? 0xFFFFFFFFu : static_cast<std::uint32_t>(d));
    }
    crc = crc32(crc, row.data(), static_cast<uInt>(row.size()));
    row.clear();
  }
  if (!row.empty()) crc = crc32(crc, row.data(), static_cast<uInt>(row.size()));
  return static_cast<std::uint32_t>(crc);
}

}  // namespace kelvane

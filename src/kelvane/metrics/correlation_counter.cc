#include "kelvane/metrics/correlation_counter.h"

#include <algorithm>
#include <bit>

namespace kelvane {

CorrelationCounter::CorrelationCounter(std::size_t detector_count, std::span<const Pair> pairs)
    : fired_(detector_count, 0), both_fired_(pairs.size(), 0), start_(detector_count + 1, 0),
      on_(detector_count, 0) {
  shot_.reserve(detector_count);
  for (const Pair& p : pairs) {
    if (p.first < detector_count && p.second < detector_count) ++start_[p.first + 1];
  }
  for (std::size_t d = 0; d < detector_count; ++d) start_[d + 1] += start_[d];
  partner_.resize(start_[detector_count]);
  pair_id_.resize(start_[detector_count]);
  std::vector<std::uint32_t> next(start_.begin(), start_.end() - 1);
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    const Pair& p = pairs[k];
    if (p.first >= detector_count || p.second >= detector_count) continue;
    const std::uint32_t slot = next[p.first]++;
    partner_[slot] = p.second;
    pair_id_[slot] = static_cast<std::uint32_t>(k);
  }
}

void CorrelationCounter::count_shot() {
  for (const std::uint32_t d : shot_) {
    ++fired_[d];
    for (std::uint32_t s = start_[d]; s < start_[d + 1]; ++s) {
      // A pair (d, d) counts the shots d fires in, as the product x_d x_d does.
      if (on_[partner_[s]]) ++both_fired_[pair_id_[s]];
    }
  }
  for (const std::uint32_t d : shot_) on_[d] = 0;
  shot_.clear();
  ++shots_;
}

void CorrelationCounter::add_unpacked(std::span<const std::uint8_t> data, std::size_t shots,
                                      std::size_t row_bytes) {
  const std::size_t width = std::min(row_bytes, fired_.size());
  for (std::size_t s = 0; s < shots && (s + 1) * row_bytes <= data.size(); ++s) {
    const std::uint8_t* row = data.data() + s * row_bytes;
    for (std::size_t d = 0; d < width; ++d) {
      if (row[d]) {
        on_[d] = 1;
        shot_.push_back(static_cast<std::uint32_t>(d));
      }
    }
    count_shot();
  }
}

void CorrelationCounter::add_packed(std::span<const std::uint8_t> data, std::size_t shots, std::size_t row_bytes) {
  const std::size_t n = fired_.size();
  for (std::size_t s = 0; s < shots && (s + 1) * row_bytes <= data.size(); ++s) {
    const std::uint8_t* row = data.data() + s * row_bytes;
    for (std::size_t b = 0; b < row_bytes && 8 * b < n; ++b) {
      unsigned bits = row[b];
      while (bits) {
        const std::size_t d = 8 * b + static_cast<std::size_t>(std::countr_zero(bits));
        bits &= bits - 1;
        if (d >= n) break;
        on_[d] = 1;
        shot_.push_back(static_cast<std::uint32_t>(d));
      }
    }
    count_shot();
  }
}

void CorrelationCounter::add_fired(std::span<const std::uint32_t> fired) {
  for (const std::uint32_t d : fired) {
    if (d >= fired_.size() || on_[d]) continue;
    on_[d] = 1;
    shot_.push_back(d);
  }
  count_shot();
}

void CorrelationCounter::reset() {
  std::fill(fired_.begin(), fired_.end(), 0);
  std::fill(both_fired_.begin(), both_fired_.end(), 0);
  shots_ = 0;
}

}  // namespace kelvane

// A fixed-size histogram of durations in nanoseconds: the exact maximum and count, and quantiles
// read from log-linear buckets (32 per power of two, so within about 3% of the true value).
// Recording never allocates, so it can run for an unbounded number of steps.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace kelvane {

class LatencyHistogram {
 public:
  void record(std::uint64_t ns) {
    ++buckets_[bucket_of(ns)];
    ++count_;
    total_ += ns;
    if (ns > worst_) worst_ = ns;
  }
  void clear() { *this = LatencyHistogram{}; }

  std::uint64_t count() const { return count_; }
  std::uint64_t total_ns() const { return total_; }
  std::uint64_t worst_ns() const { return worst_; }
  // The lower edge of the bucket holding the sample of rank ceil(q * count) (0 without samples).
  std::uint64_t quantile_ns(double q) const {
    if (count_ == 0) return 0;
    auto rank = static_cast<std::uint64_t>(q * static_cast<double>(count_) + 0.999999);
    if (rank < 1) rank = 1;
    std::uint64_t seen = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
      seen += buckets_[b];
      if (seen >= rank) return lower_edge(b);
    }
    return worst_;
  }
  std::uint64_t median_ns() const { return quantile_ns(0.5); }

 private:
  static constexpr unsigned kSubBits = 5;  // 32 buckets per power of two
  static constexpr std::size_t kBuckets = (64 - kSubBits + 1) << kSubBits;

  // Values below 2^kSubBits have a bucket each; above, the top kSubBits + 1 bits pick one.
  static std::size_t bucket_of(std::uint64_t v) {
    if (v < (std::uint64_t{1} << kSubBits)) return static_cast<std::size_t>(v);
    const unsigned shift = static_cast<unsigned>(std::bit_width(v)) - kSubBits - 1;
    return ((shift + 1) << kSubBits) + static_cast<std::size_t>((v >> shift) - (std::uint64_t{1} << kSubBits));
  }
  static std::uint64_t lower_edge(std::size_t b) {
    if (b < (std::size_t{1} << kSubBits)) return b;
    const unsigned shift = static_cast<unsigned>(b >> kSubBits) - 1;
    return ((std::uint64_t{1} << kSubBits) + (b & ((std::size_t{1} << kSubBits) - 1))) << shift;
  }

  std::array<std::uint32_t, kBuckets> buckets_{};
  std::uint64_t count_ = 0;
  std::uint64_t total_ = 0;
  std::uint64_t worst_ = 0;
};

}  // namespace kelvane

// Sliding-window decoders over one graph, kept between calls.
//
// Splitting a model into rounds and building its window graphs costs as much as decoding
// thousands of rounds, so a caller that decodes the same graph again and again (one batch of
// shots after another) should pay for them once: the pool splits the graph the first time a
// decoder is asked for, and a decoder given back is lent out again for the same commit and
// buffer, with the window graphs it has built. Any number of threads may use one pool.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "kelvane/decoder/batch_decode.h"
#include "kelvane/decoder/pool_lease.h"
#include "kelvane/decoder/sliding_window.h"
#include "kelvane/dem/graph.h"

namespace kelvane {

class SlidingDecoderPool {
 public:
  explicit SlidingDecoderPool(std::shared_ptr<const SpacetimeGraph> graph) : graph_(std::move(graph)) {}

  // A decoder lent to one caller; it returns to the pool when the lease ends.
  using Lease = PoolLease<SlidingDecoderPool, SlidingWindowDecoder>;

  // The graph split into rounds (detector_rounds, SlidingWindowModel::build), made on first use.
  // Fails when the graph cannot be split. May throw std::bad_alloc.
  SlidingResult<std::shared_ptr<const SlidingWindowModel>> model();

  // An idle decoder with this commit, buffer, correlated mode, thread count and method, or a new
  // one. Fails as model() and SlidingWindowDecoder::create do. May throw std::bad_alloc.
  SlidingResult<Lease> acquire(std::uint32_t commit, std::uint32_t buffer, bool correlated = false,
                               unsigned threads = 1, DecodeMethod method = DecodeMethod::kUnionFind);

  // Decoders kept idle at most; older ones are dropped first.
  static constexpr std::size_t kMaxIdle = 8;

 private:
  friend Lease;
  void give_back(std::unique_ptr<SlidingWindowDecoder> decoder) noexcept;

  std::shared_ptr<const SpacetimeGraph> graph_;
  std::mutex mutex_;
  std::shared_ptr<const SlidingWindowModel> model_;
  std::vector<std::unique_ptr<SlidingWindowDecoder>> idle_;
};

// Decodes every row of `rows` as one shot of the pool's model, in windows of commit + buffer
// rounds, writing each shot's committed observable flips to masks[shot]. `threads` (0: every
// usable core) are used one of two ways:
//  - enough shots to give each thread 32 (batch_threads): the shots are split over the
//    threads, each shot decoded one window after another, as one thread decodes it;
//  - fewer: each shot is decoded in open core windows and closed seam windows on the threads
//    (window_engine.h), which gives several cores to one long shot but decides the seams
//    between windows otherwise.
// Fails as the pool's acquire does, or with the first shot that cannot be decoded. `correlated`
// decodes every window in two passes. `bits`, when not empty, receives every observable of each
// shot (models of more than 64 observables). `method` is the windows' decoding algorithm. May
// throw std::bad_alloc.
SlidingResult<void> decode_sliding_batch(SlidingDecoderPool& pool, const ShotRows& rows, std::span<std::uint64_t> masks,
                                         std::uint32_t commit, std::uint32_t buffer, unsigned threads,
                                         bool correlated = false, std::span<ObservableBits> bits = {},
                                         DecodeMethod method = DecodeMethod::kUnionFind);

}  // namespace kelvane

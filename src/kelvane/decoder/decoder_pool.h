// Union-Find decoders over one shared decoding graph, lent out one per thread.
//
// A decoder's scratch state is sized to the graph, so it is worth keeping between calls; a
// pool keeps decoders that are not in use and makes a new one when every kept one is lent out,
// so any number of threads can decode the same graph at once. It keeps at most `max_idle` of
// them (by default one per usable core, as many as a batch runs at once); decoders given back
// beyond that are freed, so that a burst of threads does not leave its memory behind.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "kelvane/decoder/cores.h"
#include "kelvane/decoder/decoding_graph.h"
#include "kelvane/decoder/pool_lease.h"
#include "kelvane/decoder/union_find.h"

namespace kelvane {

class DecoderPool {
 public:
  explicit DecoderPool(std::shared_ptr<const DecodingGraph> graph, std::size_t max_idle = 0)
      : graph_(std::move(graph)), max_idle_(max_idle != 0 ? max_idle : usable_cores()) {}

  // A decoder lent to one thread; it returns to the pool when the lease ends.
  using Lease = PoolLease<DecoderPool, UnionFindDecoder>;

  // An idle decoder, or a new one. Fails only on memory exhaustion (std::bad_alloc).
  Lease acquire() {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        std::unique_ptr<UnionFindDecoder> decoder = std::move(idle_.back());
        idle_.pop_back();
        return Lease(*this, std::move(decoder));
      }
    }
    return Lease(*this, std::make_unique<UnionFindDecoder>(graph_));
  }

  const std::shared_ptr<const DecodingGraph>& graph() const { return graph_; }
  // Decoders kept for reuse now.
  std::size_t idle_count() {
    std::lock_guard lock(mutex_);
    return idle_.size();
  }

 private:
  friend Lease;
  void give_back(std::unique_ptr<UnionFindDecoder> decoder) noexcept {
    // Every borrower starts from Union-Find, the default method.
    decoder->set_method(DecodeMethod::kUnionFind);
    {
      std::lock_guard lock(mutex_);
      if (idle_.size() < max_idle_) {
        try {
          idle_.push_back(std::move(decoder));
        } catch (...) {
          // Out of memory for the list: the decoder is dropped instead of kept.
        }
      }
    }
    decoder.reset();  // a decoder not kept is freed outside the lock
  }

  std::shared_ptr<const DecodingGraph> graph_;
  std::size_t max_idle_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<UnionFindDecoder>> idle_;
};

}  // namespace kelvane

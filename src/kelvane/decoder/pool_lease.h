// A decoder lent out by a pool of idle decoders, given back to it when the lease ends.
#pragma once

#include <memory>
#include <utility>

namespace kelvane {

// `Pool` keeps idle `Decoder`s and declares this class a friend, so that the lease can hand its
// decoder back through the pool's private give_back(std::unique_ptr<Decoder>) noexcept.
template <class Pool, class Decoder>
class PoolLease {
 public:
  PoolLease(Pool& pool, std::unique_ptr<Decoder> decoder) : pool_(&pool), decoder_(std::move(decoder)) {}
  PoolLease(PoolLease&& other) noexcept = default;
  PoolLease& operator=(PoolLease&&) = delete;
  ~PoolLease() {
    if (decoder_) pool_->give_back(std::move(decoder_));
  }
  Decoder& operator*() const { return *decoder_; }
  Decoder* operator->() const { return decoder_.get(); }

 private:
  Pool* pool_;
  std::unique_ptr<Decoder> decoder_;
};

}  // namespace kelvane

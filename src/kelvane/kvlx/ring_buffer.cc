#include "kelvane/kvlx/ring_buffer.h"

#include <algorithm>
#include <cstring>

namespace kelvane {

RingBuffer::RingBuffer(std::size_t capacity)
    : storage_size_(std::min(std::max<std::size_t>(capacity, 1), kRingInitialStorage)),
      capacity_(std::max<std::size_t>(capacity, 1)) {
  storage_.reset(new std::uint8_t[storage_size_]);
}

void RingBuffer::grow(std::size_t needed) {
  std::size_t size = storage_size_;
  while (size < needed) size = size > capacity_ / 2 ? capacity_ : 2 * size;
  std::unique_ptr<std::uint8_t[]> grown(new std::uint8_t[size]);
  // Every buffered position moves to its slot in the larger storage, in runs that wrap in
  // neither storage.
  for (std::uint64_t pos = read_pos_; pos < write_pos_;) {
    const std::size_t from = slot(pos);
    const std::size_t to = static_cast<std::size_t>(pos % size);
    const std::size_t run = std::min({static_cast<std::size_t>(write_pos_ - pos), storage_size_ - from, size - to});
    std::memcpy(grown.get() + to, storage_.get() + from, run);
    pos += run;
  }
  storage_ = std::move(grown);
  storage_size_ = size;
}

std::size_t RingBuffer::write(std::span<const std::uint8_t> input) {
  const std::size_t n = std::min(free_space(), input.size());
  if (n == 0) return 0;
  if (buffered() + n > storage_size_) grow(buffered() + n);
  const std::size_t start = slot(write_pos_);
  const std::size_t first = std::min(n, storage_size_ - start);
  std::memcpy(storage_.get() + start, input.data(), first);
  if (n > first) std::memcpy(storage_.get(), input.data() + first, n - first);
  write_pos_ += n;
  return n;
}

std::span<std::uint8_t> RingBuffer::prepare(std::size_t n) {
  n = std::min(n, free_space());
  if (buffered() + n > storage_size_) grow(buffered() + n);
  const std::size_t start = slot(write_pos_);
  return std::span<std::uint8_t>(storage_.get() + start, std::min(n, storage_size_ - start));
}

std::optional<std::span<const std::uint8_t>> RingBuffer::peek(std::size_t len) const {
  if (buffered() < len) return std::nullopt;
  const std::size_t start = slot(read_pos_);
  if (len > storage_size_ - start) return std::nullopt;
  return std::span<const std::uint8_t>(storage_.get() + start, len);
}

std::optional<std::span<const std::uint8_t>> RingBuffer::peek_wrapped(std::size_t len,
                                                                       std::vector<std::uint8_t>& scratch) const {
  if (buffered() < len) return std::nullopt;
  const std::size_t start = slot(read_pos_);
  if (len <= storage_size_ - start) return std::span<const std::uint8_t>(storage_.get() + start, len);
  scratch.clear();
  scratch.insert(scratch.end(), storage_.get() + start, storage_.get() + storage_size_);
  scratch.insert(scratch.end(), storage_.get(), storage_.get() + (len - (storage_size_ - start)));
  return std::span<const std::uint8_t>(scratch.data(), scratch.size());
}

void RingBuffer::consume(std::size_t n) {
  // Callers consume only what they have peeked; clamp so that a misuse cannot break the
  // read_pos <= write_pos invariant.
  read_pos_ += std::min(n, buffered());
}

}  // namespace kelvane

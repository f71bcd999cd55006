#include "kelvane/kvlx/ring_buffer.h"

#include <algorithm>
#include <cstring>

namespace kelvane {

RingBuffer::RingBuffer(std::size_t capacity)
    : storage_(std::max<std::size_t>(capacity, 1), 0), capacity_(storage_.size()) {}

std::size_t RingBuffer::write(std::span<const std::uint8_t> input) {
  const std::size_t n = std::min(free_space(), input.size());
  if (n == 0) return 0;
  const std::size_t start = static_cast<std::size_t>(write_pos_ % capacity_);
  const std::size_t first = std::min(n, capacity_ - start);
  std::memcpy(storage_.data() + start, input.data(), first);
  if (n > first) std::memcpy(storage_.data(), input.data() + first, n - first);
  write_pos_ += n;
  return n;
}

std::optional<std::span<const std::uint8_t>> RingBuffer::peek(std::size_t len) const {
  if (buffered() < len) return std::nullopt;
  const std::size_t start = static_cast<std::size_t>(read_pos_ % capacity_);
  if (len > capacity_ - start) return std::nullopt;
  return std::span<const std::uint8_t>(storage_.data() + start, len);
}

std::optional<std::span<const std::uint8_t>> RingBuffer::peek_wrapped(std::size_t len,
                                                                       std::vector<std::uint8_t>& scratch) const {
  if (buffered() < len) return std::nullopt;
  const std::size_t start = static_cast<std::size_t>(read_pos_ % capacity_);
  if (len <= capacity_ - start) return std::span<const std::uint8_t>(storage_.data() + start, len);
  scratch.clear();
  scratch.insert(scratch.end(), storage_.begin() + static_cast<std::ptrdiff_t>(start), storage_.end());
  scratch.insert(scratch.end(), storage_.begin(),
                 storage_.begin() + static_cast<std::ptrdiff_t>(len - (capacity_ - start)));
  return std::span<const std::uint8_t>(scratch.data(), scratch.size());
}

void RingBuffer::consume(std::size_t n) {
  // Callers consume only what they have peeked; clamp so that a misuse cannot break the
  // read_pos <= write_pos invariant.
  read_pos_ += std::min(n, buffered());
}

}  // namespace kelvane

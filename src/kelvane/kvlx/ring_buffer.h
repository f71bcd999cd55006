// Fixed-capacity byte ring between a byte source and the frame parser.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelvane {

class RingBuffer {
 public:
  // `capacity` bytes of zeroed storage (at least 1).
  explicit RingBuffer(std::size_t capacity);

  // Stores as many leading bytes of `input` as fit; returns how many.
  std::size_t write(std::span<const std::uint8_t> input);
  // The next `len` buffered bytes as one view into storage, or nothing when fewer are buffered
  // or the range wraps around the end of storage.
  std::optional<std::span<const std::uint8_t>> peek(std::size_t len) const;
  // Like peek, but a wrapping range is assembled in `scratch` (cleared, allocation kept).
  std::optional<std::span<const std::uint8_t>> peek_wrapped(std::size_t len, std::vector<std::uint8_t>& scratch) const;
  // Drops `n` bytes that the caller has peeked (n <= buffered()).
  void consume(std::size_t n);

  std::size_t buffered() const { return static_cast<std::size_t>(write_pos_ - read_pos_); }
  std::size_t free_space() const { return capacity_ - buffered(); }
  std::size_t capacity() const { return capacity_; }
  std::uint64_t read_pos() const { return read_pos_; }
  std::uint64_t write_pos() const { return write_pos_; }

 private:
  std::vector<std::uint8_t> storage_;
  std::size_t capacity_;
  std::uint64_t read_pos_ = 0;
  std::uint64_t write_pos_ = 0;
};

}  // namespace kelvane

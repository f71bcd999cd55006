// Byte ring between a byte source and the frame parser, with a bounded capacity and storage
// that grows on demand.
//
// Bytes are addressed by their stream position; a position's slot is position % storage size.
// The storage starts small (kRingInitialStorage, or the capacity if smaller) and doubles, up
// to the capacity, when a write needs more room: a stream of small frames never touches more
// memory than it uses. Growing moves the stored bytes, so views returned by peek and
// peek_wrapped are valid only until the next write that grows the storage
// (write_moves_storage tells in advance).
//
// A mark pins the consumed bytes after it: rewind() puts them back, so that a reader can start
// a parse again from the mark. While the marked bytes fill the whole capacity the mark gives
// way: the next write may overwrite them and drops the mark.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace kelvane {

inline constexpr std::size_t kRingInitialStorage = 64 * 1024;

class RingBuffer {
 public:
  // A ring of at most `capacity` bytes (at least 1). Its storage is not initialised.
  explicit RingBuffer(std::size_t capacity);
  RingBuffer(RingBuffer&&) noexcept = default;
  RingBuffer& operator=(RingBuffer&&) noexcept = default;

  // Stores as many leading bytes of `input` as fit; returns how many.
  std::size_t write(std::span<const std::uint8_t> input);
  // The next `len` buffered bytes as one view into storage, or nothing when fewer are buffered
  // or the range wraps around the end of storage.
  std::optional<std::span<const std::uint8_t>> peek(std::size_t len) const;
  // Like peek, but a wrapping range is assembled in `scratch` (cleared, allocation kept).
  std::optional<std::span<const std::uint8_t>> peek_wrapped(std::size_t len, std::vector<std::uint8_t>& scratch) const;
  // Drops `n` bytes that the caller has peeked (n <= buffered()).
  void consume(std::size_t n);

  // Pins the read position: consumed bytes from here on stay stored until the next mark().
  void mark();
  // Moves the read position back to the mark; false (nothing changes) when there is no mark or
  // a write has overwritten it.
  bool rewind();
  // True when writing `n` more bytes (n <= free_space()) grows, and so moves, the storage.
  bool write_moves_storage(std::size_t n) const { return retained() + n > storage_size_ && storage_size_ < capacity_; }

  std::size_t buffered() const { return static_cast<std::size_t>(write_pos_ - read_pos_); }
  // Room for writing: up to the capacity past the mark, or past the read position once the
  // marked bytes fill the capacity.
  std::size_t free_space() const {
    const std::size_t kept = retained();
    return kept < capacity_ ? capacity_ - kept : capacity_ - buffered();
  }
  std::size_t capacity() const { return capacity_; }
  // Bytes of storage allocated so far.
  std::size_t storage_size() const { return storage_size_; }
  std::uint64_t read_pos() const { return read_pos_; }
  std::uint64_t write_pos() const { return write_pos_; }

 private:
  std::uint64_t retained_from() const { return mark_ ? *mark_ : read_pos_; }
  std::size_t retained() const { return static_cast<std::size_t>(write_pos_ - retained_from()); }
  std::size_t slot(std::uint64_t pos) const { return static_cast<std::size_t>(pos % storage_size_); }
  void grow(std::size_t needed);

  std::unique_ptr<std::uint8_t[]> storage_;
  std::size_t storage_size_;
  std::size_t capacity_;
  std::uint64_t read_pos_ = 0;
  std::uint64_t write_pos_ = 0;
  std::optional<std::uint64_t> mark_;
};

}  // namespace kelvane

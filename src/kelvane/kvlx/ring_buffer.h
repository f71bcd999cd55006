// Byte ring between a byte source and the frame parser, with a bounded capacity and storage
// that grows on demand.
//
// Bytes are addressed by their stream position; a position's slot is position % storage size.
// The storage starts small (kRingInitialStorage, or the capacity if smaller) and doubles, up
// to the capacity, when a write needs more room: a stream of small frames never touches more
// memory than it uses. Growing moves the stored bytes, so views returned by peek and
// peek_wrapped are valid only until the next write that grows the storage
// (write_moves_storage tells in advance).
#pragma once

#include <algorithm>
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
  // Room for up to `n` more bytes at the write position, for the caller to fill and commit():
  // at most free_space() bytes, fewer where the storage wraps. Grows the storage first if n
  // more bytes need it.
  std::span<std::uint8_t> prepare(std::size_t n);
  // Appends the first `n` bytes of the room prepare() returned (n at most its size).
  void commit(std::size_t n) { write_pos_ += n; }
  // The next `len` buffered bytes as one view into storage, or nothing when fewer are buffered
  // or the range wraps around the end of storage.
  std::optional<std::span<const std::uint8_t>> peek(std::size_t len) const;
  // The buffered bytes from the front up to the end of storage: all of them unless they wrap.
  std::span<const std::uint8_t> front() const {
    const std::size_t start = slot(read_pos_);
    return std::span<const std::uint8_t>(storage_.get() + start, std::min(buffered(), storage_size_ - start));
  }
  // Like peek, but a wrapping range is assembled in `scratch` (cleared, allocation kept).
  std::optional<std::span<const std::uint8_t>> peek_wrapped(std::size_t len, std::vector<std::uint8_t>& scratch) const;
  // Drops `n` bytes that the caller has peeked (n <= buffered()).
  void consume(std::size_t n);

  // True when writing `n` more bytes (n <= free_space()) grows, and so moves, the storage.
  bool write_moves_storage(std::size_t n) const { return buffered() + n > storage_size_ && storage_size_ < capacity_; }

  std::size_t buffered() const { return static_cast<std::size_t>(write_pos_ - read_pos_); }
  std::size_t free_space() const { return capacity_ - buffered(); }
  std::size_t capacity() const { return capacity_; }
  // Bytes of storage allocated so far.
  std::size_t storage_size() const { return storage_size_; }
  std::uint64_t read_pos() const { return read_pos_; }
  std::uint64_t write_pos() const { return write_pos_; }

 private:
  std::size_t slot(std::uint64_t pos) const { return static_cast<std::size_t>(pos % storage_size_); }
  void grow(std::size_t needed);

  std::unique_ptr<std::uint8_t[]> storage_;
  std::size_t storage_size_;
  std::size_t capacity_;
  std::uint64_t read_pos_ = 0;
  std::uint64_t write_pos_ = 0;
};

}  // namespace kelvane

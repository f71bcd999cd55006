// The KVLX stream reader: turns a byte source into validated frames, one per call.
//
// `KvlxStream<Source>` works over any byte source offering
//     Result<std::size_t> read(std::span<std::uint8_t> buf);
// which fills up to buf.size() bytes and returns how many it stored (0 = the source has ended,
// for now) or an Io error. The call may block; the reader never reads more than 4096 bytes at
// once. All format logic lives in the non-template `KvlxReaderCore`, which reaches the source
// through a `ByteReaderRef`.
//
// Frames come back as `SyndromeFrame` views: their byte sections point into the reader's ring
// buffer or scratch storage and stay valid until the next call of `next_frame`. The reader
// never resynchronises after an error; what the next call sees depends on how much the failing
// call consumed (header errors: nothing; FrameIdBackwards: the 36 header bytes; a trailer CRC
// error: everything but the trailer; validation errors: the whole frame; Io: nothing more).
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"
#include "kelvane/core/schema.h"
#include "kelvane/kvlx/parser.h"
#include "kelvane/kvlx/ring_buffer.h"

namespace kelvane {

inline constexpr std::size_t kDefaultBufferCapacity = 4 * 1024 * 1024;
// Largest single read from the byte source, and the initial size of the scratch lists.
inline constexpr std::size_t kReadChunkSize = 4096;

struct StreamConfig {
  // Schemas that frames are validated against; the file header names the schema to use.
  SchemaRegistry registry;
  // Capacity of the ring buffer in bytes (at least 1).
  std::size_t buffer_capacity = kDefaultBufferCapacity;
  // When set, no validation check runs.
  bool skip_validation = false;
};

template <typename S>
concept ByteSource = requires(S& source, std::span<std::uint8_t> buf) {
  { source.read(buf) } -> std::same_as<Result<std::size_t>>;
};

// A non-owning reference to a byte source's read operation.
class ByteReaderRef {
 public:
  template <ByteSource S>
  explicit ByteReaderRef(S& source)
      : ctx_(&source), fn_([](void* ctx, std::span<std::uint8_t> buf) { return static_cast<S*>(ctx)->read(buf); }) {}
  Result<std::size_t> read(std::span<std::uint8_t> buf) const { return fn_(ctx_, buf); }

 private:
  void* ctx_;
  Result<std::size_t> (*fn_)(void*, std::span<std::uint8_t>);
};

// The reader's state and logic, independent of the byte source type.
class KvlxReaderCore {
 public:
  explicit KvlxReaderCore(StreamConfig config);
  KvlxReaderCore(KvlxReaderCore&&) noexcept = default;
  KvlxReaderCore& operator=(KvlxReaderCore&&) noexcept = default;

  // Makes sure at least n bytes are buffered: true when they are, false when the source ended
  // first, Io on a read error (the ring is left unchanged), PayloadLengthMismatch when the ring
  // is full and cannot take the bytes that were read (declared = bytes read, found = accepted).
  Result<bool> fill_until(ByteReaderRef source, std::size_t n);

  // The next frame, nothing at the clean end of the stream, or the error that stopped it.
  Result<std::optional<SyndromeFrame>> next_frame(ByteReaderRef source);

  // Undoes the last next_frame call: the bytes it consumed go back into the ring and the reader
  // state it changed is restored, so that the next call reads the same frame again (for a call
  // abandoned because its source stopped waiting). False, changing nothing, when the ring no
  // longer holds those bytes (they filled its whole capacity).
  bool rewind();

  // Hands a frame returned earlier back so that its owned storage is reused by later frames.
  void recycle(SyndromeFrame&& frame);

  const StreamConfig& config() const { return config_; }
  const RingBuffer& ring() const { return ring_; }
  bool header_parsed() const { return header_parsed_; }
  const Uuid& schema_id() const { return schema_id_; }
  std::optional<std::uint64_t> last_frame_id() const { return last_frame_id_; }

 private:
  // One read of at most kReadChunkSize bytes into the ring (see fill_until).
  Result<bool> fill_once(ByteReaderRef source);
  // Peeks k buffered bytes (assembled in `scratch` if they wrap) and consumes them.
  std::span<const std::uint8_t> take(std::size_t k, std::vector<std::uint8_t>& scratch);
  // take() of payload bytes, which also extends payload_crc_ over them.
  std::span<const std::uint8_t> take_payload(std::size_t k, std::vector<std::uint8_t>& scratch);
  // Copies the byte sections of the frame being built out of the ring and scratch, so that
  // later reads into the ring cannot overwrite them.
  void detach_sections();
  Result<std::optional<SyndromeFrame>> read_frame(ByteReaderRef source);
  Status read_metadata(ByteReaderRef source, SyndromeFrame& frame);
  Status read_annotations(ByteReaderRef source, SyndromeFrame& frame);
  Status validate(const SyndromeFrame& frame) const;

  StreamConfig config_;
  RingBuffer ring_;
  // Assembly space for the file header, frame header and fixed sections when they wrap.
  std::vector<std::uint8_t> scratch_;
  // Assembly space for metadata, annotations and the trailer, kept apart from `scratch_` so
  // that a wrapped fixed section assembled there stays intact while the frame is completed.
  std::vector<std::uint8_t> tail_scratch_;
  // Owned copy of the current frame's sections once detach_sections has run.
  std::vector<std::uint8_t> detached_;
  std::vector<std::uint16_t> spare_timing_;
  std::array<std::uint8_t, kReadChunkSize> chunk_{};
  std::array<std::uint8_t, kFrameHeaderSize> raw_header_{};

  // CRC-32 of the current frame's payload bytes taken so far, without the payload CRC entry's
  // value, and that value once read.
  std::uint32_t payload_crc_ = 0;
  std::optional<std::uint32_t> stored_payload_crc_;

  // The state that next_frame changes besides the ring, as it was when the last call began.
  struct FrameStart {
    bool header_parsed = false;
    Uuid schema_id{};
    std::optional<std::uint64_t> last_frame_id;
  };
  FrameStart before_frame_;

  bool header_parsed_ = false;
  Uuid schema_id_{};
  std::optional<std::uint64_t> last_frame_id_;

  // While a frame's sections are views into the ring: the frame and the stream position of its
  // first section byte. Writes that would reach that position + capacity detach the sections.
  SyndromeFrame* building_ = nullptr;
  std::uint64_t sections_begin_ = 0;
};

template <ByteSource Source>
class KvlxStream {
 public:
  // Reads nothing yet.
  KvlxStream(Source reader, StreamConfig config) : reader_(std::move(reader)), core_(std::move(config)) {}

  Result<bool> fill_until(std::size_t n) { return core_.fill_until(ByteReaderRef(reader_), n); }
  Result<std::optional<SyndromeFrame>> next_frame() { return core_.next_frame(ByteReaderRef(reader_)); }
  void recycle(SyndromeFrame&& frame) { core_.recycle(std::move(frame)); }
  bool rewind() { return core_.rewind(); }

  Source& reader() { return reader_; }
  const KvlxReaderCore& core() const { return core_; }

 private:
  Source reader_;
  KvlxReaderCore core_;
};

}  // namespace kelvane

// The KVLX stream reader: turns a byte source into validated frames, one per call.
//
// `KvlxStream<Source>` works over any byte source offering
//     Result<std::size_t> read(std::span<std::uint8_t> buf);
// which fills up to buf.size() bytes and returns how many it stored (0 = the source has ended,
// for now) or an Io error. The call may block; the reader never reads more than 4096 bytes at
// once. A source whose end can be final (a closed connection) also offers
//     bool finished() const;
// All format logic lives in the non-template `KvlxReaderCore`, which reaches the source through
// a `ByteReaderRef`.
//
// Frames come back as `SyndromeFrame` views: their byte sections point into the reader's ring
// buffer or its carry buffer and stay valid until the next call of `next_frame`.
//
// A frame is consumed only once it is complete. After an error:
// - the end of the data inside a frame (PayloadLengthMismatch) consumes nothing: the next call
//   reads the frame whole once the rest has arrived (a file that grows). Until then the error is
//   reported once per frame and later calls return nothing. A partial frame header at the end
//   is no error. When the source's end is final, the cut frame is reported once and dropped.
// - frame-level corruption (header CRC, trailer, payload CRC, frame id going backwards, an event
//   encoding longer than the ancilla count, a frame too large, or a cut frame followed by a
//   frame header whose CRC verifies) makes the next call resynchronise: it scans forward from
//   the byte after the bad frame's start to the next frame header whose CRC verifies, counting
//   the bytes it drops in skipped_bytes().
// - validation errors (timing, schema, parity) consume the whole frame; reading goes on.
// - file-header errors consume nothing and repeat; Io errors lose no byte.
// An error about one frame (all but file-header and Io errors) carries the stream offset of the
// frame's first byte, and the frame's id when its header's CRC verified (KelvaneError::offset,
// KelvaneError::frame_id).
// A frame returned without its trailer because the data ended there has that trailer skipped
// when it arrives later.
//
// The reader keeps the description the stream gives of itself (description.h) from the frames it
// reads, whichever path reads them: the last whole description a frame carried, for as long as
// the hash on round-0 frames names it. A round-0 frame whose hash names another drops it, and
// pieces that do not make a description drop it with a fault text (description_fault()).
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "kelvane/core/error.h"
#include "kelvane/core/frame.h"
#include "kelvane/core/schema.h"
#include "kelvane/kvlx/description.h"
#include "kelvane/kvlx/frame_columns.h"
#include "kelvane/kvlx/frame_view.h"
#include "kelvane/kvlx/parser.h"
#include "kelvane/kvlx/ring_buffer.h"

namespace kelvane {

inline constexpr std::size_t kDefaultBufferCapacity = 4 * 1024 * 1024;
// Largest single read from the byte source, and the initial size of the scratch lists.
inline constexpr std::size_t kReadChunkSize = 4096;
inline constexpr std::size_t kDefaultMaxFrameSize = 16 * 1024 * 1024;

struct StreamConfig {
  // Schemas that frames are validated against; the file header names the schema to use.
  SchemaRegistry registry;
  // Capacity of the ring buffer in bytes (at least 1).
  std::size_t buffer_capacity = kDefaultBufferCapacity;
  // When set, no validation check runs.
  bool skip_validation = false;
  // Largest frame accepted (at least buffer_capacity); a frame declaring more is corrupt.
  std::size_t max_frame_size = kDefaultMaxFrameSize;
};

template <typename S>
concept ByteSource = requires(S& source, std::span<std::uint8_t> buf) {
  { source.read(buf) } -> std::same_as<Result<std::size_t>>;
};

template <typename S>
concept FinalEndSource = requires(const S& source) {
  { source.finished() } -> std::convertible_to<bool>;
};

// A non-owning reference to a byte source's read operation (and its finished() if it has one).
class ByteReaderRef {
 public:
  template <ByteSource S>
  explicit ByteReaderRef(S& source)
      : ctx_(&source), fn_([](void* ctx, std::span<std::uint8_t> buf) { return static_cast<S*>(ctx)->read(buf); }) {
    if constexpr (FinalEndSource<S>) {
      finished_fn_ = [](const void* ctx) { return static_cast<bool>(static_cast<const S*>(ctx)->finished()); };
    }
  }
  Result<std::size_t> read(std::span<std::uint8_t> buf) const { return fn_(ctx_, buf); }
  // True once the source's end is final; sources without finished() never say so.
  bool finished() const { return finished_fn_ && finished_fn_(ctx_); }

 private:
  void* ctx_;
  Result<std::size_t> (*fn_)(void*, std::span<std::uint8_t>);
  bool (*finished_fn_)(const void*) = nullptr;
};

struct FrameSections;  // frame_walk.h
struct WalkStop;       // frame_walk.h

// Why KvlxReaderCore::read_buffered_frames stopped.
enum class BulkStop : std::uint8_t {
  kFull,               // the batch holds max_frames
  kOtherAncillaCount,  // the next frame has another ancilla count than the batch
  kGeneral,            // the next frame needs next_frame
};

// How parse_block bounds a block of frames.
struct BlockLimits {
  std::size_t max_frames = static_cast<std::size_t>(-1);
  // When set, the block ends before a frame whose header names another ancilla count.
  std::optional<std::uint16_t> ancilla_count;
  // When set, the block's first frame sets ancilla_count (if not given) for the frames after it.
  bool one_ancilla_count = false;
};

// Why parse_block returned.
enum class BlockEnd : std::uint8_t {
  kLimit,         // max_frames frames were handed out, or the sink asked to stop
  kAncillaCount,  // the next frame's header names another ancilla count, or cannot be read yet
                  // (the data end inside it, or damage comes first): only with an ancilla count
  kNoData,        // the source has no more whole frame for now (or its end is final)
};

// The reader's state and logic, independent of the byte source type.
class KvlxReaderCore {
 public:
  explicit KvlxReaderCore(StreamConfig config);
  KvlxReaderCore(KvlxReaderCore&&) noexcept = default;
  KvlxReaderCore& operator=(KvlxReaderCore&&) noexcept = default;

  // The next frame, nothing at the end of the data (for now), or the error that stopped it.
  Result<std::optional<SyndromeFrame>> next_frame(ByteReaderRef source);

  // Appends frames to `out` until it holds max_frames, straight from the buffered bytes: no
  // frame record is built and no diagnostics span opened, but every frame passes every check
  // that next_frame makes and is consumed as next_frame would consume it. Stops before a frame
  // whose header names another ancilla count than the batch's first frame (before any check
  // of it), and before any frame that next_frame would handle otherwise (damage, a failed
  // check, a frame across the end of the buffer's storage, the end of the data) or while a
  // diagnostics sink listens: next_frame then reads that frame as usual. Reads from the source,
  // as next_frame would, while the next frame is not all buffered; a read's error is returned.
  Result<BulkStop> read_buffered_frames(ByteReaderRef source, std::size_t max_frames, FrameBatch& out);

  // The block parser: hands every frame to `sink` as a FrameView, in order, until `limits` end
  // the block, the sink returns false (after that frame), the source has no more whole frame
  // (a read returned 0), or an error. The frames and errors are exactly next_frame's, in the same
  // order and with the same consumption, resynchronisation and description taken; a frame
  // handed out is consumed before the sink sees it. Whole frames already buffered are parsed in
  // place with no per-frame allocation (no frame record, no diagnostics span); the rest (a frame
  // across the end of the ring's storage, damage, a failed check, a frame carrying description
  // pieces, or while a diagnostics sink listens) go through next_frame, whose SyndromeFrame is
  // viewed and its storage recycled. Reads from the source only while the next frame is not
  // buffered whole, as next_frame does, so a source whose read() returns 0 when it has nothing
  // waiting makes this "parse whatever has arrived"; a read that blocks blocks here. An error
  // ends the block after the frames before it were handed out; the next call goes on as
  // next_frame would after that error. The sink must not call back into the reader.
  Result<BlockEnd> parse_block(ByteReaderRef source, const BlockLimits& limits, FrameSinkRef sink);

  // The ancilla count in the header of the frame the next call will read, without consuming
  // anything and without checking the header's CRC; nothing when no whole header is buffered or
  // the next call has something else to do first (read the file header, resynchronise, skip a
  // late trailer).
  Result<std::optional<std::uint16_t>> peek_ancilla_count(ByteReaderRef source);

  // Hands a frame returned earlier back so that its owned storage is reused by later frames.
  void recycle(SyndromeFrame&& frame);

  // Reads ahead until the next frame is buffered whole, consuming nothing but the file header,
  // and takes the description that frame carries as reading it will: for a caller that needs
  // the description before the first frame, to choose how to decode it. Does nothing more when
  // the next frame is damaged or the data end first (reading it reports that) or while the next
  // call has something else to do first (resynchronise, skip a late trailer). Returns a read's
  // error.
  Status peek_description(ByteReaderRef source);
  // The ancilla count of the frame the last peek_description found buffered whole and passing
  // the checks of its sections, or nothing: the width a caller may choose its decoding by.
  std::optional<std::uint16_t> peeked_ancilla_count() const { return peeked_ancillas_; }

  // The description the stream carries, as far as read (see the header comment); null for none.
  const std::shared_ptr<const StreamDescription>& description() const { return description_; }
  // Why the last description pieces read made no description, or nothing.
  const std::optional<std::string>& description_fault() const { return description_fault_; }

  const StreamConfig& config() const { return config_; }
  const RingBuffer& ring() const { return ring_; }
  bool header_parsed() const { return header_parsed_; }
  const Uuid& schema_id() const { return schema_id_; }
  std::optional<std::uint64_t> last_frame_id() const { return last_frame_id_; }
  // Bytes dropped without being delivered: corrupt stretches passed over by resynchronisation
  // and what a final end cut short.
  std::uint64_t skipped_bytes() const { return skipped_bytes_; }
  // Stream offset of the next unconsumed byte.
  std::uint64_t position() const { return position_; }

 private:
  // Bytes buffered and not consumed, in the carry buffer and the ring.
  std::size_t available() const { return carry_.size() - carry_pos_ + ring_.buffered(); }
  // The next k unconsumed bytes as one view, reading from the source as needed: nothing when
  // the source ends first. Valid until the next view() or consume().
  Result<std::optional<std::span<const std::uint8_t>>> view(ByteReaderRef source, std::size_t k);
  void consume(std::size_t k);
  void drop(std::size_t k);  // consume, counted in skipped_bytes_
  // One read of at most kReadChunkSize bytes into the ring: false when the source has ended.
  Result<bool> fill_once(ByteReaderRef source);
  // Moves the next m ring bytes to the end of the carry buffer.
  void move_to_carry(std::size_t m);
  // Offset of the first frame header whose CRC verifies among the buffered bytes, starting at
  // `from`, without reading; nothing if there is none.
  std::optional<std::size_t> find_header(ByteReaderRef source, std::size_t from);

  Result<std::optional<SyndromeFrame>> read_frame(ByteReaderRef source);
  // Walks frame h's sections into `at`, reading from the source as far as they need; a failed
  // read ends the walk and is left in `read_error`.
  WalkStop walk_sections(ByteReaderRef source, const FrameHeader& h, FrameSections& at,
                         std::optional<KelvaneError>& read_error);
  // Reads and checks the file header: false when the data end before it.
  Result<bool> read_file_header(ByteReaderRef source);
  // Takes the description pieces or the description hash of a whole frame (`bytes` from its
  // header on, walked into `at`).
  void take_description(std::span<const std::uint8_t> bytes, const FrameHeader& h, const FrameSections& at);
  // A block being parsed: its bounds, how far it got, and where its frames go.
  struct Block {
    std::size_t max_frames;
    std::optional<std::uint16_t> width;  // the ancilla count every frame must have
    bool fix_width;                      // the first frame sets `width`
    FrameSinkRef sink;
    std::size_t taken = 0;
    bool stopped = false;  // the sink asked to stop
  };
  // Hands the whole buffered frames that need no next_frame to the block's sink, in place
  // (read_buffered_frames's contract, with kFull also when the sink stops).
  Result<BulkStop> take_buffered_frames(ByteReaderRef source, Block& block);
  // Hands a frame the block's sink: counts it and sets the block's width from it.
  void deliver(Block& block, const FrameView& view);
  enum class Scan : std::uint8_t { kTaken, kOtherAncillaCount, kIncomplete, kGeneral };
  // One frame of take_buffered_frames from `bytes`, the front of the ring: consumed and handed
  // to the sink when kTaken; kIncomplete when the frame runs past the end of `bytes`. Takes
  // `bytes` past the frame it consumes. Its walk and checks are read_frame's (frame_walk.h and
  // validate()).
  Scan take_buffered_frame(std::span<const std::uint8_t>& bytes, Block& block);
  // Scans to the next verifying frame header: true when there, false when the data ran out.
  Result<bool> resync(ByteReaderRef source);
  // Handles a trailer expected after a frame returned without one: true to go on reading,
  // false for the end of the data.
  Result<bool> skip_late_trailer(ByteReaderRef source);
  // The end of the data inside the frame at the front (see the header comment).
  Result<std::optional<SyndromeFrame>> cut_short(ByteReaderRef source, std::size_t declared, std::size_t found);
  // Frame-level corruption of the frame at the front: the next call resynchronises.
  std::unexpected<KelvaneError> corrupt(KelvaneError e);
  Status validate(const SyndromeFrame& frame) const;
  // Whether validate() has anything to check in a frame with header `h`: its timing offsets, or
  // the stream's schema to check it against.
  bool validates(const FrameHeader& h) const {
    return !config_.skip_validation && ((h.flags & kFlagTiming) || schema_);
  }
  // False for a frame id at or before the last frame's (FrameIdBackwards).
  bool goes_forward(const FrameHeader& h) const { return !last_frame_id_ || h.frame_id > *last_frame_id_; }

  StreamConfig config_;
  RingBuffer ring_;
  // Bytes taken out of the ring so that a range that wraps around it, or does not fit it, can
  // be viewed whole; they come before the ring's bytes. Empty most of the time.
  std::vector<std::uint8_t> carry_;
  std::size_t carry_pos_ = 0;
  std::vector<std::uint8_t> scratch_;
  std::vector<std::uint16_t> spare_timing_;
  // The views of the frame read_buffered_frames is checking, for validate().
  SyndromeFrame checked_;

  bool header_parsed_ = false;
  Uuid schema_id_{};
  // The registry's schema for schema_id_, looked up when the file header is read; null if none.
  const HardwareSchema* schema_ = nullptr;
  std::optional<std::uint64_t> last_frame_id_;
  std::uint64_t position_ = 0;
  std::uint64_t skipped_bytes_ = 0;
  // Set by corruption: where the next call starts scanning (1 = past the bad frame's start).
  std::optional<std::size_t> resync_from_;
  // The trailer owed by the last frame, returned without it at the end of the data.
  std::optional<std::array<std::uint8_t, kTrailerSize>> late_trailer_;
  // Position of the frame whose cut was last reported, so that it is reported once.
  std::optional<std::uint64_t> cut_reported_at_;
  std::shared_ptr<const StreamDescription> description_;
  std::optional<std::string> description_fault_;
  std::optional<std::uint16_t> peeked_ancillas_;
};

template <ByteSource Source>
class KvlxStream {
 public:
  // Reads nothing yet.
  KvlxStream(Source reader, StreamConfig config) : reader_(std::move(reader)), core_(std::move(config)) {}

  Result<std::optional<SyndromeFrame>> next_frame() { return core_.next_frame(ByteReaderRef(reader_)); }
  void recycle(SyndromeFrame&& frame) { core_.recycle(std::move(frame)); }
  Result<std::optional<std::uint16_t>> peek_ancilla_count() { return core_.peek_ancilla_count(ByteReaderRef(reader_)); }
  Status peek_description() { return core_.peek_description(ByteReaderRef(reader_)); }
  Result<BulkStop> read_buffered_frames(std::size_t max_frames, FrameBatch& out) {
    return core_.read_buffered_frames(ByteReaderRef(reader_), max_frames, out);
  }
  Result<BlockEnd> parse_block(const BlockLimits& limits, FrameSinkRef sink) {
    return core_.parse_block(ByteReaderRef(reader_), limits, sink);
  }

  Source& reader() { return reader_; }
  const Source& reader() const { return reader_; }
  const KvlxReaderCore& core() const { return core_; }

 private:
  Source reader_;
  KvlxReaderCore core_;
};

}  // namespace kelvane

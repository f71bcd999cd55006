// Frame records: a frame as the reader hands it out (views into the reader's buffers) and the
// self-contained `OwnedFrame` that outlives the reader's next call.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kelvane/core/observable_bits.h"

namespace kelvane {

// Flag bits of FrameHeader::flags.
inline constexpr std::uint16_t kFlagTiming = 0x0001;
inline constexpr std::uint16_t kFlagAncillaBits = 0x0002;
inline constexpr std::uint16_t kFlagMetadata = 0x0004;
inline constexpr std::uint16_t kFlagAnnotations = 0x0008;
// The metadata block holds a payload CRC entry (kMetaKeyPayloadCrc) that the reader verifies.
// Meaningful only with kFlagMetadata: without a metadata block the bit is ignored, as bits
// 5-15 are (readers before the payload CRC ignored every bit from 4 up).
inline constexpr std::uint16_t kFlagPayloadCrc = 0x0010;

// Whether a frame's payload CRC is to be verified.
constexpr bool checks_payload_crc(std::uint16_t flags) {
  return (flags & (kFlagPayloadCrc | kFlagMetadata)) == (kFlagPayloadCrc | kFlagMetadata);
}

// Observables 64 and up of a model of more than 64 (wire key 17): the model's observable count
// (65 to 256) and the flips, in words 1 to 3 of `bits` (word 0, observables 0 to 63, is key 16's
// and stays 0 here).
struct HighObservableFlips {
  std::uint16_t count = 0;
  ObservableBits bits;
  bool operator==(const HighObservableFlips&) const = default;
};

struct FrameMetadata {
  std::optional<std::uint64_t> observable_flips;  // wire key 16
  std::optional<HighObservableFlips> high_observable_flips;  // wire key 17
  std::optional<std::string> metadata_text;       // wire key 1 (valid UTF-8 only)
  std::optional<std::uint32_t> metadata_word_a;   // wire key 2
  std::optional<std::uint32_t> metadata_word_b;   // wire key 3
  std::optional<std::uint8_t> metadata_byte;      // wire key 4
  std::optional<std::uint64_t> description_hash;  // wire key 66 (8 bytes, little-endian)
  bool operator==(const FrameMetadata&) const = default;
};

struct Annotation {
  std::uint64_t value = 0;
  std::uint8_t kind = 0;
  std::uint8_t aux = 0;
  bool operator==(const Annotation&) const = default;
};

// The decoded 36-byte frame header.
struct FrameHeader {
  std::uint64_t frame_id = 0;
  std::uint32_t round = 0;
  std::uint64_t timestamp_ns = 0;
  std::uint16_t qubit_count = 0;
  std::uint16_t ancilla_count = 0;
  std::uint32_t header_word = 0;
  std::uint8_t code_type = 0;  // raw code byte; every value is accepted
  std::uint8_t distance = 0;
  std::uint16_t flags = 0;
  std::uint32_t header_crc = 0;
  bool operator==(const FrameHeader&) const = default;
};

// One frame in wire form. The byte sections are views valid only until the reader's next call.
struct SyndromeFrame {
  FrameHeader header;
  std::span<const std::uint8_t> detector_events_rle;
  std::span<const std::int8_t> meas_results;
  std::vector<std::uint16_t> timing_offsets;  // decoded from little-endian; empty without flag bit 0
  std::span<const std::uint8_t> ancilla_bits;
  std::optional<FrameMetadata> metadata;
  std::optional<std::vector<Annotation>> annotations;
};

// What stream decoding made of a frame's observable flips.
enum class FramePrediction : std::uint8_t {
  kNone,              // no decoder: observable_flips are the flips the frame arrived with
  kDecoded,           // observable_flips is the decoder's prediction
  kAwaitingShotEnd,   // per-shot decoding: only the last frame of a shot carries the prediction
  kShotIncomplete,    // per-shot decoding: the frame's shot was cut short and not decoded
  kAwaitingCommit,    // windowed decoding: only frames that close a commit step carry flips
};

// The self-contained frame record handed to Python.
struct OwnedFrame {
  std::uint64_t frame_id = 0;
  std::uint32_t round = 0;
  std::uint64_t timestamp_ns = 0;
  std::uint16_t qubit_count = 0;
  std::uint16_t ancilla_count = 0;
  std::uint32_t detector_event_count = 0;
  std::uint8_t code_type = 0;
  std::uint8_t distance = 0;
  std::vector<std::uint8_t> detector_events;  // exactly ancilla_count entries, each 0 or 1
  std::vector<std::int8_t> meas_results;
  std::optional<std::uint64_t> observable_flips;         // the prediction once decoded
  std::optional<std::uint64_t> source_observable_flips;  // as the frame arrived, whatever decodes it
  // Observables 64 and up as the frame arrived (wire key 17), when it carried them.
  std::optional<HighObservableFlips> source_high_observable_flips;
  // Set by stream decoding on the frame that carries a prediction: the model's observable count,
  // and, when it is more than 64, every observable of the prediction (observable_flips holds the
  // first 64).
  std::optional<std::uint16_t> model_observables;
  ObservableBits observable_bits;
  // The hash of the stream's description that the frame carries (round-0 frames of a stream
  // that describes itself), loaded little-endian: the layout's CRC-32 is the low half.
  std::optional<std::uint64_t> description_hash;
  FramePrediction prediction = FramePrediction::kNone;
  // Set by per-shot decoding on the frame at which a shot was found cut short (it starts a new
  // shot early, or follows dropped frames) and on the later frames of a shot found incomplete.
  bool shot_incomplete = false;
  // Set by endless windowed decoding on a frame carrying a commit whose window held a round that
  // never arrived (decoded as quiet).
  bool window_incomplete = false;
};

}  // namespace kelvane

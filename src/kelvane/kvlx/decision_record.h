// Decision records: what a stream decoded in windows committed, for a controller to act on
// (docs/kvlx-format.md, "Decision records"). A decision stream is a 16-byte header and then one
// 32-byte record per commit step, all little-endian; the record ends with the CRC-32 of its
// first 28 bytes. kelvane.decisions writes and reads the same bytes from Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kelvane {

inline constexpr std::uint32_t kDecisionMagic = 0x444C564B;  // the bytes "KVLD"
inline constexpr std::uint16_t kDecisionVersion = 1;
inline constexpr std::size_t kDecisionHeaderSize = 16;
inline constexpr std::size_t kDecisionRecordSize = 32;
// Record flag: the commit's window held rounds that never arrived (decoded as quiet).
inline constexpr std::uint16_t kDecisionWindowIncomplete = 0x0001;
// Record flag: a block of detector flips follows the record.
inline constexpr std::uint16_t kDecisionHasDetectorFlips = 0x0002;
// Header flag: records may carry detector flips.
inline constexpr std::uint16_t kDecisionStreamDetectorFlips = 0x0001;

struct DecisionRecord {
  std::uint64_t frame_id = 0;  // the frame that closed the commit step
  std::uint32_t round = 0;     // its round
  std::uint16_t flags = 0;
  std::uint64_t committed_flips = 0;  // observable flips committed so far
};

// A detector the correction flipped: the round of the frame that carries it and its ancilla.
struct DetectorFlip {
  std::uint32_t round = 0;
  std::uint32_t ancilla = 0;
};

void encode_decision_header(std::uint32_t observable_count, std::uint16_t flags,
                            std::span<std::uint8_t, kDecisionHeaderSize> out);
void encode_decision_record(const DecisionRecord& record, std::span<std::uint8_t, kDecisionRecordSize> out);
// Appends the block that follows a record flagged kDecisionHasDetectorFlips: a u32 count, then
// (u32 round, u32 ancilla) per flip, then the CRC-32 of the count and the flips.
void append_detector_flips(std::span<const DetectorFlip> flips, std::vector<std::uint8_t>& out);
// Appends one commit step as the stream holds it: the record, flagged kDecisionHasDetectorFlips
// and followed by the flips' block when `flips` is not empty (the flag is set here, whatever
// record.flags holds).
void append_decision(DecisionRecord record, std::span<const DetectorFlip> flips, std::vector<std::uint8_t>& out);

}  // namespace kelvane

#include "kelvane/kvlx/decision_record.h"

#include <algorithm>

#include "kelvane/kvlx/crc32.h"
#include "kelvane/kvlx/le_bytes.h"

namespace kelvane {

void encode_decision_header(std::uint32_t observable_count, std::uint16_t flags,
                            std::span<std::uint8_t, kDecisionHeaderSize> out) {
  std::ranges::fill(out, std::uint8_t{0});
  store_le<std::uint32_t>(out.data(), kDecisionMagic);
  store_le<std::uint16_t>(out.data() + 4, kDecisionVersion);
  store_le<std::uint16_t>(out.data() + 6, flags);
  store_le<std::uint32_t>(out.data() + 8, observable_count);
}

void encode_decision_record(const DecisionRecord& record, std::span<std::uint8_t, kDecisionRecordSize> out) {
  std::ranges::fill(out, std::uint8_t{0});
  std::uint8_t* p = out.data();
  store_le<std::uint64_t>(p, record.frame_id);
  store_le<std::uint32_t>(p + 8, record.round);
  store_le<std::uint16_t>(p + 12, record.flags);
  store_le<std::uint64_t>(p + 16, record.committed_flips);
  store_le<std::uint32_t>(p + 28, crc32_update(0, out.first<28>()));
}

void append_detector_flips(std::span<const DetectorFlip> flips, std::vector<std::uint8_t>& out) {
  const std::size_t begin = out.size();
  append_le<std::uint32_t>(out, static_cast<std::uint32_t>(flips.size()));
  for (const DetectorFlip& f : flips) {
    append_le<std::uint32_t>(out, f.round);
    append_le<std::uint32_t>(out, f.ancilla);
  }
  append_le<std::uint32_t>(out, crc32_update(0, std::span<const std::uint8_t>(out).subspan(begin)));
}

void append_decision(DecisionRecord record, std::span<const DetectorFlip> flips, std::vector<std::uint8_t>& out) {
  record.flags = static_cast<std::uint16_t>(flips.empty() ? record.flags & ~kDecisionHasDetectorFlips
                                                          : record.flags | kDecisionHasDetectorFlips);
  out.resize(out.size() + kDecisionRecordSize);
  encode_decision_record(record, std::span<std::uint8_t, kDecisionRecordSize>(out.end() - kDecisionRecordSize,
                                                                              kDecisionRecordSize));
  if (!flips.empty()) append_detector_flips(flips, out);
}

}  // namespace kelvane

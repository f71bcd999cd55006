// libFuzzer target: the KVLX stream reader over arbitrary bytes.
//
// Input: one options byte, then the stream bytes. The stream is read twice in a log-and-continue
// loop (errors are recorded and reading goes on): once in 4096-byte reads with the default ring,
// once with a small ring and reads of pseudo-random sizes. Both must give the same frames and
// errors, and both loops must end (a file-header error, which repeats by design, ends them too).
// A third read, in chopped reads, takes what frames it can in bulk as read_batch does (the rest
// frame by frame): the fields a batch keeps, and the errors, must be the first read's. The second
// read peeks at the next frame's description before every other call, which must consume
// nothing; every read must end holding the same description (or fault). A fourth read, in
// chopped reads with the small ring, parses blocks of 1 to 5 frames (parse_block) and must give
// the first read's frames (their batch fields and metadata) and errors.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "kelvane/core/rle.h"
#include "kelvane/kvlx/stream.h"

namespace {

using kelvane::KelvaneError;
using kelvane::Result;

struct MemorySource {
  std::span<const std::uint8_t> bytes;
  std::size_t pos = 0;
  std::mt19937 sizes;  // read sizes; a default-seeded one is never used with `whole`
  bool whole = true;
  bool final_end = false;

  bool finished() const { return final_end && pos == bytes.size(); }
  Result<std::size_t> read(std::span<std::uint8_t> buf) {
    std::size_t n = std::min(buf.size(), bytes.size() - pos);
    if (!whole && n > 1) n = 1 + sizes() % n;
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(pos), n, buf.begin());
    pos += n;
    return n;
  }
};

// A frame or an error, as text, so that two reads can be compared.
std::string describe(const kelvane::SyndromeFrame& f) {
  std::string out = "frame " + std::to_string(f.header.frame_id) + " " + std::to_string(f.header.flags) + " [";
  out.append(f.detector_events_rle.begin(), f.detector_events_rle.end());
  out += "][";
  out.append(f.meas_results.begin(), f.meas_results.end());
  out += "][";
  for (std::uint16_t t : f.timing_offsets) out += std::to_string(t) + ",";
  out += "][";
  out.append(f.ancilla_bits.begin(), f.ancilla_bits.end());
  out += "]";
  if (f.metadata) {
    out += " flips " + std::to_string(f.metadata->observable_flips.value_or(0)) + " text " +
           f.metadata->metadata_text.value_or("-") + " a " + std::to_string(f.metadata->metadata_word_a.value_or(0)) +
           " b " + std::to_string(f.metadata->metadata_word_b.value_or(0)) + " byte " +
           std::to_string(f.metadata->metadata_byte.value_or(0));
  }
  if (f.annotations) {
    for (const kelvane::Annotation& a : *f.annotations) out += " @" + std::to_string(a.value);
  }
  return out;
}

// The fields of a frame that a frame batch keeps, as text.
std::string brief(std::uint64_t id, std::uint64_t time, std::span<const std::uint8_t> events,
                  std::optional<std::uint64_t> flips) {
  std::string out = std::to_string(id) + " " + std::to_string(time) + " [";
  for (std::uint8_t e : events) out += static_cast<char>('0' + e);
  return out + "] " + (flips ? std::to_string(*flips) : "-");
}

std::string brief(const kelvane::SyndromeFrame& f) {
  return brief(f.header.frame_id, f.header.timestamp_ns,
               kelvane::decode_rle_events(f.detector_events_rle, f.header.ancilla_count),
               f.metadata ? f.metadata->observable_flips : std::nullopt);
}

// kBulk: read_buffered_frames first, briefly; kBlock: parse_block only, briefly.
enum class Mode { kDescribe, kBrief, kBulk, kBlock };

std::string brief_metadata(const std::optional<kelvane::FrameMetadata>& m) {
  if (!m) return " no metadata";
  std::string out = " text " + m->metadata_text.value_or("-") + " hash " + std::to_string(m->description_hash.value_or(0));
  if (m->high_observable_flips) out += " high " + std::to_string(m->high_observable_flips->count);
  return out;
}

std::vector<std::string> read_all(MemorySource source, std::size_t ring, std::uint64_t& skipped,
                                  Mode mode = Mode::kDescribe, bool peek = false, bool with_metadata = false) {
  kelvane::StreamConfig config;
  if (ring) config.buffer_capacity = ring;
  kelvane::KvlxStream<MemorySource> stream(std::move(source), std::move(config));
  std::vector<std::string> seen;
  // Every call that returns something consumes at least one byte or ends the loop; the bound
  // turns a reader that stops making progress into a crash.
  const std::size_t max_calls = 2 * stream.reader().bytes.size() + 8;
  for (std::size_t call = 0;; ++call) {
    if (call > max_calls) std::abort();
    if (peek && call % 2 == 0 && !stream.peek_description()) std::abort();
    if (mode == Mode::kBlock) {
      auto sink = [&](const kelvane::FrameView& v) {
        std::vector<std::uint8_t> events(v.ancilla_count());
        v.events_to_bytes(events);
        seen.push_back(brief(v.header.frame_id, v.header.timestamp_ns, events, v.observable_flips) +
                       brief_metadata(v.metadata()));
        return true;
      };
      kelvane::BlockLimits limits;
      limits.max_frames = 1 + call % 5;
      limits.one_ancilla_count = call % 2;
      Result<kelvane::BlockEnd> end = stream.parse_block(limits, kelvane::FrameSinkRef(sink));
      if (!end) {
        seen.push_back("error " + end.error().to_string());
        if (end.error().is<kelvane::errors::InvalidMagic>() || end.error().is<kelvane::errors::UnsupportedVersion>()) break;
        continue;
      }
      if (*end == kelvane::BlockEnd::kNoData) break;
      continue;
    }
    if (mode == Mode::kBulk) {
      kelvane::FrameBatch batch;
      Result<kelvane::BulkStop> stop = stream.read_buffered_frames(1 + call % 5, batch);
      if (!stop) std::abort();  // reading from memory never fails
      for (std::size_t i = 0; i < batch.size(); ++i) {
        seen.push_back(brief(batch.frame_ids[i], batch.timestamps_ns[i],
                             std::span(batch.detector_events).subspan(i * batch.ancilla_count, batch.ancilla_count),
                             batch.has_observable_flips[i] ? std::optional(batch.observable_flips[i]) : std::nullopt));
      }
      if (*stop != kelvane::BulkStop::kGeneral) continue;
    }
    Result<std::optional<kelvane::SyndromeFrame>> f = stream.next_frame();
    if (!f) {
      seen.push_back("error " + f.error().to_string());
      if (f.error().is<kelvane::errors::InvalidMagic>() || f.error().is<kelvane::errors::UnsupportedVersion>()) break;
      continue;
    }
    if (!*f) break;
    seen.push_back(mode == Mode::kDescribe ? describe(**f)
                   : mode == Mode::kBrief && with_metadata ? brief(**f) + brief_metadata((*f)->metadata)
                                                           : brief(**f));
    stream.recycle(std::move(**f));
  }
  skipped = stream.core().skipped_bytes();
  const auto& held = stream.core().description();
  seen.push_back("description " + (held ? std::to_string(held->hash) : std::string("-")) + " " +
                 stream.core().description_fault().value_or("-"));
  return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t options = data[0];
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);
  const bool final_end = options & 0x80;
  const std::size_t small_ring = 1 + (options & 0x7F) * 3;  // 1 .. 382 bytes

  MemorySource plain;
  plain.bytes = bytes;
  plain.final_end = final_end;
  MemorySource chopped;
  chopped.bytes = bytes;
  chopped.final_end = final_end;
  chopped.whole = false;
  chopped.sizes.seed(static_cast<std::uint32_t>(size * 2654435761u + options));

  std::uint64_t skipped_plain = 0;
  std::uint64_t skipped_chopped = 0;
  const std::vector<std::string> a = read_all(plain, 0, skipped_plain);
  const std::vector<std::string> b = read_all(chopped, small_ring, skipped_chopped, Mode::kDescribe, true);
  if (a != b || skipped_plain != skipped_chopped) std::abort();
  std::uint64_t skipped_bulk = 0;
  if (read_all(chopped, 0, skipped_bulk, Mode::kBulk) != read_all(plain, 0, skipped_plain, Mode::kBrief)) std::abort();
  if (skipped_bulk != skipped_plain) std::abort();
  std::uint64_t skipped_block = 0;
  if (read_all(chopped, small_ring, skipped_block, Mode::kBlock) !=
      read_all(plain, 0, skipped_plain, Mode::kBrief, false, true)) {
    std::abort();
  }
  if (skipped_block != skipped_plain) std::abort();
  return 0;
}

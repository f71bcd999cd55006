// libFuzzer target: the KVLX stream reader over arbitrary bytes.
//
// Input: one options byte, then the stream bytes. The stream is read twice in a log-and-continue
// loop (errors are recorded and reading goes on): once in 4096-byte reads with the default ring,
// once with a small ring and reads of pseudo-random sizes. Both must give the same frames and
// errors, and both loops must end (a file-header error, which repeats by design, ends them too).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

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

std::vector<std::string> read_all(MemorySource source, std::size_t ring, std::uint64_t& skipped) {
  kelvane::StreamConfig config;
  if (ring) config.buffer_capacity = ring;
  kelvane::KvlxStream<MemorySource> stream(std::move(source), std::move(config));
  std::vector<std::string> seen;
  // Every call that returns something consumes at least one byte or ends the loop; the bound
  // turns a reader that stops making progress into a crash.
  const std::size_t max_calls = 2 * stream.reader().bytes.size() + 8;
  for (std::size_t call = 0;; ++call) {
    if (call > max_calls) std::abort();
    Result<std::optional<kelvane::SyndromeFrame>> f = stream.next_frame();
    if (!f) {
      seen.push_back("error " + f.error().to_string());
      if (f.error().is<kelvane::errors::InvalidMagic>() || f.error().is<kelvane::errors::UnsupportedVersion>()) break;
      continue;
    }
    if (!*f) break;
    seen.push_back(describe(**f));
    stream.recycle(std::move(**f));
  }
  skipped = stream.core().skipped_bytes();
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
  const std::vector<std::string> b = read_all(chopped, small_ring, skipped_chopped);
  if (a != b || skipped_plain != skipped_chopped) std::abort();
  return 0;
}

// Decoding a batch of shots held in memory, on one thread or several.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kelvane/core/observable_bits.h"
#include "kelvane/decoder/cores.h"
#include "kelvane/decoder/decoder_pool.h"

namespace kelvane {

// Rows of detection events, one per shot: one entry per detector (any non-zero byte is a fired
// detector), or bit-packed with detector k in bit k % 8 of byte k / 8 (the little bit order of
// numpy.packbits(..., bitorder="little") and of Stim's bit-packed samples).
struct ShotRows {
  const std::uint8_t* data = nullptr;  // the first entry of the first row
  std::size_t shots = 0;
  std::size_t width = 0;               // entries (bit-packed: bytes) per row
  std::ptrdiff_t row_stride = 0;       // bytes from one row to the next
  std::ptrdiff_t column_stride = 1;    // bytes from one entry to the next
  bool bit_packed = false;
  std::size_t detectors = 0;           // bit-packed: bits at or beyond this are padding

  // Replaces `fired` with the indices of the fired detectors of row `shot`, ascending.
  void fired_of(std::size_t shot, std::vector<std::uint32_t>& fired) const;
};

// Entries per row for `count` detectors (or observables): one each, or one byte per eight when
// bit-packed.
inline std::size_t row_width(std::size_t count, bool bit_packed) { return bit_packed ? (count + 7) / 8 : count; }

// Nothing when `got` is the row width for `detectors` detectors, else the complaint
// "{what} has {got} {unit}, expected {width} (one per detector | one per eight detectors, bit-packed)".
std::optional<std::string> shot_width_error(std::string_view what, std::string_view unit, std::size_t got,
                                            std::size_t detectors, bool bit_packed);

// Sets, in row s of `rows` (zeroed, row_width(observables, bit_packed) bytes each), the entries of
// the observables that mask s flips: 1 per observable, or bit k % 8 of byte k / 8 when
// bit-packed. Bits at or beyond `observables` are ignored. Masks of 64 bits serve models of at
// most 64 observables; ObservableBits any model.
void write_prediction_rows(std::span<const std::uint64_t> masks, std::size_t observables, bool bit_packed,
                           std::uint8_t* rows);
void write_prediction_rows(std::span<const ObservableBits> masks, std::size_t observables, bool bit_packed,
                           std::uint8_t* rows);

struct BatchOutput {
  std::span<std::uint64_t> masks;  // one per shot: the decoded flips of observables 0 to 63
  std::span<std::uint8_t> valid;   // empty, or one per shot: 0 where the syndrome is unsatisfiable
  // Empty, or one per shot: every decoded flip (UnionFindDecoder::last_observables), for graphs
  // of more than 64 observables.
  std::span<ObservableBits> bits = {};
  // Empty, or one per shot: the weight of the shot's correction (UnionFindDecoder::last_weight;
  // 0 for a quiet shot on a graph without a baseline correction).
  std::span<double> weights = {};
};

// The threads a batch uses: `requested` (0: every usable core), at most the usable cores (see
// cores.h) and one per 32 shots, at least one.
unsigned batch_threads(unsigned requested, std::size_t shots);

// Asked by the calling thread, between shots and about every kInterruptInterval, whether a
// batch should stop (for example because the user pressed Ctrl-C).
class BatchInterrupt {
 public:
  static constexpr std::chrono::milliseconds kInterruptInterval{50};
  virtual ~BatchInterrupt() = default;
  virtual bool interrupted() = 0;
};

// Decodes every row of `rows` with decoders from `pool`, splitting the shots over `threads`
// threads (see batch_threads; the calling thread is one of them). Results do not depend on the
// thread count. A thread that cannot be started leaves its shots to the others. Returns false,
// with some shots left undecoded, when `interrupt` asked to stop; true otherwise. Fails only on
// memory exhaustion in the calling thread (std::bad_alloc). `correlated` decodes every shot in
// two passes (UnionFindDecoder::decode_detectors); `match_clusters` turns cluster matching on,
// `join_touching` with touching clusters as one group (UnionFindDecoder::set_cluster_matching);
// `method` chooses the decoding algorithm (UnionFindDecoder::set_method).
bool decode_batch(DecoderPool& pool, const ShotRows& rows, const BatchOutput& out, unsigned threads,
                  BatchInterrupt* interrupt = nullptr, bool correlated = false, bool match_clusters = false,
                  bool join_touching = false, DecodeMethod method = DecodeMethod::kUnionFind);

}  // namespace kelvane

#include "kelvane/decoder/batch_decode.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

namespace kelvane {

void ShotRows::fired_of(std::size_t shot, std::vector<std::uint32_t>& fired) const {
  fired.clear();
  const std::uint8_t* row = data + static_cast<std::ptrdiff_t>(shot) * row_stride;
  if (bit_packed) {
    std::size_t j = 0;
    if (column_stride == 1) {
      // Eight bytes at a time: quiet words cost one test.
      for (; j + 8 <= width; j += 8) {
        std::uint64_t word;
        std::memcpy(&word, row + j, sizeof word);
        if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
        for (; word != 0; word &= word - 1) {
          const std::size_t index = j * 8 + static_cast<std::size_t>(std::countr_zero(word));
          if (index >= detectors) return;
          fired.push_back(static_cast<std::uint32_t>(index));
        }
      }
    }
    for (; j < width; ++j) {
      for (unsigned bits = row[static_cast<std::ptrdiff_t>(j) * column_stride]; bits != 0; bits &= bits - 1) {
        const std::size_t index = j * 8 + static_cast<std::size_t>(std::countr_zero(bits));
        if (index >= detectors) return;
        fired.push_back(static_cast<std::uint32_t>(index));
      }
    }
    return;
  }
  std::size_t i = 0;
  if (column_stride == 1) {
    // Skip quiet stretches 32 entries at a time, then eight; in a word that is not quiet, the
    // high bit of each byte is set where that byte is non-zero, and the fired entries are read
    // off those bits.
    constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7fULL, kHigh = 0x8080808080808080ULL;
    for (; i + 8 <= width; i += 8) {
      std::uint64_t word;
      if (i + 32 <= width) {
        std::uint64_t block[4];
        std::memcpy(block, row + i, sizeof block);
        if ((block[0] | block[1] | block[2] | block[3]) == 0) {
          i += 24;
          continue;
        }
      }
      std::memcpy(&word, row + i, sizeof word);
      if (word == 0) continue;
      if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
      for (std::uint64_t set = (((word & kLow7) + kLow7) | word) & kHigh; set != 0; set &= set - 1) {
        fired.push_back(static_cast<std::uint32_t>(i + static_cast<std::size_t>(std::countr_zero(set)) / 8));
      }
    }
  }
  for (; i < width; ++i) {
    if (row[static_cast<std::ptrdiff_t>(i) * column_stride]) fired.push_back(static_cast<std::uint32_t>(i));
  }
}

std::optional<std::string> shot_width_error(std::string_view what, std::string_view unit, std::size_t got,
                                            std::size_t detectors, bool bit_packed) {
  const std::size_t width = row_width(detectors, bit_packed);
  if (got == width) return std::nullopt;
  return std::string(what) + " has " + std::to_string(got) + " " + std::string(unit) + ", expected " +
         std::to_string(width) + (bit_packed ? " (one per eight detectors, bit-packed)" : " (one per detector)");
}

namespace {

// Calls f(k) for every set bit k of the mask, ascending.
template <typename F>
void for_each_bit(std::uint64_t mask, F&& f) {
  for (; mask; mask &= mask - 1) f(static_cast<std::size_t>(std::countr_zero(mask)));
}
template <typename F>
void for_each_bit(const ObservableBits& bits, F&& f) {
  bits.for_each(f);
}

template <typename Mask>
void write_rows(std::span<const Mask> masks, std::size_t observables, bool bit_packed, std::uint8_t* rows) {
  const std::size_t width = row_width(observables, bit_packed);
  for (std::size_t s = 0; s < masks.size(); ++s) {
    std::uint8_t* row = rows + s * width;
    for_each_bit(masks[s], [&](std::size_t k) {
      if (k >= observables) return;
      if (bit_packed) {
        row[k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
      } else {
        row[k] = 1;
      }
    });
  }
}

}  // namespace

void write_prediction_rows(std::span<const std::uint64_t> masks, std::size_t observables, bool bit_packed,
                           std::uint8_t* rows) {
  write_rows(masks, observables, bit_packed, rows);
}

void write_prediction_rows(std::span<const ObservableBits> masks, std::size_t observables, bool bit_packed,
                           std::uint8_t* rows) {
  write_rows(masks, observables, bit_packed, rows);
}

unsigned batch_threads(unsigned requested, std::size_t shots) {
  // More threads than the process may run at once only add stacks and decoders.
  const unsigned cores = usable_cores();
  const unsigned threads = requested != 0 ? std::min(requested, cores) : cores;
  const std::size_t most = std::max<std::size_t>(1, shots / 32);
  return static_cast<unsigned>(std::min<std::size_t>(threads, most));
}

namespace {

// Shots are handed out in blocks from a shared counter, so threads that get the harder shots
// take fewer blocks.
struct Work {
  Work(const ShotRows& r, const BatchOutput& o, std::size_t b, bool c, bool m, bool j, DecodeMethod d)
      : rows(r), out(o), block(b), correlated(c), match_clusters(m), join_touching(j), method(d) {}

  const ShotRows& rows;
  const BatchOutput& out;
  const std::size_t block;  // shots per block
  const bool correlated;
  const bool match_clusters;
  const bool join_touching;
  const DecodeMethod method;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stopped{false};  // an interrupt asked every thread to stop

  std::mutex mutex;
  std::vector<std::pair<std::size_t, std::size_t>> dropped;  // blocks failed helpers held

  // Decodes blocks until none is left; `held` is the block in hand.
  void run(UnionFindDecoder& decoder, std::vector<std::uint32_t>& fired,
           std::pair<std::size_t, std::size_t>& held, BatchInterrupt* interrupt = nullptr) {
    while (!stopped.load(std::memory_order_relaxed)) {
      const std::size_t begin = next.fetch_add(block, std::memory_order_relaxed);
      if (begin >= rows.shots) return;
      held = {begin, std::min(rows.shots, begin + block)};
      decode_range(decoder, fired, held.first, held.second, interrupt);
      held = {0, 0};
    }
  }

  // Only the calling thread passes `interrupt`; it polls it about every kInterruptInterval.
  void decode_range(UnionFindDecoder& decoder, std::vector<std::uint32_t>& fired, std::size_t begin,
                    std::size_t end, BatchInterrupt* interrupt = nullptr) {
    using Clock = std::chrono::steady_clock;
    decoder.set_cluster_matching(match_clusters, UnionFindDecoder::kDefaultMatchLimit, join_touching);
    decoder.set_method(method);
    auto next_poll = Clock::now() + BatchInterrupt::kInterruptInterval;
    for (std::size_t s = begin; s < end; ++s) {
      // The clock is read every 16 shots: cheap beside decoding them.
      if (interrupt && s % 16 == 0 && Clock::now() >= next_poll) {
        if (stopped.load(std::memory_order_relaxed) || interrupt->interrupted()) {
          stopped.store(true, std::memory_order_relaxed);
          return;
        }
        next_poll = Clock::now() + BatchInterrupt::kInterruptInterval;
      }
      rows.fired_of(s, fired);
      std::uint64_t mask = 0;
      bool valid = true;
      const bool decoded = !fired.empty() || decoder.decoding_graph()->has_baseline();
      if (decoded) {
        mask = decoder.decode_detectors(fired, correlated);
        valid = decoder.last_decode_neutral();
      }
      out.masks[s] = mask;
      if (!out.bits.empty()) out.bits[s] = decoded ? decoder.last_observables() : ObservableBits{};
      if (!out.valid.empty()) out.valid[s] = valid;
      if (!out.weights.empty()) out.weights[s] = decoded ? decoder.last_weight() : 0.0;
    }
  }
};

}  // namespace

bool decode_batch(DecoderPool& pool, const ShotRows& rows, const BatchOutput& out, unsigned threads,
                  BatchInterrupt* interrupt, bool correlated, bool match_clusters, bool join_touching,
                  DecodeMethod method) {
  threads = batch_threads(threads, rows.shots);
  Work work(rows, out, threads == 1 ? rows.shots : std::clamp<std::size_t>(rows.shots / (threads * 16), 1, 1024),
            correlated, match_clusters, join_touching, method);
  DecoderPool::Lease own = pool.acquire();
  std::vector<std::uint32_t> fired;
  fired.reserve(256);

  work.dropped.reserve(threads);
  std::vector<std::jthread> helpers;
  try {
    helpers.reserve(threads - 1);
    for (unsigned t = 1; t < threads; ++t) {
      helpers.emplace_back([&pool, &work] {
        std::pair<std::size_t, std::size_t> held{0, 0};
        try {
          DecoderPool::Lease decoder = pool.acquire();
          std::vector<std::uint32_t> helper_fired;
          work.run(*decoder, helper_fired, held);
        } catch (const std::bad_alloc&) {
          // Out of memory: the block in hand goes back to the calling thread, and the other
          // threads take the rest.
          std::lock_guard lock(work.mutex);
          if (held.first != held.second) work.dropped.push_back(held);  // reserved: no throw
        }
      });
    }
  } catch (const std::exception&) {
    // A thread that cannot be started (or no room to record it): the running ones do the work.
  }
  std::pair<std::size_t, std::size_t> held{0, 0};
  work.run(*own, fired, held, interrupt);
  for (std::jthread& helper : helpers) helper.join();
  for (const auto& [begin, end] : work.dropped) {
    if (work.stopped.load(std::memory_order_relaxed)) break;
    work.decode_range(*own, fired, begin, end, interrupt);
  }
  return !work.stopped.load(std::memory_order_relaxed);
}

}  // namespace kelvane

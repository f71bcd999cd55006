#include "kelvane/decoder/sliding_pool.h"

#include "kelvane/decoder/cores.h"

#include <algorithm>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

namespace kelvane {

SlidingResult<std::shared_ptr<const SlidingWindowModel>> SlidingDecoderPool::model() {
  std::lock_guard lock(mutex_);
  if (model_) return model_;
  auto rounds = detector_rounds(*graph_);
  if (!rounds) return std::unexpected(rounds.error());
  auto built = SlidingWindowModel::build(*graph_, *rounds);
  if (!built) return std::unexpected(built.error());
  model_ = std::make_shared<const SlidingWindowModel>(std::move(*built));
  return model_;
}

SlidingResult<SlidingDecoderPool::Lease> SlidingDecoderPool::acquire(std::uint32_t commit, std::uint32_t buffer,
                                                                     bool correlated, unsigned threads,
                                                                     DecodeMethod method) {
  auto m = model();
  if (!m) return std::unexpected(m.error());
  {
    std::lock_guard lock(mutex_);
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
      if ((*it)->commit() == commit && (*it)->buffer() == buffer && (*it)->correlated() == correlated &&
          (*it)->threads() == threads && (*it)->method() == method) {
        std::unique_ptr<SlidingWindowDecoder> decoder = std::move(*it);
        idle_.erase(std::next(it).base());
        return Lease(*this, std::move(decoder));
      }
    }
  }
  auto made = SlidingWindowDecoder::create(*m, commit, buffer, correlated, threads, method);
  if (!made) return std::unexpected(made.error());
  return Lease(*this, std::make_unique<SlidingWindowDecoder>(std::move(*made)));
}

void SlidingDecoderPool::give_back(std::unique_ptr<SlidingWindowDecoder> decoder) noexcept {
  std::lock_guard lock(mutex_);
  try {
    if (idle_.size() >= kMaxIdle) idle_.erase(idle_.begin());
    idle_.push_back(std::move(decoder));
  } catch (...) {
    // Out of memory for the list: the decoder is dropped instead of kept.
  }
}

SlidingResult<void> decode_sliding_batch(SlidingDecoderPool& pool, const ShotRows& rows, std::span<std::uint64_t> masks,
                                         std::uint32_t commit, std::uint32_t buffer, unsigned threads,
                                         bool correlated, std::span<ObservableBits> bits, DecodeMethod method) {
  const unsigned workers = batch_threads(threads, rows.shots);
  const unsigned wanted = threads == 0 ? usable_cores() : std::min(threads, usable_cores());
  if (workers == 1 && wanted > 1) {
    auto lease = pool.acquire(commit, buffer, correlated, wanted, method);
    if (!lease) return std::unexpected(lease.error());
    std::vector<std::uint32_t> fired;
    for (std::size_t s = 0; s < rows.shots; ++s) {
      rows.fired_of(s, fired);
      auto mask = (*lease)->decode_shot(fired);
      if (!mask) return std::unexpected(mask.error());
      masks[s] = *mask;
      if (!bits.empty()) bits[s] = (*lease)->committed_bits();
    }
    return {};
  }
  // Contiguous runs of shots, one per thread; each thread keeps its first failure.
  std::vector<std::optional<SlidingWindowError>> failures(workers);
  std::vector<char> out_of_memory(workers, 0);
  auto run = [&](unsigned t) {
    try {
      auto lease = pool.acquire(commit, buffer, correlated, 1, method);
      if (!lease) {
        failures[t] = lease.error();
        return;
      }
      SlidingWindowDecoder& decoder = **lease;
      std::vector<std::uint32_t> fired;
      const std::size_t begin = rows.shots * t / workers, end = rows.shots * (t + 1) / workers;
      for (std::size_t s = begin; s < end; ++s) {
        rows.fired_of(s, fired);
        auto mask = decoder.decode_shot(fired);
        if (!mask) {
          failures[t] = mask.error();
          return;
        }
        masks[s] = *mask;
        if (!bits.empty()) bits[s] = decoder.committed_bits();
      }
    } catch (const std::bad_alloc&) {
      out_of_memory[t] = 1;
    }
  };
  {
    std::vector<std::jthread> helpers;
    helpers.reserve(workers - 1);
    for (unsigned t = 1; t < workers; ++t) {
      try {
        helpers.emplace_back(run, t);
      } catch (const std::system_error&) {
        run(t);  // no thread to be had: the calling thread takes these shots too
      }
    }
    run(0);
  }
  for (unsigned t = 0; t < workers; ++t) {
    if (out_of_memory[t]) throw std::bad_alloc();
    if (failures[t]) return std::unexpected(*failures[t]);
  }
  return {};
}

}  // namespace kelvane

// The observables a decode flips, for models of up to 256 observables (a DEM observable id is
// one byte): bit k of word k / 64 is observable k. Decoders keep their 64-bit fast path for
// models of at most 64 observables, whose flips are word 0 alone.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane {

struct ObservableBits {
  static constexpr std::size_t kWords = 4;
  static constexpr std::size_t kMaxObservables = kWords * 64;

  std::array<std::uint64_t, kWords> words{};

  static constexpr ObservableBits from_low(std::uint64_t low) {
    ObservableBits bits;
    bits.words[0] = low;
    return bits;
  }
  // Flips observable `k` (k below kMaxObservables).
  constexpr void flip(std::size_t k) { words[k / 64] ^= std::uint64_t{1} << (k % 64); }
  constexpr bool test(std::size_t k) const { return (words[k / 64] >> (k % 64)) & 1; }
  constexpr std::uint64_t low() const { return words[0]; }
  // True when no observable at or beyond 64 is flipped (the flips fit a 64-bit mask).
  constexpr bool fits_low() const { return (words[1] | words[2] | words[3]) == 0; }
  constexpr bool any() const { return (words[0] | words[1] | words[2] | words[3]) != 0; }
  constexpr int popcount() const {
    int n = 0;
    for (std::uint64_t w : words) n += std::popcount(w);
    return n;
  }
  constexpr ObservableBits& operator^=(const ObservableBits& o) {
    for (std::size_t i = 0; i < kWords; ++i) words[i] ^= o.words[i];
    return *this;
  }
  friend constexpr ObservableBits operator^(ObservableBits a, const ObservableBits& b) { return a ^= b; }
  friend constexpr bool operator==(const ObservableBits&, const ObservableBits&) = default;

  // Calls f(k) for every flipped observable k, ascending.
  template <typename F>
  constexpr void for_each(F&& f) const {
    for (std::size_t i = 0; i < kWords; ++i) {
      for (std::uint64_t w = words[i]; w != 0; w &= w - 1) f(i * 64 + static_cast<std::size_t>(std::countr_zero(w)));
    }
  }
};

// Nothing when a model of `num_observables` observables fits a form that holds its flips as one
// 64-bit mask; otherwise the complaint "{form} holds observables L0 to L63 as a 64-bit mask, the
// model has {num_observables}: {instead}", `instead` naming the form that holds them all.
std::optional<std::string> mask_form_error(std::uint64_t num_observables, std::string_view form,
                                           std::string_view instead);

}  // namespace kelvane

// The decoder interface: a syndrome window in, observable flips and corrections out.
#pragma once

#include <cstdint>
#include <vector>

#include "kelvane/core/window.h"

namespace kelvane {

inline constexpr std::uint8_t kPauliCorrection = 3;
inline constexpr double kConfidenceQuiet = 1.0;    // the window held no fired detector
inline constexpr double kConfidenceDecoded = 0.9;  // at least one fired detector
// No set of error mechanisms explains the fired detectors (a cluster ran out of graph while
// holding an odd number of them).
inline constexpr double kConfidenceUnsatisfiable = 0.0;

struct LogicalCorrection {
  std::uint8_t logical_id = 0;  // observable id == bit position in observable_flips
  std::uint8_t pauli = kPauliCorrection;
  bool operator==(const LogicalCorrection&) const = default;
};

struct DecoderResult {
  std::vector<LogicalCorrection> corrections;  // one per set bit, ascending
  double confidence = kConfidenceQuiet;
  std::uint64_t observable_flips = 0;  // bit k: observable k flipped
  // False when the syndrome is unsatisfiable: the correction leaves some fired detectors
  // unexplained (confidence is then kConfidenceUnsatisfiable).
  bool valid = true;
};

class Decoder {
 public:
  virtual ~Decoder() = default;
  // Decodes the window's fired detectors. Not safe to run twice at once on one decoder: the
  // decoder reuses its scratch state.
  virtual DecoderResult decode_window(const SyndromeWindow& window) = 0;
};

}  // namespace kelvane

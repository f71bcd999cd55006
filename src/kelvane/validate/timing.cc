#include "kelvane/validate/timing.h"

namespace kelvane {

Status check_timing(const SyndromeFrame& frame) {
  for (std::size_t i = 0; i < frame.timing_offsets.size(); ++i) {
    if (frame.timing_offsets[i] > kMaxTimingOffsetNs) {
      return fail(errors::TimingOutOfBounds{i, frame.timing_offsets[i]});
    }
  }
  return {};
}

}  // namespace kelvane

#include "kelvane/validate/parity.h"

#include "kelvane/core/rle.h"

namespace kelvane {

Status check_parity(const SyndromeFrame& frame, const HardwareSchema& schema) {
  const std::span<const std::int8_t> meas = frame.meas_results;
  const std::span<const std::uint8_t> rle = frame.detector_events_rle;
  // Stabiliser indices only grow, so one forward walk over the runs finds event i for every i:
  // `run` is the first run whose end lies beyond i, `run_end` the entry index where it ends.
  std::size_t run = 0;
  std::size_t run_end = rle.empty() ? 0 : (rle[0] & kRleLengthMask);
  for (std::size_t i = 0; i < schema.stabilizers.size(); ++i) {
    std::uint8_t parity = 0;
    for (std::uint16_t q : schema.stabilizers[i].qubits) {
      if (q < meas.size() && meas[q] <= 0) parity ^= 1;
    }
    while (run < rle.size() && run_end <= i) {
      ++run;
      if (run < rle.size()) run_end += rle[run] & kRleLengthMask;
    }
    const std::uint8_t event = (run < rle.size() && (rle[run] & kRleValueBit)) ? 1 : 0;
    if (parity != event) return fail(errors::ParityViolation{frame.header.frame_id, i});
  }
  return {};
}

}  // namespace kelvane

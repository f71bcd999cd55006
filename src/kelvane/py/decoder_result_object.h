// The DecoderResult and LogicalCorrection classes.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kelvane/py/native_object.h"

namespace kelvane::py {

struct CorrectionRecord {
  std::uint8_t logical_id = 0;
  std::string pauli;
};

struct DecoderResultData {
  std::vector<CorrectionRecord> corrections;
  double confidence = 1.0;
  std::uint64_t observable_flips = 0;
  bool valid = true;  // false: the decoded syndrome was unsatisfiable
  // How many observables the array view shows (np.asarray(result), len(result)): the decoding
  // model's count, or the mask's 64 bits for a result made without one.
  std::uint16_t num_observables = 64;
};

using PyDecoderResult = NativeObject<DecoderResultData>;

// A new DecoderResult object, or nullptr with an exception set.
PyObject* new_decoder_result(DecoderResultData data);

}  // namespace kelvane::py

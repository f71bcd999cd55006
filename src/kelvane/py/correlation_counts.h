// Conversions shared by the CorrelationCounter class and the stream that gathers counts for
// learning: detector pairs from a (k, 2) array, and counts to a NumPy array.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kelvane/metrics/correlation_counter.h"

namespace kelvane::py {

// Pairs from a (k, 2) integer array (or an empty one) of detector ids below `detector_count`.
// False with ValueError set otherwise.
bool pairs_from_array(PyObject* array, std::size_t detector_count, std::vector<CorrelationCounter::Pair>& pairs);

// A new 1-D uint64 array holding `counts`.
PyObject* counts_array(std::span<const std::uint64_t> counts);

}  // namespace kelvane::py

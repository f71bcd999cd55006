// The SlidingWindowDecoder class (rounds pushed from NumPy, decoded in overlapping windows) and
// SpacetimeGraph.sliding_decoder, which makes one.
#pragma once

#include <Python.h>

#include <optional>

#include "kelvane/decoder/sliding_pool.h"
#include "kelvane/decoder/sliding_window.h"
#include "kelvane/dem/graph.h"

namespace kelvane::py {

// SpacetimeGraph.sliding_decoder(*, commit, buffer, enable_correlations=False, num_threads=1,
// method="union-find"): a new SlidingWindowDecoder, or nullptr with an exception.
PyObject* graph_sliding_decoder(PyObject* self, PyObject* args, PyObject* kwargs);

// A sliding-window decoder over the pool's graph (rounds from the detectors' time coordinate),
// from the Python values of `commit` and `buffer`; nullopt with an exception set (ValueError
// when the model cannot be split into rounds or commit is 0); `correlated`, `threads` and
// `method` as for SlidingWindowDecoder::create.
std::optional<SlidingWindowDecoder> make_sliding_decoder(SlidingDecoderPool& pool, PyObject* commit_arg,
                                                         PyObject* buffer_arg, bool correlated, unsigned threads = 1,
                                                         DecodeMethod method = DecodeMethod::kUnionFind);

// SlidingWindowDecoder.stats(): the statistics as a new dict, or nullptr with an exception.
PyObject* sliding_stats_dict(const SlidingWindowStats& stats);

extern const char* const kGraphSlidingDecoderDoc;

}  // namespace kelvane::py

// The decoder state of a KelvaneStream: turning set_decoder's arguments into a graph and a
// layout, and handing frames to the stream decoder of the decoder layer.
#include "kelvane/py/stream_decoder_binding.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "kelvane/decoder/cores.h"
#include "kelvane/dem/graph.h"
#include "kelvane/py/args.h"
#include "kelvane/py/correlation_counts.h"
#include "kelvane/py/dem_source.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/layout_arg.h"
#include "kelvane/py/method_arg.h"
#include "kelvane/py/py_ref.h"
#include "kelvane/streaming/layout.h"
#include "kelvane/streaming/stream_decoder.h"
#include "kelvane/streaming/windowed_frames.h"

namespace kelvane::py {

struct StreamDecoderBinding::State {
  std::optional<kelvane::StreamDecoder> decoder;
  bool correlated = false;
  // Called with each learning block's counts; what it returns (a model, or None) is swapped in.
  PyRef on_block;
};

StreamDecoderBinding::StreamDecoderBinding() : state_(std::make_unique<State>()) {}
StreamDecoderBinding::~StreamDecoderBinding() = default;
StreamDecoderBinding::StreamDecoderBinding(StreamDecoderBinding&&) noexcept = default;
StreamDecoderBinding& StreamDecoderBinding::operator=(StreamDecoderBinding&&) noexcept = default;

bool StreamDecoderBinding::configure(PyObject* dem, std::size_t window_depth, PyObject* layout_arg, bool per_shot,
                              PyObject* commit_arg, PyObject* buffer_arg, bool correlated, bool follow,
                              PyObject* threads_arg, PyObject* method_arg) {
  DecodeMethod method = DecodeMethod::kUnionFind;
  if (!arg_method(method_arg, method)) return false;
  const bool has_commit = commit_arg && commit_arg != Py_None;
  const bool has_buffer = buffer_arg && buffer_arg != Py_None;
  const bool windowed = has_commit || has_buffer;
  if (auto refused = schedule_refusal(has_commit, has_buffer, layout_arg && layout_arg != Py_None)) {
    raise_message(PyExc_ValueError, *refused);
    return false;
  }
  std::uint32_t commit = 0, buffer = 0;
  if (windowed && (!arg_u32("commit", commit_arg, commit) || !arg_u32("buffer", buffer_arg, buffer))) return false;
  std::uint32_t threads = 1;
  if (threads_arg && threads_arg != Py_None) {
    if (!arg_u32("num_threads", threads_arg, threads)) return false;
    if (threads != 1 && !windowed) {
      raise_message(PyExc_ValueError, "num_threads decodes windowed streams: it needs commit and buffer");
      return false;
    }
    threads = threads == 0 ? usable_cores() : std::min<std::uint32_t>(threads, 1024);
  }
  GraphHandle graph = graph_from_object(dem, correlated);
  if (!graph) return false;
  StreamDecodeOptions options;
  options.per_shot = per_shot;
  options.correlated = correlated;
  options.method = method;
  options.follow = follow;
  options.window_depth = window_depth;
  if (layout_arg && layout_arg != Py_None) {
    auto layout = layout_of(layout_arg, graph->boundary);
    if (!layout) return false;
    options.layout = std::move(*layout);
  }
  try {
    if (windowed) {
      auto windows =
          WindowedFrames::create(*graph, *options.layout, commit, buffer, per_shot, correlated, threads, method);
      if (!windows) {
        raise_message(PyExc_ValueError, windows.error().to_string());
        return false;
      }
      options.windows = std::make_shared<WindowedFrames>(std::move(*windows));
    }
    auto decoder = kelvane::StreamDecoder::create(std::move(graph), std::move(options));
    if (!decoder) {
      raise_message(PyExc_ValueError, decoder.error().to_string());
      return false;
    }
    if (!state_) state_ = std::make_unique<State>();  // a moved-from StreamDecoderBinding
    state_->decoder.emplace(std::move(*decoder));
    state_->correlated = correlated;
    state_->on_block = PyRef();
  } catch (const std::bad_alloc&) {
    raise_no_memory("the decoder (set_decoder)");
    return false;
  }
  return true;
}

bool StreamDecoderBinding::configured() const { return state_ && state_->decoder; }

namespace {

bool emit_decoder_warnings(kelvane::StreamDecoder& decoder) {
  for (const std::string& text : decoder.take_warnings()) {
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) return false;
  }
  return true;
}

}  // namespace

kelvane::StreamDecoder* StreamDecoderBinding::native() { return configured() ? &*state_->decoder : nullptr; }

bool StreamDecoderBinding::emit_warnings() { return !configured() || emit_decoder_warnings(*state_->decoder); }

bool StreamDecoderBinding::decode_frame(OwnedFrame& frame) {
  if (!state_ || !state_->decoder) return true;
  kelvane::StreamDecoder& d = *state_->decoder;
  std::expected<void, LayoutError> pushed;
  try {
    pushed = d.push(frame);
  } catch (const std::bad_alloc&) {
    raise_no_memory("the decoding window (KelvaneStream.__next__)");
    return false;
  }
  if (!pushed) {
    raise_message(PyExc_ValueError, pushed.error().to_string());
    return false;
  }
  if (!emit_decoder_warnings(d)) return false;
  if (!state_->on_block || !d.learning_block()) return true;
  PyRef block(learning_block());
  if (!block) return false;
  PyRef model(PyObject_CallObject(state_->on_block.get(), block.get()));
  if (!model) return false;
  return model.get() == Py_None || replace_model(model.get());
}

bool StreamDecoderBinding::expect_ancillas(std::size_t ancillas) {
  if (!state_ || !state_->decoder) return true;
  state_->decoder->expect_ancillas(ancillas);
  return emit_decoder_warnings(*state_->decoder);
}

bool StreamDecoderBinding::end_of_data() {
  if (!state_ || !state_->decoder) return true;
  state_->decoder->end_of_data();
  return emit_decoder_warnings(*state_->decoder);
}

bool StreamDecoderBinding::replace_model(PyObject* dem) {
  if (!configured()) {
    PyErr_SetString(PyExc_ValueError, "the stream has no decoder to swap the model of: call set_decoder first");
    return false;
  }
  GraphHandle graph = graph_from_object(dem, state_->correlated);
  if (!graph) return false;
  std::expected<void, std::string> replaced;
  try {
    replaced = state_->decoder->replace_graph(std::move(graph));
  } catch (const std::bad_alloc&) {
    raise_no_memory("the decoder (KelvaneStream.swap_model)");
    return false;
  }
  if (!replaced) {
    raise_message(PyExc_ValueError, replaced.error());
    return false;
  }
  return true;
}

std::uint64_t StreamDecoderBinding::model_swaps() const {
  return configured() ? state_->decoder->graph_replacements() : 0;
}

bool StreamDecoderBinding::gather_for_learning(PyObject* pairs_arg, std::uint64_t every, PyObject* on_block) {
  if (!configured()) {
    PyErr_SetString(PyExc_ValueError, "the stream has no decoder to learn the model of: call set_decoder first");
    return false;
  }
  std::vector<CorrelationCounter::Pair> pairs;
  // The decoder's detector count: the graph's boundary node index.
  if (!pairs_from_array(pairs_arg, state_->decoder->detector_count(), pairs)) return false;
  if (on_block && on_block != Py_None && !PyCallable_Check(on_block)) {
    PyErr_SetString(PyExc_TypeError, "on_block must be callable or None");
    return false;
  }
  state_->on_block = on_block && on_block != Py_None ? PyRef::borrow(on_block) : PyRef();
  try {
    state_->decoder->gather_for_learning(pairs, every);
  } catch (const std::bad_alloc&) {
    raise_no_memory("the learning counts (KelvaneStream)");
    return false;
  }
  return true;
}

PyObject* StreamDecoderBinding::learning_block() const {
  const CorrelationCounter* block = configured() ? state_->decoder->learning_block() : nullptr;
  if (!block) Py_RETURN_NONE;
  PyRef fired(counts_array(block->fired()));
  if (!fired) return nullptr;
  PyRef both(counts_array(block->both_fired()));
  if (!both) return nullptr;
  return Py_BuildValue("(KOO)", static_cast<unsigned long long>(block->shots()), fired.get(), both.get());
}

std::uint64_t StreamDecoderBinding::incomplete_shots() const {
  return state_ && state_->decoder ? state_->decoder->incomplete_shots() : 0;
}

std::uint64_t StreamDecoderBinding::missing_rounds() const {
  return state_ && state_->decoder ? state_->decoder->missing_rounds() : 0;
}

std::uint64_t StreamDecoderBinding::unsatisfiable_decodes() const {
  return state_ && state_->decoder ? state_->decoder->unsatisfiable_decodes() : 0;
}

const WindowedFrames* StreamDecoderBinding::windows() const {
  return state_ && state_->decoder ? state_->decoder->windows() : nullptr;
}

}  // namespace kelvane::py

// Placeholder until decoding lands: a stream without a configured decoder.
#include "kelvane/py/stream_decoder.h"

namespace kelvane::py {

struct StreamDecoder::State {};

StreamDecoder::StreamDecoder() = default;
StreamDecoder::~StreamDecoder() = default;
StreamDecoder::StreamDecoder(StreamDecoder&&) noexcept = default;
StreamDecoder& StreamDecoder::operator=(StreamDecoder&&) noexcept = default;

bool StreamDecoder::configure(PyObject*, std::size_t) {
  PyErr_SetString(PyExc_NotImplementedError, "set_decoder is not available yet");
  return false;
}

void StreamDecoder::decode_frame(OwnedFrame&) {}

}  // namespace kelvane::py

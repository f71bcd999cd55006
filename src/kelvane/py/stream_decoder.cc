// The decoder state of a KelvaneStream: turning set_decoder's argument into DEM text, building
// the graph and the Union-Find decoder, and decoding every frame through a sliding window.
#include "kelvane/py/stream_decoder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "kelvane/core/error.h"
#include "kelvane/core/window.h"
#include "kelvane/decoder/union_find.h"
#include "kelvane/dem/graph.h"
#include "kelvane/dem/parser.h"
#include "kelvane/util/utf8.h"
#include "kelvane/py/args.h"
#include "kelvane/py/exception.h"
#include "kelvane/py/py_ref.h"

namespace kelvane::py {

struct StreamDecoder::State {
  std::optional<SyndromeWindow> window;      // born on the first frame after configure
  std::unique_ptr<UnionFindDecoder> decoder;
  std::size_t window_depth = 0;              // 0: infer from num_detectors / ancilla_count
  std::uint64_t num_detectors = 0;
};

namespace {

// "{strerror} (os error {errno})" as an OSError.
void raise_errno(int err) {
  raise_message(PyExc_OSError, io_source_text(KelvaneError::from_errno(err).as<errors::Io>()));
}

// Reads the whole file at `path` as UTF-8 text. False with OSError set on failure.
bool read_utf8_file(const std::string& path, std::string& out) {
  if (path.find('\0') != std::string::npos) {
    raise_message(PyExc_OSError, "file name contained an unexpected NUL byte");
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    raise_errno(errno);
    return false;
  }
  out.clear();
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      raise_errno(err);
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!is_valid_utf8(std::span(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()))) {
    raise_message(PyExc_OSError, "stream did not contain valid UTF-8");
    return false;
  }
  return true;
}

// The UTF-8 text of a str object.
bool str_text(PyObject* s, std::string& out) {
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &len);
  if (!p) return false;
  out.assign(p, static_cast<std::size_t>(len));
  return true;
}

// True when `text` holds something other than whitespace and whole-line `#` comments.
bool has_content(std::string_view text) {
  bool line_start = true;
  bool in_comment = false;
  for (char c : text) {
    if (c == '\n') {
      line_start = true;
      in_comment = false;
      continue;
    }
    if (in_comment || std::isspace(static_cast<unsigned char>(c))) continue;
    if (line_start && c == '#') {
      in_comment = true;
      continue;
    }
    return true;
  }
  return false;
}

// A text with content from which the parser took nothing at all (no error, no declaration) is
// a mistyped path such as "missing.dem", or an object whose str() is no DEM (bytes): refuse it
// rather than decode every frame against an empty graph. Blank text stays an empty model.
bool is_vacuous(const DetectorErrorModel& model, std::string_view text) {
  return model.errors.empty() && model.detector_decls.empty() && model.num_detectors == 0 &&
         model.num_observables == 0 && has_content(text);
}

std::string quoted_excerpt(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n\v\f");
  text.remove_prefix(first == std::string_view::npos ? text.size() : first);
  text = text.substr(0, text.find('\n'));
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  constexpr std::size_t kMax = 60;
  std::string out(1, '\'');
  out.append(text.substr(0, kMax));
  if (text.size() > kMax) out.append("...");
  out.push_back('\'');
  return out;
}

// Turns set_decoder's `dem` into DEM text:
//   str        -> the file's contents when something exists at that path (symlinks followed),
//                 else the string itself;
//   __fspath__ -> the contents of the file it names (no existence check first);
//   otherwise  -> str(dem), e.g. the text of a stim.DetectorErrorModel.
// `inline_text` tells whether the text is a str argument that named no file.
bool extract_dem_text(PyObject* dem, std::string& text, bool& inline_text) {
  inline_text = false;
  if (PyUnicode_Check(dem)) {
    if (!str_text(dem, text)) return false;
    struct stat st {};
    const bool exists = text.find('\0') == std::string::npos && ::stat(text.c_str(), &st) == 0;
    inline_text = !exists;
    if (!exists) return true;
    const std::string path = std::move(text);
    return read_utf8_file(path, text);
  }
  PyObject* fspath = PyObject_GetAttrString(dem, "__fspath__");
  if (fspath) {
    PyRef method(fspath);
    PyRef result(PyObject_CallNoArgs(method.get()));
    if (!result) return false;
    std::string path;
    if (!arg_str("dem", result.get(), path)) return false;
    return read_utf8_file(path, text);
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();
  PyRef as_text(PyObject_Str(dem));
  if (!as_text) return false;
  return str_text(as_text.get(), text);
}

}  // namespace

StreamDecoder::StreamDecoder() : state_(std::make_unique<State>()) {}
StreamDecoder::~StreamDecoder() = default;
StreamDecoder::StreamDecoder(StreamDecoder&&) noexcept = default;
StreamDecoder& StreamDecoder::operator=(StreamDecoder&&) noexcept = default;

bool StreamDecoder::configure(PyObject* dem, std::size_t window_depth) {
  std::string text;
  bool inline_text = false;
  if (!extract_dem_text(dem, text, inline_text)) return false;
  auto model = DetectorErrorModel::parse(text);
  if (!model) {
    raise_message(PyExc_ValueError, model.error().to_string());
    return false;
  }
  if (is_vacuous(*model, text)) {
    raise_message(PyExc_ValueError, "no error mechanism, detector or observable found in " + quoted_excerpt(text) +
                                        (inline_text ? ", which is not an existing file either" : ""));
    return false;
  }
  std::unique_ptr<UnionFindDecoder> decoder;
  try {
    auto graph = std::make_shared<const SpacetimeGraph>(SpacetimeGraph::from_dem(*model));
    decoder = std::make_unique<UnionFindDecoder>(std::move(graph));
    if (!state_) state_ = std::make_unique<State>();  // a moved-from StreamDecoder
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }

  // Nothing can fail from here on: install everything at once.
  state_->decoder = std::move(decoder);
  state_->window_depth = window_depth;
  state_->num_detectors = model->num_detectors;
  state_->window.reset();
  return true;
}

void StreamDecoder::decode_frame(OwnedFrame& frame) {
  if (!state_ || !state_->decoder) return;
  State& s = *state_;
  if (!s.window) {
    const std::size_t ancillas = frame.ancilla_count;
    std::size_t depth = s.window_depth;
    if (depth == 0) {
      const std::uint64_t rows = s.num_detectors / std::max<std::size_t>(ancillas, 1);
      depth = static_cast<std::size_t>(std::max<std::uint64_t>(rows, 1));
    }
    // The constructor skips a reservation it cannot make; the window then grows as it fills.
    s.window.emplace(ancillas, depth);
  }
  s.window->push_owned(syndrome_round_of(frame));
  frame.observable_flips = s.decoder->decode_window(*s.window).observable_flips;
}

}  // namespace kelvane::py

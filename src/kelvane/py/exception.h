// The module's exception class, the mapping of core failures to Python exceptions, and the
// guard that keeps C++ exceptions from crossing the C API.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include "kelvane/core/error.h"

namespace kelvane::py {

// "kelvane.KelvaneError", derived from Exception; created once per process. Borrowed reference,
// or nullptr with an exception set.
PyObject* kelvane_error_type();

// Raises `type` with `message` as the single argument (so an OSError's errno is None).
void raise_message(PyObject* type, const std::string& message);
// Stream and I/O failures reach Python as OSError carrying the error's display text, with
// attributes `frame_id` and `offset`: the frame the error concerns and the stream offset of its
// first byte, each None where unknown.
void raise_os_error(const KelvaneError& e);
// Raises `type` (OSError or a subclass: TimeoutError) with `message` and the attributes
// `frame_id` and `offset`, as raise_os_error does: for a stream's errors that come by another
// route than the reader (a wait that stopped, a closed stream), where neither is known.
void raise_stream_error(PyObject* type, const std::string& message, std::optional<std::uint64_t> offset = {},
                        std::optional<std::uint64_t> frame_id = {});

// Raises MemoryError "out of memory while building {what}" (never an empty message; the text
// is formatted without touching the heap). Returns nullptr, for `return raise_no_memory(...);`.
PyObject* raise_no_memory(const char* what);

// Translates the C++ exception in flight; call only inside a catch block. std::bad_alloc and
// std::length_error (a size no container can hold) become MemoryError naming `what`; any
// other std::exception becomes RuntimeError "internal error while building {what}: {what()}",
// and anything else the same without the detail.
void raise_current_exception(const char* what);

// A string literal usable as a template argument: the phrase naming what an entry point builds.
template <std::size_t N>
struct Label {
  char text[N];
  consteval Label(const char (&s)[N]) { std::copy_n(s, N, text); }  // NOLINT(google-explicit-constructor)
};

// The value a CPython slot returns with an exception set: nullptr for objects, -1 for ints
// (init, setters, hashes, lengths).
template <typename R>
R error_return() {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(-1);
  }
}

template <Label What, auto Fn>
struct Guarded;

template <Label What, typename R, typename... Args, R (*Fn)(Args...)>
struct Guarded<What, Fn> {
  static R call(Args... args) noexcept {
    try {
      return Fn(args...);
    } catch (...) {
      raise_current_exception(What.text);
      return error_return<R>();
    }
  }
};

// `fn` with every C++ exception translated into a Python exception, with the same signature,
// for method tables, getters and type slots:
//     {"to_graph", guarded<"the decoding graph (DetectorErrorModel.to_graph)", dem_to_graph>, ...}
// `What` completes "out of memory while building ...".
template <Label What, auto Fn>
inline constexpr auto guarded = &Guarded<What, Fn>::call;

}  // namespace kelvane::py

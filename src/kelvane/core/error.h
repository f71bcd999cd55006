// The error type of the core, the stream reader, the validation checks and the schema registry.
//
// Every fallible operation of those libraries returns `Result<T>`: its value or exactly one
// `KelvaneError`. Nothing here throws, prints or logs; `to_string` gives the one display text of
// each kind, which the Python layer uses verbatim as an exception message.
#pragma once

#include <array>
#include <cstdint>
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <variant>

#include "kelvane/core/tagged_error.h"

namespace kelvane {

using Uuid = std::array<std::uint8_t, 16>;

// The standard lowercase hyphenated 36-character form: 8-4-4-4-12 hex digits.
std::string uuid_to_string(const Uuid& id);

namespace errors {
struct InvalidMagic { std::uint32_t got; };
struct UnsupportedVersion { std::uint16_t version; };
struct UnknownCodeType { std::uint8_t discriminant; };
struct SchemaNotFound { Uuid schema_id; };
struct CrcMismatch { std::uint32_t expected; std::uint32_t got; };
struct ParityViolation { std::uint64_t frame_id; std::size_t stabilizer_index; };
struct TimingOutOfBounds { std::size_t ancilla; std::uint16_t offset_ns; };
// `frame_limit` is set when a frame's fields declare more bytes than the reader's limit on a
// frame's size (a damaged length field, or a frame too large to read); `declared` is then the
// least size they give the frame.
struct PayloadLengthMismatch { std::uint32_t declared; std::size_t found; std::size_t frame_limit = 0; };
struct FrameIdBackwards { std::uint64_t last_seen; std::uint64_t got; };
// `field` is always one of the literals "ancilla_count", "qubit_count", "code_type".
struct SchemaMismatch { const char* field; std::uint32_t expected; std::uint32_t actual; };
struct Lagged {};
// An I/O failure. `message` is the platform's description; when `os_errno` is set the
// display text is "{message} (os error {errno})", as the operating system reports it.
struct Io {
  std::string message;
  std::optional<int> os_errno;
};
struct Json { std::string message; };
}  // namespace errors

// A tagged union of the thirteen kinds, in declaration (tag) order.
class KelvaneError
    : public TaggedError<errors::InvalidMagic, errors::UnsupportedVersion, errors::UnknownCodeType,
                         errors::SchemaNotFound, errors::CrcMismatch, errors::ParityViolation,
                         errors::TimingOutOfBounds, errors::PayloadLengthMismatch, errors::FrameIdBackwards,
                         errors::SchemaMismatch, errors::Lagged, errors::Io, errors::Json> {
 public:
  using TaggedError::TaggedError;

  // An `Io` error from an errno value, with strerror's text.
  static KelvaneError from_errno(int err);
  // An `Io` error with a text of our own and no error number.
  static KelvaneError io(std::string message);

  // The display text, e.g. "CRC32 mismatch: expected 0x1234abcd, got 0x00000000".
  std::string to_string() const;

  // Where the error arose, when it concerns one frame of a stream: the stream offset of the
  // frame's first byte, and its id when its header was readable. Not part of the display text.
  std::optional<std::uint64_t> offset;
  std::optional<std::uint64_t> frame_id;
};

// Display text of an `Io` error's source alone ("No such file or directory (os error 2)").
std::string io_source_text(const errors::Io& io);

template <typename T>
using Result = std::expected<T, KelvaneError>;
using Status = std::expected<void, KelvaneError>;

inline std::unexpected<KelvaneError> fail(KelvaneError e) { return std::unexpected(std::move(e)); }

}  // namespace kelvane

#include "kelvane/core/error.h"

#include <cstdio>
#include <cstring>

namespace kelvane {

namespace {

std::string hex32(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", v);
  return buf;
}

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};

}  // namespace

std::string uuid_to_string(const Uuid& id) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kHex[id[i] >> 4]);
    out.push_back(kHex[id[i] & 0xF]);
  }
  return out;
}

KelvaneError KelvaneError::from_errno(int err) {
  // strerror is not required to be thread-safe; strerror_r (GNU form) is.
  char buf[256];
  const char* text = strerror_r(err, buf, sizeof buf);
  return errors::Io{text, err};
}

KelvaneError KelvaneError::io(std::string message) { return errors::Io{std::move(message), std::nullopt}; }

std::string io_source_text(const errors::Io& io) {
  if (!io.os_errno) return io.message;
  return io.message + " (os error " + std::to_string(*io.os_errno) + ")";
}

std::string KelvaneError::to_string() const {
  using std::to_string;
  return std::visit(
      Overloaded{
          [](const errors::InvalidMagic& e) {
            return "invalid KVLX magic bytes: expected 0x4B564C58, got " + hex32(e.got);
          },
          [](const errors::UnsupportedVersion& e) {
            return "unsupported KVLX format version: " + to_string(e.version);
          },
          [](const errors::UnknownCodeType& e) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "0x%02x", e.discriminant);
            return std::string("unknown code type discriminant: ") + buf;
          },
          [](const errors::SchemaNotFound& e) { return "schema not found for id " + uuid_to_string(e.schema_id); },
          [](const errors::CrcMismatch& e) {
            return "CRC32 mismatch: expected " + hex32(e.expected) + ", got " + hex32(e.got);
          },
          [](const errors::ParityViolation& e) {
            return "parity violation in frame " + to_string(e.frame_id) + " at stabilizer index " +
                   to_string(e.stabilizer_index);
          },
          [](const errors::TimingOutOfBounds& e) {
            return "timing offset out of bounds: ancilla " + to_string(e.ancilla) + ", offset " +
                   to_string(e.offset_ns) + " ns";
          },
          [](const errors::PayloadLengthMismatch& e) {
            if (e.frame_limit != 0) {
              return "frame too large: its fields declare at least " + to_string(e.declared) +
                     " bytes, more than the reader's limit of " + to_string(e.frame_limit) + " bytes per frame";
            }
            return "payload length mismatch: header declares " + to_string(e.declared) + " bytes, found " +
                   to_string(e.found);
          },
          [](const errors::FrameIdBackwards& e) {
            return "frame ID went backwards: last seen " + to_string(e.last_seen) + ", got " + to_string(e.got);
          },
          [](const errors::SchemaMismatch& e) {
            return std::string("frame/schema mismatch on ") + e.field + ": schema expects " +
                   to_string(e.expected) + ", frame has " + to_string(e.actual);
          },
          [](const errors::Lagged&) { return std::string("broadcast channel lagged: frames were dropped"); },
          [](const errors::Io& e) { return "i/o error: " + io_source_text(e); },
          [](const errors::Json& e) { return "json schema error: " + e.message; },
      },
      kind());
}

}  // namespace kelvane

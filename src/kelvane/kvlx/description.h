// What a stream says about itself: the frame layout and the detector error model a writer put in
// metadata keys 64 and 65 (in pieces of at most 60 KiB), and the 8-byte hash of the two that
// round-0 frames carry in key 66 (docs/kvlx-format.md, "Streams that describe themselves").
//
// A reader gathers one frame's pieces with DescriptionPieces, then assemble_description checks
// them against the frame's hash and decodes the layout. Later round-0 frames say by their hash
// whether the description held is still the stream's (same_description).
//
// The model stays compressed until it is asked for (inflate_model): a few kilobytes of zlib
// can stand for gigabytes of text, and reading frames never needs it. Inflating stops as soon
// as the text passes kMaxModelText bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kelvane/kvlx/metadata_keys.h"

namespace kelvane {

inline constexpr std::size_t kDescriptionPieceLimit = 61440;
// The most text a stored model may inflate to (a d = 13, 1,000-round model is about 1.1 MB).
inline constexpr std::size_t kMaxModelText = std::size_t{64} << 20;

// u32 CRC-32 of the layout bytes, then u32 CRC-32 of the compressed model bytes, little-endian;
// as a u64 loaded little-endian, the layout's CRC is the low half.
using DescriptionHash = std::uint64_t;

struct StreamDescription {
  // rounds x ancillas detector ids, row-major, -1 for none; no rounds when the stream stores no
  // layout.
  std::uint32_t rounds = 0;
  std::uint32_t ancillas = 0;
  std::vector<std::int32_t> layout;
  std::vector<std::uint8_t> dem_zlib;  // the model's text compressed with zlib; empty for none
  DescriptionHash hash = 0;

  bool has_layout() const { return !layout.empty(); }
  bool has_model() const { return !dem_zlib.empty(); }
  std::uint32_t layout_crc() const { return static_cast<std::uint32_t>(hash); }
  bool operator==(const StreamDescription&) const = default;
};

// The description entries of one frame, joined in order.
class DescriptionPieces {
 public:
  // Takes one metadata entry; other keys, and a key-66 value of another length, are ignored.
  void add(std::uint16_t key, std::span<const std::uint8_t> value);
  // Whether any key-64 or key-65 entry was taken (an empty value counts).
  bool has_pieces() const { return pieces_; }
  const std::optional<DescriptionHash>& hash() const { return hash_; }
  std::span<const std::uint8_t> layout_bytes() const { return layout_; }
  std::span<const std::uint8_t> dem_bytes() const { return dem_; }

 private:
  bool pieces_ = false;
  std::vector<std::uint8_t> layout_;
  std::vector<std::uint8_t> dem_;
  std::optional<DescriptionHash> hash_;  // the last 8-byte key-66 entry
};

// The hash of a description's bytes (CRC-32 of no bytes is 0).
DescriptionHash description_hash(std::span<const std::uint8_t> layout_bytes, std::span<const std::uint8_t> dem_bytes);

// The description one frame's pieces make, or the text of why they make none: no hash beside the
// pieces, a hash that does not match them, layout bytes of the wrong size for their shape.
// Nothing when the frame carries no pieces. The model is kept as it came (see inflate_model).
std::expected<std::optional<StreamDescription>, std::string> assemble_description(const DescriptionPieces& pieces);

// The stored model's text, or why there is none to give: bytes that are not one whole zlib
// stream of UTF-8 text, or text longer than `limit` bytes (found while inflating, so that no
// more than `limit` bytes are ever held). An empty text for a description without a model.
std::expected<std::string, std::string> inflate_model(const StreamDescription& d, std::size_t limit = kMaxModelText);

// The metadata entries (keys 64, 65, then 66) that describe a stream by `layout` (rounds x
// ancillas ids, row-major; empty for none) and `dem_text` (none: no model), the model compressed
// with zlib, each cut into pieces of at most kDescriptionPieceLimit bytes; and their hash.
struct DescriptionEntries {
  std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> entries;
  DescriptionHash hash = 0;
};
DescriptionEntries description_entries(std::uint32_t rounds, std::uint32_t ancillas, std::span<const std::int32_t> layout,
                            const std::optional<std::string>& dem_text);

}  // namespace kelvane

#include "kelvane/kvlx/description.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>

#include "kelvane/kvlx/crc32.h"
#include "kelvane/kvlx/le_bytes.h"
#include "kelvane/util/utf8.h"

namespace kelvane {

namespace {

constexpr std::size_t kLayoutShapeSize = 8;  // u32 rounds, u32 ancillas

}  // namespace

std::expected<std::string, std::string> inflate_model(const StreamDescription& d, std::size_t limit) {
  const auto not_text = [] {
    return std::unexpected(std::string("the stream's stored model is not zlib-compressed UTF-8 text"));
  };
  std::string out;
  if (!d.has_model()) return out;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return not_text();
  struct End {
    z_stream& z;
    ~End() { inflateEnd(&z); }
  } end{z};
  // Inflated a chunk at a time into a buffer of its own, so that the text held never passes the
  // limit, whatever the input inflates to.
  std::array<Bytef, 65536> chunk;
  std::size_t in_left = d.dem_zlib.size();
  z.next_in = const_cast<Bytef*>(d.dem_zlib.data());
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (z.avail_in == 0) {
      if (in_left == 0) return not_text();  // the data ended before the stream did
      z.avail_in = static_cast<uInt>(std::min<std::size_t>(in_left, UINT_MAX));
      in_left -= z.avail_in;
    }
    z.next_out = chunk.data();
    z.avail_out = static_cast<uInt>(chunk.size());
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) return not_text();
    const std::size_t got = chunk.size() - z.avail_out;
    if (got > limit - out.size()) {
      const std::string most =
          limit % (std::size_t{1} << 20) == 0 ? std::to_string(limit >> 20) + " MiB" : std::to_string(limit) + " bytes";
      return std::unexpected("the stream's stored model inflates past " + most +
                             " of text, the most a stored model may hold: refused");
    }
    if (out.capacity() < out.size() + got) {
      out.reserve(std::min(limit, std::max(out.size() + got, 2 * out.capacity())));
    }
    out.append(reinterpret_cast<const char*>(chunk.data()), got);
  }
  if (z.avail_in != 0 || in_left != 0) return not_text();  // bytes after the stream's end
  if (!is_valid_utf8(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()))) {
    return not_text();
  }
  return out;
}

namespace {

std::vector<std::uint8_t> deflate_text(const std::string& text) {
  uLongf size = compressBound(static_cast<uLong>(text.size()));
  std::vector<std::uint8_t> out(size);
  compress2(out.data(), &size, reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()), 6);
  out.resize(size);
  return out;
}

}  // namespace

void DescriptionPieces::add(std::uint16_t key, std::span<const std::uint8_t> value) {
  if (key == kMetaKeyLayout || key == kMetaKeyModel) {
    std::vector<std::uint8_t>& to = key == kMetaKeyLayout ? layout_ : dem_;
    to.insert(to.end(), value.begin(), value.end());
    pieces_ = true;
  } else if (key == kMetaKeyDescriptionHash && value.size() == 8) {
    hash_ = load_le<std::uint64_t>(value.data());
  }
}

DescriptionHash description_hash(std::span<const std::uint8_t> layout_bytes, std::span<const std::uint8_t> dem_bytes) {
  return DescriptionHash{crc32_update(0, layout_bytes)} | DescriptionHash{crc32_update(0, dem_bytes)} << 32;
}

std::expected<std::optional<StreamDescription>, std::string> assemble_description(const DescriptionPieces& pieces) {
  if (!pieces.has_pieces()) return std::nullopt;
  if (!pieces.hash()) return std::unexpected("the stream's stored layout and model come without their hash");
  const std::span<const std::uint8_t> layout = pieces.layout_bytes();
  const std::span<const std::uint8_t> dem = pieces.dem_bytes();
  if (description_hash(layout, dem) != *pieces.hash()) {
    return std::unexpected("the stream's stored layout and model do not match their hash");
  }
  StreamDescription d;
  d.hash = *pieces.hash();
  if (!layout.empty()) {
    if (layout.size() < kLayoutShapeSize) return std::unexpected("the stream's stored layout is cut short");
    d.rounds = load_le<std::uint32_t>(layout.data());
    d.ancillas = load_le<std::uint32_t>(layout.data() + 4);
    const std::uint64_t ids = std::uint64_t{d.rounds} * d.ancillas;
    if (ids == 0 || (layout.size() - kLayoutShapeSize) / 4 != ids || (layout.size() - kLayoutShapeSize) % 4 != 0) {
      return std::unexpected("the stream's stored layout of " + std::to_string(d.rounds) + " x " +
                             std::to_string(d.ancillas) + " entries holds " +
                             std::to_string(layout.size() - kLayoutShapeSize) + " bytes of ids");
    }
    d.layout.resize(ids);
    for (std::size_t i = 0; i < ids; ++i) d.layout[i] = static_cast<std::int32_t>(load_le<std::uint32_t>(layout.data() + kLayoutShapeSize + 4 * i));
  }
  d.dem_zlib.assign(dem.begin(), dem.end());
  return d;
}

DescriptionEntries description_entries(std::uint32_t rounds, std::uint32_t ancillas, std::span<const std::int32_t> layout,
                            const std::optional<std::string>& dem_text) {
  std::vector<std::uint8_t> layout_bytes;
  if (!layout.empty()) {
    layout_bytes.resize(kLayoutShapeSize + 4 * layout.size());
    store_le<std::uint32_t>(layout_bytes.data(), rounds);
    store_le<std::uint32_t>(layout_bytes.data() + 4, ancillas);
    for (std::size_t i = 0; i < layout.size(); ++i) {
      store_le<std::uint32_t>(layout_bytes.data() + kLayoutShapeSize + 4 * i, static_cast<std::uint32_t>(layout[i]));
    }
  }
  const std::vector<std::uint8_t> dem_bytes = dem_text ? deflate_text(*dem_text) : std::vector<std::uint8_t>{};
  DescriptionEntries out;
  using Blob = std::pair<std::uint16_t, const std::vector<std::uint8_t>*>;
  for (const auto& [key, bytes] : {Blob{kMetaKeyLayout, &layout_bytes}, Blob{kMetaKeyModel, &dem_bytes}}) {
    for (std::size_t at = 0; at < bytes->size(); at += kDescriptionPieceLimit) {
      const std::size_t end = std::min(bytes->size(), at + kDescriptionPieceLimit);
      out.entries.emplace_back(key, std::vector<std::uint8_t>(bytes->begin() + at, bytes->begin() + end));
    }
  }
  out.hash = description_hash(layout_bytes, dem_bytes);
  std::vector<std::uint8_t> hash(8);
  store_le<std::uint64_t>(hash.data(), out.hash);
  out.entries.emplace_back(kMetaKeyDescriptionHash, std::move(hash));
  return out;
}

}  // namespace kelvane

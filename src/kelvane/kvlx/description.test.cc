#include "kelvane/kvlx/description.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace kelvane {
namespace {

DescriptionPieces pieces_of(const DescriptionEntries& d) {
  DescriptionPieces pieces;
  for (const auto& [key, value] : d.entries) pieces.add(key, value);
  return pieces;
}

// Model text that zlib cannot shrink much, so that it needs several pieces.
std::string noisy_text(std::size_t size) {
  std::mt19937 rng(7);
  std::string s;
  while (s.size() < size) s += "error(0." + std::to_string(rng()) + ") D" + std::to_string(rng() % 100000) + "\n";
  return s;
}

TEST(StreamDescription, RoundTripsInPieces) {
  const std::vector<std::int32_t> layout = {0, 1, -1, 2, 3, 4};
  struct Case {
    std::uint32_t rounds, ancillas;
    std::vector<std::int32_t> layout;
    std::optional<std::string> dem;
    std::size_t entries;  // pieces plus the hash
  } cases[] = {
      {2, 3, layout, std::nullopt, 2},
      {0, 0, {}, "error(0.1) D0 L0\n", 2},
      {2, 3, layout, "error(0.1) D0 D1\n", 3},
      {2, 3, layout, noisy_text(3 * kDescriptionPieceLimit), 0},  // several model pieces
  };
  for (const Case& c : cases) {
    const DescriptionEntries d = description_entries(c.rounds, c.ancillas, c.layout, c.dem);
    if (c.entries) {
      EXPECT_EQ(d.entries.size(), c.entries);
    }
    for (const auto& [key, value] : d.entries) EXPECT_LE(value.size(), kDescriptionPieceLimit);
    auto got = assemble_description(pieces_of(d));
    ASSERT_TRUE(got.has_value()) << got.error();
    ASSERT_TRUE(got->has_value());
    const StreamDescription& s = **got;
    EXPECT_EQ(s.rounds, c.rounds);
    EXPECT_EQ(s.ancillas, c.ancillas);
    EXPECT_EQ(s.layout, c.layout);
    EXPECT_EQ(s.has_model(), c.dem.has_value());
    EXPECT_EQ(inflate_model(s), c.dem.value_or(""));
    EXPECT_EQ(s.hash, d.hash);
  }
  EXPECT_GT(description_entries(2, 3, layout, noisy_text(3 * kDescriptionPieceLimit)).entries.size(), 3u);
}

TEST(StreamDescription, DamagedPiecesMakeNoDescription) {
  const DescriptionEntries good = description_entries(2, 3, {{0, 1, -1, 2, 3, 4}}, "error(0.1) D0 D1\n");
  // Rewrites the pieces and, when `rehash`, writes the hash they then have (damage a writer made,
  // not the wire).
  auto damaged = [&](auto change, bool rehash) {
    DescriptionEntries d = good;
    change(d);
    DescriptionPieces probe = pieces_of(d);
    DescriptionPieces out;
    for (const auto& [key, value] : d.entries) {
      if (key != kMetaKeyDescriptionHash) out.add(key, value);
    }
    if (rehash) {
      const DescriptionHash h = description_hash(probe.layout_bytes(), probe.dem_bytes());
      std::vector<std::uint8_t> v(8);
      for (int i = 0; i < 8; ++i) v[i] = static_cast<std::uint8_t>(h >> (8 * i));
      out.add(kMetaKeyDescriptionHash, v);
    } else if (probe.hash()) {
      std::vector<std::uint8_t> v(8);
      for (int i = 0; i < 8; ++i) v[i] = static_cast<std::uint8_t>(*probe.hash() >> (8 * i));
      out.add(kMetaKeyDescriptionHash, v);
    }
    return assemble_description(out);
  };
  struct Case {
    const char* what;
    std::function<void(DescriptionEntries&)> change;
    bool rehash;
    std::string text;
  } cases[] = {
      {"a flipped model byte", [](DescriptionEntries& d) { d.entries[1].second[5] ^= 1; }, false,
       "the stream's stored layout and model do not match their hash"},
      {"no hash", [](DescriptionEntries& d) { d.entries.pop_back(); }, false,
       "the stream's stored layout and model come without their hash"},
      {"a layout missing an id", [](DescriptionEntries& d) { d.entries[0].second.resize(8 + 20); }, true,
       "the stream's stored layout of 2 x 3 entries holds 20 bytes of ids"},
  };
  for (const Case& c : cases) {
    auto got = damaged(c.change, c.rehash);
    ASSERT_FALSE(got.has_value()) << c.what;
    EXPECT_EQ(got.error(), c.text) << c.what;
  }
  EXPECT_FALSE(assemble_description(DescriptionPieces{})->has_value());  // no pieces: no description
}

// The model is inflated only when asked, and never past the limit: what a stored model inflates
// to is refused at limit + 1 bytes, whatever the zlib stream would go on to give.
TEST(StreamDescription, ModelsInflateWhenAskedWithinTheLimit) {
  const auto stored = [](std::vector<std::uint8_t> zlib) {
    StreamDescription d;
    d.dem_zlib = std::move(zlib);
    return d;
  };
  const auto compressed = [&](const std::string& text) {
    std::vector<std::uint8_t> zlib;
    for (const auto& [key, value] : description_entries(0, 0, {}, text).entries) {
      if (key == kMetaKeyModel) zlib.insert(zlib.end(), value.begin(), value.end());
    }
    return zlib;
  };
  const std::string text(4096, '#');
  std::vector<std::uint8_t> cut = compressed(text), trailing = compressed(text);
  cut.pop_back();
  trailing.push_back(0);
  const std::string not_text = "the stream's stored model is not zlib-compressed UTF-8 text";
  const std::string past_4096 = "the stream's stored model inflates past 4096 bytes of text, the most a stored "
                                "model may hold: refused";
  struct Case {
    const char* what;
    StreamDescription d;
    std::size_t limit;
    std::expected<std::string, std::string> want;
  } cases[] = {
      {"no model", stored({}), 16, ""},
      {"at the limit", stored(compressed(text)), 4096, text},
      {"one byte past it", stored(compressed(text + "#")), 4096, std::unexpected(past_4096)},
      {"far past it (zlib of repeated bytes)", stored(compressed(std::string(1 << 24, '#'))), 4096,
       std::unexpected(past_4096)},
      {"past the real limit", stored(compressed(std::string(kMaxModelText + 1, '#'))), kMaxModelText,
       std::unexpected(std::string("the stream's stored model inflates past 64 MiB of text, the most a stored model "
                                   "may hold: refused"))},
      {"not zlib", stored({1, 2, 3}), 4096, std::unexpected(not_text)},
      {"cut short", stored(cut), 4096, std::unexpected(not_text)},
      {"bytes after the stream", stored(trailing), 4096, std::unexpected(not_text)},
      {"not UTF-8", stored(compressed("error(0.1) D0 \xff\n")), 4096, std::unexpected(not_text)},
  };
  for (const Case& c : cases) EXPECT_EQ(inflate_model(c.d, c.limit), c.want) << c.what;
}

}  // namespace
}  // namespace kelvane

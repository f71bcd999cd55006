// Writes KVLX reference files with the C++ encoder, from a fixed list of frames that covers every
// flag combination, empty and long runs, metadata (typed, raw, unknown and wrong-length entries),
// annotations and the damaged-data options. tests/test_kvlx_writer.py builds the same frames with
// kelvane.kvlx.KvlxWriter and compares the bytes.
//
// Usage: kvlx_reference OUTDIR   (writes OUTDIR/reference.kvlx and OUTDIR/bad_header.kvlx)
#include <cstdio>
#include <string>
#include <vector>

#include "kelvane/kvlx/encoder.h"
#include "kelvane/kvlx/metadata_keys.h"

namespace {

using kelvane::FrameSpec;
using Bytes = std::vector<std::uint8_t>;

constexpr int kRegularFrames = 32;
constexpr std::size_t kSizes[] = {0, 1, 5, 8, 9, 17, 130, 300};
constexpr std::uint8_t kCodeTypes[] = {1, 2, 3, 4, 5, 6, 7, 8, 255, 0, 200};

Bytes le(std::uint64_t v, std::size_t width) {
  Bytes b(width);
  for (std::size_t k = 0; k < width; ++k) b[k] = static_cast<std::uint8_t>(v >> (8 * k));
  return b;
}

Bytes utf8(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Frame i of the regular list: flags i % 16, sizes and contents from simple formulas of i.
FrameSpec regular_frame(std::uint64_t i) {
  FrameSpec s;
  const std::size_t n = kSizes[i % 8];
  s.header.frame_id = i * 3 + 1;
  s.header.round = static_cast<std::uint32_t>(i);
  s.header.timestamp_ns = 1000000000ULL * i + 17;
  s.header.qubit_count = static_cast<std::uint16_t>(2 * n + 1);
  s.header.ancilla_count = static_cast<std::uint16_t>(n);
  s.header.header_word = static_cast<std::uint32_t>(0xABCD0000u + i);
  s.header.code_type = kCodeTypes[i % 11];
  s.header.distance = static_cast<std::uint8_t>(3 + 2 * (i % 4));
  s.header.flags = static_cast<std::uint16_t>(i % 16);
  s.payload_crc = i % 4 != 3;
  for (std::size_t j = 0; j < n; ++j) {
    s.detector_events.push_back((j * 7 + i * 3) % 13 < i % 5 ? 1 : 0);
    s.meas_results.push_back(static_cast<std::int8_t>(static_cast<int>((j * 37 + i * 11) % 256) - 128));
    s.timing_offsets.push_back(static_cast<std::uint16_t>((j * 1009 + i * 17) % 65536));
  }
  for (std::size_t k = 0; k < (n + 7) / 8; ++k) s.ancilla_bits.push_back(static_cast<std::uint8_t>((k * 29 + i) % 256));
  const std::uint64_t flips = (1ULL << (i % 64)) | i;
  if (i % 3 == 0) {
    kelvane::FrameMetadata m;
    m.metadata_text = "frame " + std::to_string(i) + " \xC3\xA9\xE2\x9C\x93";
    m.metadata_word_a = static_cast<std::uint32_t>(i * 1000003);
    m.metadata_byte = static_cast<std::uint8_t>(i);
    m.observable_flips = flips;
    s.metadata = kelvane::metadata_entries(m);
  } else {
    const kelvane::MetadataEntry pool[] = {
        {kelvane::kMetaKeyObservableFlips, le(flips, 8)},
        {99, Bytes{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i + 1), static_cast<std::uint8_t>(i + 2)}},
        {kelvane::kMetaKeyObservableFlips, le(i, 4)},
        {kelvane::kMetaKeyWordB, le(i * 7, 4)},
        {kelvane::kMetaKeyText, utf8("")},
        {kelvane::kMetaKeyByte, Bytes{1, 2}},
    };
    for (std::size_t k = 0; k < 1 + i % 6; ++k) s.metadata.push_back(pool[k]);
  }
  for (std::uint64_t k = 0; k < i % 4; ++k) {
    s.annotations.push_back({(i << 40) + k, static_cast<std::uint8_t>(k + 1), static_cast<std::uint8_t>(255 - k)});
  }
  return s;
}

std::vector<FrameSpec> reference_frames() {
  std::vector<FrameSpec> frames;
  for (int i = 0; i < kRegularFrames; ++i) frames.push_back(regular_frame(static_cast<std::uint64_t>(i)));

  FrameSpec all_fired = regular_frame(32);  // one long fired run: 127 + 127 + 46
  all_fired.header.flags = 0;
  all_fired.detector_events.assign(300, 1);
  frames.push_back(all_fired);

  FrameSpec explicit_rle = regular_frame(33);
  explicit_rle.detector_events_rle = Bytes{0x80, 0x00, 0x85, 0x7F};
  frames.push_back(explicit_rle);

  FrameSpec upper_flags = regular_frame(34);
  upper_flags.header.flags = 0xFFFF;
  frames.push_back(upper_flags);

  FrameSpec bad_header_crc = regular_frame(35);
  bad_header_crc.header_crc = 0xDEADBEEF;
  frames.push_back(bad_header_crc);

  FrameSpec bad_trailer = regular_frame(36);
  bad_trailer.trailer.marker = 0xFFFE;
  bad_trailer.trailer.crc = 0x01020304;
  frames.push_back(bad_trailer);

  FrameSpec counts = regular_frame(37);
  counts.header.flags = kelvane::kFlagMetadata | kelvane::kFlagAnnotations;
  counts.metadata_count = 0;
  counts.annotation_count = 200;
  frames.push_back(counts);

  FrameSpec bad_text = regular_frame(38);
  bad_text.header.flags = kelvane::kFlagMetadata;
  bad_text.metadata = {{kelvane::kMetaKeyText, Bytes{0xFF, 0xFE}}};
  frames.push_back(bad_text);

  FrameSpec no_trailer = regular_frame(39);
  no_trailer.trailer.present = false;
  frames.push_back(no_trailer);
  return frames;
}

bool write_file(const std::string& path, const Bytes& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  kelvane::FileHeader header;
  for (std::size_t k = 0; k < 16; ++k) header.schema_id[k] = static_cast<std::uint8_t>(k * 17);
  header.file_word = 0x12345678;
  Bytes out = kelvane::encode_file_header(header);
  for (const FrameSpec& frame_spec : reference_frames()) {
    if (auto r = kelvane::append_frame(out, frame_spec); !r) {
      std::fprintf(stderr, "encoding failed: %s\n", r.error().to_string().c_str());
      return 1;
    }
  }
  kelvane::FileHeader bad;
  bad.magic = 0x584C564B;
  bad.version = 2;
  if (!write_file(dir + "/reference.kvlx", out) || !write_file(dir + "/bad_header.kvlx", kelvane::encode_file_header(bad))) {
    std::perror("write");
    return 1;
  }
  return 0;
}

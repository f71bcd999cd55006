#include "kelvane/kvlx/parser.h"

#include <string>

#include "kelvane/kvlx/crc32.h"
#include "kelvane/kvlx/le_bytes.h"
#include "kelvane/kvlx/metadata_keys.h"
#include "kelvane/util/utf8.h"

namespace kelvane {

namespace {
// One annotation entry: kind (u8), value (u64), aux (u8).
constexpr std::size_t kAnnotationBytes = 10;
}  // namespace

Result<Parsed<FileHeader>> parse_file_header(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kFileHeaderSize) {
    return fail(errors::PayloadLengthMismatch{static_cast<std::uint32_t>(kFileHeaderSize), bytes.size()});
  }
  const std::uint8_t* p = bytes.data();
  FileHeader h;
  h.magic = load_le<std::uint32_t>(p);
  if (h.magic != kKvlxMagic) return fail(errors::InvalidMagic{h.magic});
  h.version = load_le<std::uint16_t>(p + 4);
  if (h.version != kKvlxVersion) return fail(errors::UnsupportedVersion{h.version});
  for (std::size_t i = 0; i < h.schema_id.size(); ++i) h.schema_id[i] = p[6 + i];
  h.file_word = load_le<std::uint32_t>(p + 22);
  return Parsed<FileHeader>{h, kFileHeaderSize};
}

std::vector<Annotation> parse_annotations(std::span<const std::uint8_t> bytes) {
  std::vector<Annotation> out;
  if (bytes.empty()) return out;
  const std::size_t count = bytes[0];
  out.reserve(count);
  const std::size_t available = (bytes.size() - 1) / kAnnotationBytes;
  const std::size_t n = count < available ? count : available;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* e = bytes.data() + 1 + i * kAnnotationBytes;
    Annotation a;
    a.kind = e[0];
    a.value = load_le<std::uint64_t>(e + 1);
    a.aux = e[9];
    out.push_back(a);
  }
  return out;
}

void apply_metadata_entry(FrameMetadata& meta, std::uint16_t key, std::span<const std::uint8_t> value) {
  const std::uint8_t* p = value.data();
  switch (key) {
    case kMetaKeyText:
      if (is_valid_utf8(value)) {
        meta.metadata_text.emplace(reinterpret_cast<const char*>(p), value.size());
      } else {
        meta.metadata_text.reset();
      }
      return;
    case kMetaKeyWordA:
      if (value.size() == 4) meta.metadata_word_a = load_le<std::uint32_t>(p);
      return;
    case kMetaKeyWordB:
      if (value.size() == 4) meta.metadata_word_b = load_le<std::uint32_t>(p);
      return;
    case kMetaKeyByte:
      if (value.size() == 1) meta.metadata_byte = p[0];
      return;
    case kMetaKeyObservableFlips:
      if (value.size() == 8) meta.observable_flips = load_le<std::uint64_t>(p);
      return;
    case kMetaKeyHighObservableFlips: {
      if (value.size() < 2) return;
      const std::uint16_t count = load_le<std::uint16_t>(p);
      if (count <= 64 || count > ObservableBits::kMaxObservables || value.size() != 2 + (count - 64 + 7) / 8u) return;
      HighObservableFlips high{count, {}};
      for (std::size_t k = 0; k < count - 64u; ++k) {
        if ((p[2 + k / 8] >> (k % 8)) & 1) high.bits.flip(64 + k);
      }
      meta.high_observable_flips = high;
      return;
    }
    case kMetaKeyDescriptionHash:
      if (value.size() == 8) meta.description_hash = load_le<std::uint64_t>(p);
      return;
    default:
      return;
  }
}

void finish_metadata(FrameMetadata& meta) {
  if (!meta.observable_flips) meta.high_observable_flips.reset();
}

}  // namespace kelvane

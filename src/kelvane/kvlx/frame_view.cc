#include "kelvane/kvlx/frame_view.h"

#include "kelvane/kvlx/frame_walk.h"
#include "kelvane/kvlx/le_bytes.h"
#include "kelvane/kvlx/parser.h"

namespace kelvane {

std::optional<FrameMetadata> FrameView::metadata() const {
  if (parsed_metadata) return *parsed_metadata;
  if (metadata_block.size() < kMetadataCountSize) return std::nullopt;
  // The block was walked whole before the frame was handed out: every entry is in it.
  std::optional<FrameMetadata> meta(std::in_place);
  const std::uint8_t* p = metadata_block.data();
  const std::size_t count = load_le<std::uint16_t>(p);
  std::size_t q = kMetadataCountSize;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint16_t key = load_le<std::uint16_t>(p + q);
    const std::size_t length = load_le<std::uint16_t>(p + q + 2);
    q += kMetadataEntryHeadSize;
    apply_metadata_entry(*meta, key, metadata_block.subspan(q, length));
    q += length;
  }
  return meta;
}

}  // namespace kelvane

#include "kelvane/kvlx/ring_buffer.h"

#include <gtest/gtest.h>

#include <deque>
#include <numeric>
#include <random>

namespace kelvane {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes iota_bytes(std::size_t n, std::uint8_t first) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), first);
  return b;
}

Bytes to_bytes(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

TEST(RingBuffer, StartsEmpty) {
  RingBuffer rb(4);
  EXPECT_EQ(rb.capacity(), 4u);
  EXPECT_EQ(rb.buffered(), 0u);
  EXPECT_EQ(rb.free_space(), 4u);
  EXPECT_FALSE(rb.peek(1).has_value());
}

TEST(RingBuffer, WriteStoresOnlyWhatFits) {
  RingBuffer rb(8);
  EXPECT_EQ(rb.write(iota_bytes(4, 100)), 4u);
  EXPECT_EQ(rb.write(iota_bytes(10, 1)), 4u);  // 4 free bytes: the first 4 input bytes
  EXPECT_EQ(to_bytes(*rb.peek(8)), (Bytes{100, 101, 102, 103, 1, 2, 3, 4}));
  EXPECT_EQ(rb.write(iota_bytes(3, 50)), 0u);  // full: nothing changes
  EXPECT_EQ(rb.write({}), 0u);
  EXPECT_EQ(rb.buffered(), 8u);
  EXPECT_EQ(rb.write_pos(), 8u);
  EXPECT_EQ(to_bytes(*rb.peek(8)), (Bytes{100, 101, 102, 103, 1, 2, 3, 4}));
}

TEST(RingBuffer, WrapAroundPeekIsAbsentPeekWrappedAssemblesInStreamOrder) {
  RingBuffer rb(8);
  ASSERT_EQ(rb.write(iota_bytes(6, 0)), 6u);
  rb.consume(5);
  ASSERT_EQ(rb.write(iota_bytes(6, 10)), 6u);  // two at the end of storage, four at its start
  EXPECT_EQ(rb.buffered(), 7u);
  rb.consume(1);
  EXPECT_FALSE(rb.peek(6).has_value());
  Bytes scratch;
  scratch.reserve(64);
  const auto* allocation = scratch.data();
  const auto view = rb.peek_wrapped(6, scratch);
  ASSERT_TRUE(view.has_value());
  EXPECT_EQ(to_bytes(*view), iota_bytes(6, 10));
  EXPECT_EQ(view->data(), scratch.data());
  EXPECT_EQ(scratch.data(), allocation);  // cleared, allocation kept
  EXPECT_TRUE(rb.peek(2).has_value());    // the two bytes before the end do not wrap
  EXPECT_FALSE(rb.peek_wrapped(7, scratch).has_value());
}

TEST(RingBuffer, ZeroLengthPeeksAreEmptyViews) {
  RingBuffer rb(3);
  Bytes scratch;
  for (int round = 0; round < 4; ++round) {
    ASSERT_TRUE(rb.peek(0).has_value());
    EXPECT_TRUE(rb.peek(0)->empty());
    ASSERT_TRUE(rb.peek_wrapped(0, scratch).has_value());
    EXPECT_TRUE(rb.peek_wrapped(0, scratch)->empty());
    rb.write(iota_bytes(2, 0));
    rb.consume(2);
  }
}

TEST(RingBuffer, NonWrappingPeekWrappedViewsStorageAndLeavesScratchAlone) {
  RingBuffer rb(16);
  rb.write(iota_bytes(5, 1));
  Bytes scratch{9, 9};
  const auto view = rb.peek_wrapped(5, scratch);
  ASSERT_TRUE(view.has_value());
  EXPECT_NE(view->data(), scratch.data());
  EXPECT_EQ(scratch, (Bytes{9, 9}));
  EXPECT_EQ(to_bytes(*view), iota_bytes(5, 1));
}

TEST(RingBuffer, CapacityOfOne) {
  RingBuffer rb(1);
  Bytes scratch;
  for (std::uint8_t v = 0; v < 5; ++v) {
    EXPECT_EQ(rb.write(Bytes{v, 77}), 1u);
    EXPECT_EQ(to_bytes(*rb.peek_wrapped(1, scratch)), Bytes{v});
    rb.consume(1);
  }
  EXPECT_EQ(rb.read_pos(), 5u);
}

// Random write / peek / peek_wrapped / consume sequences against a deque model,
// with small capacities so that the wrap point is crossed again and again, and one larger than
// the initial storage so that the storage grows while bytes wrap.
TEST(RingBuffer, BehavesLikeADequeUnderRandomOperations) {
  std::mt19937 rng(424242);
  for (std::size_t capacity : {1u, 2u, 3u, 7u, 8u, 64u, 1000u, 300000u}) {
    RingBuffer rb(capacity);
    std::deque<std::uint8_t> model;
    Bytes scratch;
    std::uint8_t next = 0;
    const std::size_t max_len = std::min<std::size_t>(capacity + 3, 50000);
    for (int op = 0; op < (capacity > 1000 ? 3000 : 20000); ++op) {
      const std::size_t len = rng() % max_len;
      switch (rng() % 4) {
        case 0: {
          Bytes input(len);
          for (auto& b : input) b = next++;
          const std::size_t stored = rb.write(input);
          ASSERT_EQ(stored, std::min(len, capacity - model.size()));
          model.insert(model.end(), input.begin(), input.begin() + static_cast<std::ptrdiff_t>(stored));
          next = static_cast<std::uint8_t>(next - (len - stored));  // unstored bytes are offered again
          break;
        }
        case 1: {
          const auto view = rb.peek(len);
          if (len > model.size()) {
            ASSERT_FALSE(view.has_value());
          } else if (view) {
            ASSERT_EQ(to_bytes(*view), Bytes(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(len)));
          } else {
            // Absent only when the range wraps around the end of storage.
            ASSERT_GT(rb.read_pos() % rb.storage_size() + len, rb.storage_size());
          }
          break;
        }
        case 2: {
          const auto view = rb.peek_wrapped(len, scratch);
          ASSERT_EQ(view.has_value(), len <= model.size());
          if (view) {
            ASSERT_EQ(to_bytes(*view), Bytes(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(len)));
          }
          break;
        }
        default: {
          const std::size_t n = model.empty() ? 0 : rng() % (model.size() + 1);
          rb.consume(n);
          model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(n));
          break;
        }
      }
      ASSERT_EQ(rb.buffered(), model.size());
      ASSERT_LE(rb.buffered(), capacity);
      ASSERT_LE(rb.storage_size(), capacity);
      ASSERT_EQ(rb.write_pos() - rb.read_pos(), model.size());
    }
    if (capacity > kRingInitialStorage) {
      EXPECT_GT(rb.storage_size(), kRingInitialStorage);
    }
  }
}

TEST(RingBuffer, StorageGrowsOnlyAsFarAsTheBytesHeld) {
  RingBuffer rb(4u << 20);
  EXPECT_EQ(rb.storage_size(), kRingInitialStorage);
  for (int i = 0; i < 1000; ++i) {  // 4 MB through the ring, never more than 4000 bytes held
    ASSERT_EQ(rb.write(iota_bytes(3000, static_cast<std::uint8_t>(i))), 3000u);
    ASSERT_FALSE(rb.write_moves_storage(1000));
    rb.consume(1000);
    ASSERT_EQ(rb.write(iota_bytes(2000, static_cast<std::uint8_t>(i))), 2000u);
    rb.consume(4000);
  }
  EXPECT_EQ(rb.storage_size(), kRingInitialStorage);
  EXPECT_FALSE(rb.write_moves_storage(kRingInitialStorage));
  EXPECT_TRUE(rb.write_moves_storage(kRingInitialStorage + 1));
}

}  // namespace
}  // namespace kelvane

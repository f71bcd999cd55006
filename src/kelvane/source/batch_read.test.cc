#include "kelvane/source/batch_read.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "kelvane/kvlx/encoder.h"
#include "kelvane/source/frame_source.h"
#include "kelvane/util/diagnostics.h"

namespace kelvane {
namespace {

// Hands out the bytes 7 at a time, so headers and sections wrap and arrive in pieces.
struct SlowMemory {
  const std::vector<std::uint8_t>* bytes;
  std::size_t pos = 0;
  Result<std::size_t> read(std::span<std::uint8_t> buf) {
    const std::size_t n = std::min({std::size_t{7}, buf.size(), bytes->size() - pos});
    std::copy_n(bytes->begin() + static_cast<std::ptrdiff_t>(pos), n, buf.begin());
    pos += n;
    return n;
  }
  void set_wait(WaitContext*) {}
};

// Frame `id` with n ancillas; even ids carry observable flips 7 * id.
FrameSpec frame(std::uint64_t id, std::uint16_t n) {
  FrameSpec s;
  s.header.frame_id = id;
  s.header.round = static_cast<std::uint32_t>(id % 3);
  s.header.timestamp_ns = 10 * id;
  s.header.ancilla_count = n;
  for (std::uint16_t i = 0; i < n; ++i) s.detector_events.push_back((i + id) % 3 == 0);
  s.meas_results.assign(n, 0);
  if (id % 2 == 0) {
    s.header.flags = kFlagMetadata;
    FrameMetadata meta;
    meta.observable_flips = 7 * id;
    s.metadata = metadata_entries(meta);
  }
  return s;
}

// A source of frames whose ancilla counts are `counts`, then (if `damaged`) a frame whose
// header CRC is wrong.
struct Frames final : FrameSource {
  std::vector<std::uint8_t> bytes;
  KvlxStream<SlowMemory> stream;

  Frames(const std::vector<std::uint16_t>& counts, bool damaged, StreamConfig config = {})
      : FrameSource(*Runtime::shared()), bytes(encode_file_header(FileHeader{})), stream(SlowMemory{&bytes}, std::move(config)) {
    std::uint64_t id = 1;
    for (std::uint16_t n : counts) EXPECT_TRUE(append_frame(bytes, frame(id++, n)));
    if (damaged) {
      FrameSpec bad = frame(id, 3);
      bad.header_crc = 1;
      EXPECT_TRUE(append_frame(bytes, bad));
    }
  }
  Result<std::optional<OwnedFrame>> read_next(WaitContext& ctx) override { return next_owned_frame(stream, ctx); }
  Status read_next_batch(std::size_t max_frames, FrameBatch& out, WaitContext& ctx) override {
    return read_frame_batch(stream, max_frames, out, ctx);
  }
  std::uint64_t skipped_bytes() const override { return stream.core().skipped_bytes(); }
};

TEST(FrameBatch, BatchesEndWhereTheAncillaCountChangesAndMatchTheFrames) {
  Frames source({5, 5, 5, 200, 200, 5}, false);
  BatchReader reader;
  FrameBatch batch;
  std::vector<std::size_t> sizes;
  std::uint64_t expect_id = 1;
  for (;;) {
    Result<std::size_t> got = reader.next(source, 2, batch);
    ASSERT_TRUE(got.has_value());
    if (*got == 0) break;
    sizes.push_back(*got);
    ASSERT_EQ(batch.detector_events.size(), *got * batch.ancilla_count);
    for (std::size_t i = 0; i < *got; ++i, ++expect_id) {
      const FrameSpec expected = frame(expect_id, batch.ancilla_count);
      EXPECT_EQ(batch.frame_ids[i], expect_id);
      EXPECT_EQ(batch.rounds[i], expected.header.round);
      EXPECT_EQ(batch.timestamps_ns[i], expected.header.timestamp_ns);
      EXPECT_EQ(batch.has_observable_flips[i], expect_id % 2 ? 0 : 1);
      EXPECT_EQ(batch.observable_flips[i], expect_id % 2 ? 0 : 7 * expect_id);
      for (std::size_t a = 0; a < batch.ancilla_count; ++a) {
        EXPECT_EQ(batch.detector_events[i * batch.ancilla_count + a], expected.detector_events[a]);
      }
    }
  }
  EXPECT_EQ(sizes, (std::vector<std::size_t>{2, 1, 2, 1}));
}

TEST(FrameBatch, AnErrorAfterGoodFramesComesOnTheNextCall) {
  Frames source({3, 3}, true);
  BatchReader reader;
  FrameBatch batch;
  Result<std::size_t> first = reader.next(source, 10, batch);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(*first, 2u);
  Result<std::size_t> second = reader.next(source, 10, batch);
  ASSERT_FALSE(second.has_value());
  EXPECT_TRUE(second.error().is<errors::CrcMismatch>());
  EXPECT_EQ(batch.size(), 0u);
}

TEST(FrameBatch, ASchemaCheckFailingMidBatchEndsItAsNextFrameWould) {
  // Stabiliser 0 covers qubits 0 and 1, whose results (0, 0) give parity 0; frame 3 fires event 0.
  HardwareSchema schema;
  schema.ancilla_count = 5;
  schema.stabilizers = {{0, StabilizerType::Z, {0, 1}}};
  StreamConfig config;
  config.registry.add(schema);
  Frames source({5, 5, 5, 5, 5}, false, std::move(config));
  BatchReader reader;
  FrameBatch batch;
  Result<std::size_t> got = reader.next(source, 10, batch);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, 2u);
  got = reader.next(source, 10, batch);
  ASSERT_FALSE(got.has_value());
  EXPECT_TRUE(got.error().is<errors::ParityViolation>());
  got = reader.next(source, 10, batch);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(batch.frame_ids, (std::vector<std::uint64_t>{4, 5}));
}

// Counts the validation spans opened.
struct CountingSink final : diagnostics::Sink {
  int validations = 0;
  diagnostics::SpanId create(const diagnostics::SpanMeta& meta, std::span<const diagnostics::Field>) override {
    validations += meta.name == "kvlx.frame_validate";
    return 0;
  }
  void enter(diagnostics::SpanId) override {}
  void exit(diagnostics::SpanId) override {}
  void close(diagnostics::SpanId) override {}
};

TEST(FrameBatch, EveryFrameOpensItsSpansWhileASinkListens) {
  Frames source({4, 4, 4}, false);
  CountingSink sink;
  diagnostics::set_sink(&sink);
  BatchReader reader;
  FrameBatch batch;
  Result<std::size_t> got = reader.next(source, 10, batch);
  diagnostics::set_sink(nullptr);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, 3u);
  EXPECT_EQ(sink.validations, 3);
}

}  // namespace
}  // namespace kelvane

#include "kelvane/source/file_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kelvane/kvlx/encoder.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "kelvane_src_XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path operator/(const std::string& name) const { return path_ / name; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void append_to(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> frame_bytes(std::uint64_t id, std::vector<std::uint8_t> events, std::optional<std::uint64_t> flips) {
  FrameSpec s;
  s.header.frame_id = id;
  s.header.round = static_cast<std::uint32_t>(id + 1);
  s.header.ancilla_count = static_cast<std::uint16_t>(events.size());
  s.detector_events = events;
  s.meas_results.assign(events.size(), -1);
  if (flips) {
    s.header.flags = kFlagMetadata;
    FrameMetadata m;
    m.observable_flips = flips;
    s.metadata = metadata_entries(m);
  }
  std::vector<std::uint8_t> out;
  EXPECT_TRUE(append_frame(out, s).has_value());
  return out;
}

std::shared_ptr<Runtime> runtime() {
  auto rt = Runtime::create();
  EXPECT_TRUE(rt.has_value());
  return std::move(*rt);
}

TEST(FileSource, OpenFailuresCarryTheOsError) {
  auto rt = runtime();
  TempDir dir;
  for (const std::string& path : {std::string(), (dir / "missing.kvlx").string()}) {
    auto src = FileSource::open(rt, path);
    ASSERT_FALSE(src.has_value());
    EXPECT_EQ(src.error().to_string(), "i/o error: No such file or directory (os error 2)");
  }
}

TEST(FileSource, DirectoryOpensAndFailsOnFirstRead) {
  auto rt = runtime();
  TempDir dir;
  auto src = FileSource::open(rt, dir.path().string());
  ASSERT_TRUE(src.has_value());
  for (int i = 0; i < 2; ++i) {
    auto f = (*src)->next_owned();
    ASSERT_FALSE(f.has_value());
    EXPECT_EQ(f.error().to_string(), "i/o error: Is a directory (os error 21)");
  }
}

TEST(FileSource, ConvertsFramesAndFollowsAGrowingFile) {
  auto rt = runtime();
  TempDir dir;
  const fs::path p = dir / "run.kvlx";
  append_to(p, {});
  auto src = FileSource::open(rt, p.string());
  ASSERT_TRUE(src.has_value());
  auto end = (*src)->next_owned();  // an empty file: the end, no error
  ASSERT_TRUE(end.has_value());
  EXPECT_FALSE(end->has_value());

  append_to(p, encode_file_header(FileHeader{}));
  append_to(p, frame_bytes(3, {0, 1, 1, 0, 1}, 6));
  auto f = (*src)->next_owned();
  ASSERT_TRUE(f.has_value() && f->has_value());
  EXPECT_EQ((*f)->frame_id, 3u);
  EXPECT_EQ((*f)->round, 4u);
  EXPECT_EQ((*f)->detector_events, (std::vector<std::uint8_t>{0, 1, 1, 0, 1}));
  EXPECT_EQ((*f)->detector_event_count, 3u);
  EXPECT_EQ((*f)->meas_results, (std::vector<std::int8_t>(5, -1)));
  EXPECT_EQ((*f)->observable_flips, 6u);
  end = (*src)->next_owned();
  ASSERT_TRUE(end.has_value());
  EXPECT_FALSE(end->has_value());

  append_to(p, frame_bytes(4, {1}, std::nullopt));
  f = (*src)->next_owned();
  ASSERT_TRUE(f.has_value() && f->has_value());
  EXPECT_EQ((*f)->frame_id, 4u);
  EXPECT_FALSE((*f)->observable_flips.has_value());
}

// Frames far larger than the 8192-byte buffer, and many small ones, cross refills anywhere.
TEST(FileSource, ReadsAcrossBufferRefills) {
  auto rt = runtime();
  TempDir dir;
  const fs::path p = dir / "big.kvlx";
  std::vector<std::uint8_t> bytes = encode_file_header(FileHeader{});
  std::vector<std::vector<std::uint8_t>> events;
  for (std::uint64_t id = 0; id < 300; ++id) {
    std::vector<std::uint8_t> e(id % 7 == 0 ? 20000 : id % 50, 0);
    for (std::size_t i = 0; i < e.size(); i += 3 + id % 5) e[i] = 1;
    auto fb = frame_bytes(id, e, id);
    bytes.insert(bytes.end(), fb.begin(), fb.end());
    events.push_back(std::move(e));
  }
  append_to(p, bytes);
  auto src = FileSource::open(rt, p.string());
  ASSERT_TRUE(src.has_value());
  for (std::uint64_t id = 0; id < 300; ++id) {
    auto f = (*src)->next_owned();
    ASSERT_TRUE(f.has_value() && f->has_value()) << id;
    EXPECT_EQ((*f)->frame_id, id);
    EXPECT_EQ((*f)->detector_events, events[id]);
  }
  auto end = (*src)->next_owned();
  ASSERT_TRUE(end.has_value());
  EXPECT_FALSE(end->has_value());

  // The same frames through the block parser, in blocks of up to 1, 7 and all frames, the
  // events decoded by the sink into its own row.
  for (const std::size_t block : {std::size_t{1}, std::size_t{7}, static_cast<std::size_t>(-1)}) {
    auto again = FileSource::open(rt, p.string());
    ASSERT_TRUE(again.has_value());
    std::uint64_t next = 0;
    std::vector<std::uint8_t> row;
    auto sink = [&](const FrameView& v) {
      row.resize(v.ancilla_count());
      v.events_to_bytes(row);
      EXPECT_EQ(v.header.frame_id, next);
      EXPECT_EQ(v.observable_flips, std::optional<std::uint64_t>(next));
      EXPECT_EQ(row, events[next]) << next;
      ++next;
      return true;
    };
    BlockLimits limits;
    limits.max_frames = block;
    WaitContext unlimited;
    for (int calls = 0; calls < 400; ++calls) {
      Result<BlockEnd> got = (*again)->read_block(limits, FrameSinkRef(sink), unlimited);
      ASSERT_TRUE(got.has_value()) << got.error().to_string();
      if (*got == BlockEnd::kNoData) break;
    }
    EXPECT_EQ(next, 300u) << "blocks of " << block;
  }
}

TEST(Runtime, StartsAndStopsItsThreads) {
  for (int i = 0; i < 50; ++i) {
    auto rt = Runtime::create({2, 2});
    ASSERT_TRUE(rt.has_value());
    EXPECT_EQ((*rt)->run_blocking([] { return 7; }), 7);
    EXPECT_NE((*rt)->run_on_io([] { return std::this_thread::get_id(); }), std::this_thread::get_id());
  }
}

}  // namespace
}  // namespace kelvane

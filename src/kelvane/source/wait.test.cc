// Waits that stop (deadline, cancellation, interruption) lose no bytes; dead connections and
// idle FIFOs never hang.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <thread>
#include <vector>

#include "kelvane/kvlx/encoder.h"
#include "kelvane/source/file_source.h"
#include "kelvane/source/tcp_source.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> stream_bytes(const std::vector<std::size_t>& sizes) {
  std::vector<std::uint8_t> out = encode_file_header(FileHeader{});
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    FrameSpec s;
    s.header.frame_id = i + 1;
    s.header.ancilla_count = static_cast<std::uint16_t>(sizes[i]);
    s.detector_events.assign(sizes[i], 0);
    for (std::size_t j = i % 3; j < sizes[i]; j += 5) s.detector_events[j] = 1;
    s.meas_results.assign(sizes[i], static_cast<std::int8_t>(i));
    EXPECT_TRUE(append_frame(out, s).has_value());
  }
  return out;
}

// Serves `bytes` in pieces of `chunk` from memory; every `stop_every`-th read stops waiting
// instead (without taking anything), as a timed-out or interrupted read does.
class StoppingReader {
 public:
  StoppingReader(std::vector<std::uint8_t> bytes, std::size_t chunk, int stop_every)
      : bytes_(std::move(bytes)), chunk_(chunk), stop_every_(stop_every) {}
  Result<std::size_t> read(std::span<std::uint8_t> buf) {
    if (stop_every_ && ++calls_ % stop_every_ == 0) return fail(wait_->stopped(WaitStop::interrupted));
    const std::size_t n = std::min({buf.size(), chunk_, bytes_.size() - pos_});
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_), n, buf.begin());
    pos_ += n;
    return n;
  }
  void set_wait(WaitContext* ctx) { wait_ = ctx; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t chunk_;
  int stop_every_;
  int calls_ = 0;
  std::size_t pos_ = 0;
  WaitContext* wait_ = nullptr;
};

std::vector<OwnedFrame> read_all(KvlxStream<StoppingReader>& stream) {
  std::vector<OwnedFrame> frames;
  WaitContext ctx;
  for (int guard = 0; guard < 100000; ++guard) {
    auto f = next_owned_frame(stream, ctx);
    if (!f) {
      EXPECT_EQ(ctx.stop, WaitStop::interrupted) << f.error().to_string();
      continue;
    }
    if (!*f) break;
    frames.push_back(std::move(**f));
  }
  return frames;
}

// Frames cut anywhere by stopped reads come back whole, including frames larger than the ring's
// initial storage (growing it mid-frame).
TEST(DeadlineAfter, CountsSecondsAndTakesWaitsBeyondTheClockAsUnlimited) {
  const WaitClock::time_point now = WaitClock::now();
  EXPECT_EQ(deadline_after(0, now), now);
  EXPECT_EQ(deadline_after(1.5, now), now + 1500ms);
  EXPECT_GT(deadline_after(1e9, now), now + std::chrono::hours(24 * 365 * 30));  // 31 years: counted
  for (const double seconds : {1e10, 1e12, 1e300}) EXPECT_FALSE(deadline_after(seconds, now).has_value());
}

TEST(StoppedWait, ReadsTheSameFramesAgain) {
  const auto bytes = stream_bytes({3, 700, 65535, 12, 40000, 1, 0, 99});
  KvlxStream<StoppingReader> plain(StoppingReader(bytes, 4096, 0), {});
  const std::vector<OwnedFrame> expected = read_all(plain);
  ASSERT_EQ(expected.size(), 8u);
  for (std::size_t chunk : {1u, 37u, 4096u}) {
    for (int stop_every : {2, 3, 7}) {
      if (chunk == 1 && stop_every != 7) continue;  // byte-wise with frequent stops is slow, not different
      KvlxStream<StoppingReader> stream(StoppingReader(bytes, chunk, stop_every), {});
      const auto got = read_all(stream);
      ASSERT_EQ(got.size(), expected.size()) << chunk << "/" << stop_every;
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].frame_id, expected[i].frame_id);
        EXPECT_EQ(got[i].detector_events, expected[i].detector_events) << chunk << "/" << stop_every << "/" << i;
        EXPECT_EQ(got[i].meas_results, expected[i].meas_results);
      }
    }
  }
}

// A loopback listener whose accepted connection the test drives.
class Peer {
 public:
  Peer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(listener_, 1), 0);
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    address_ = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  }
  ~Peer() {
    if (conn_ >= 0) ::close(conn_);
    ::close(listener_);
  }
  const std::string& address() const { return address_; }
  void accept() { conn_ = ::accept(listener_, nullptr, nullptr); }
  void send(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to) {
    ASSERT_EQ(::send(conn_, bytes.data() + from, to - from, MSG_NOSIGNAL), static_cast<ssize_t>(to - from));
  }
  void reset() {
    linger l{1, 0};
    ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(conn_);
    conn_ = -1;
  }

 private:
  int listener_ = -1;
  int conn_ = -1;
  std::string address_;
};

std::shared_ptr<Runtime> runtime() {
  auto rt = Runtime::shared();
  EXPECT_TRUE(rt.has_value());
  return *rt;
}

TEST(StoppedWait, DeadlineAndCancellationStopAReadOnASilentPeer) {
  Peer peer;
  auto src = TcpSource::connect(runtime(), peer.address());
  ASSERT_TRUE(src.has_value());
  peer.accept();
  const auto bytes = stream_bytes({5, 5});
  peer.send(bytes, 0, bytes.size() - 3);

  WaitContext ctx;
  ctx.deadline = WaitClock::now() + 200ms;
  auto first = (*src)->next_owned(ctx);
  ASSERT_TRUE(first.has_value() && first->has_value());
  auto late = (*src)->next_owned(ctx);  // the second frame misses its last 3 bytes
  ASSERT_FALSE(late.has_value());
  EXPECT_EQ(ctx.stop, WaitStop::timed_out);
  EXPECT_EQ(late.error().as<errors::Io>().os_errno, ETIMEDOUT);

  std::atomic<bool> cancel{false};
  WaitContext cancellable;
  cancellable.cancelled = &cancel;
  cancellable.tick = 5ms;
  std::thread canceller([&] {
    std::this_thread::sleep_for(50ms);
    cancel = true;
  });
  auto cancelled = (*src)->next_owned(cancellable);
  canceller.join();
  ASSERT_FALSE(cancelled.has_value());
  EXPECT_EQ(cancellable.stop, WaitStop::cancelled);

  peer.send(bytes, bytes.size() - 3, bytes.size());
  auto second = (*src)->next_owned();
  ASSERT_TRUE(second.has_value() && second->has_value());
  EXPECT_EQ((*second)->frame_id, 2u);
}

TEST(DeadConnection, ItsErrorComesBackAtOnce) {
  Peer peer;
  auto src = TcpSource::connect(runtime(), peer.address());
  ASSERT_TRUE(src.has_value());
  peer.accept();
  const auto bytes = stream_bytes({5});
  peer.send(bytes, 0, 40);
  std::this_thread::sleep_for(20ms);
  peer.reset();
  for (int i = 0; i < 3; ++i) {
    WaitContext ctx;
    ctx.deadline = WaitClock::now() + 5s;  // a hang shows as a timeout
    auto f = (*src)->next_owned(ctx);
    ASSERT_FALSE(f.has_value());
    EXPECT_EQ(f.error().to_string(), "i/o error: Connection reset by peer (os error 104)");
  }
}

TEST(Fifo, OpeningWaitsForAWriterAndClosingNeverWaits) {
  const std::string path = std::filesystem::temp_directory_path() / ("kelvane_fifo_" + std::to_string(::getpid()));
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  WaitContext ctx;
  ctx.deadline = WaitClock::now() + 50ms;
  auto none = FileSource::open(runtime(), path, {}, ctx);
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(ctx.stop, WaitStop::timed_out);

  int writer = -1;
  std::thread opener([&] { writer = ::open(path.c_str(), O_WRONLY); });
  auto src = FileSource::open(runtime(), path);
  opener.join();
  ASSERT_TRUE(src.has_value());
  const auto bytes = stream_bytes({4, 6000, 6000, 6000});
  ASSERT_EQ(::write(writer, bytes.data(), 16384), 16384);
  auto f = (*src)->next_owned();
  ASSERT_TRUE(f.has_value() && f->has_value());
  src->reset();  // the writer stays open and silent: nothing to wait for
  ::close(writer);
  ::unlink(path.c_str());
}

// Sources dropped while a read is in flight (a read-ahead on a file, a stopped read on a
// socket), again and again: nothing waits, nothing leaks, and under ThreadSanitizer nothing races.
TEST(StoppedWait, SourcesCloseWithReadsInFlight) {
  const std::string path = std::filesystem::temp_directory_path() / ("kelvane_cycles_" + std::to_string(::getpid()));
  {
    const auto bytes = stream_bytes(std::vector<std::size_t>(40, 2000));
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  Peer peer;
  for (int i = 0; i < 100; ++i) {
    auto file = FileSource::open(runtime(), path);
    ASSERT_TRUE(file.has_value());
    ASSERT_TRUE((*file)->next_owned().has_value());
    file->reset();

    auto tcp = TcpSource::connect(runtime(), peer.address());
    ASSERT_TRUE(tcp.has_value());
    peer.accept();
    WaitContext ctx;
    ctx.deadline = WaitClock::now() + 1ms;
    EXPECT_FALSE((*tcp)->next_owned(ctx).has_value());
    tcp->reset();
    peer.reset();
  }
  ::unlink(path.c_str());
}

}  // namespace
}  // namespace kelvane

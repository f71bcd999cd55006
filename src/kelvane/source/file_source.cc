#include "kelvane/source/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/posix/stream_descriptor.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace kelvane {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) {
    reset();
    fd_ = o.release();
  }
  return *this;
}

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

struct BufferedFileReader::State {
  explicit State(asio::io_context& io) : descriptor(io) {}
  UniqueFd fd;                          // read on the blocking pool, or
  asio::posix::stream_descriptor descriptor;  // read on the io_context when readable
  bool polled = false;
  bool read_ahead = false;
  std::uint8_t buffers[2 * kFileBufferSize];
  Completion<long> refill;  // byte count, or minus the errno
};

BufferedFileReader::BufferedFileReader(Runtime& runtime, UniqueFd fd)
    : runtime_(&runtime), state_(std::make_shared<State>(runtime.io_context())) {
  struct stat st{};
  const bool regular = ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
  state_->read_ahead = regular;
  if (!regular) {
    // Registering with the reactor fails for what cannot be polled (/dev/zero, say): that is
    // read on the pool like a regular file.
    const int raw = fd.get();
    asio::error_code ec;
    runtime.run_on_io([&] { state_->descriptor.assign(raw, ec); return 0; });
    if (!ec) {
      fd.release();
      state_->polled = true;
    }
  }
  if (!state_->polled) state_->fd = std::move(fd);
}

BufferedFileReader::BufferedFileReader(BufferedFileReader&&) noexcept = default;

BufferedFileReader::~BufferedFileReader() {
  if (!state_) return;
  if (!runtime_->owned_here()) {
    // A forked child: close this process's copy of the descriptor; the rest belongs to
    // threads that exist only in the parent.
    ::close(state_->polled ? state_->descriptor.native_handle() : state_->fd.release());
    abandon(std::move(state_));
    return;
  }
  if (state_->polled) {
    // Closing cancels a read in flight; the state goes when its handler has run.
    asio::post(runtime_->io_context(), [s = std::move(state_)] {
      asio::error_code ignored;
      s->descriptor.close(ignored);
    });
  }
}

namespace {

// read(2) of up to kFileBufferSize bytes: the byte count, or minus the errno.
long read_buffer(int fd, std::uint8_t* dst) {
  ssize_t n;
  do {
    n = ::read(fd, dst, kFileBufferSize);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -static_cast<long>(errno) : static_cast<long>(n);
}

}  // namespace

void BufferedFileReader::start_refill(int index) {
  pending_ = true;
  pending_index_ = index;
  std::uint8_t* dst = state_->buffers + static_cast<std::size_t>(index) * kFileBufferSize;
  if (state_->polled) {
    asio::post(runtime_->io_context(), [s = state_, dst] {
      s->descriptor.async_read_some(asio::buffer(dst, kFileBufferSize), [s](const asio::error_code& ec, std::size_t n) {
        if (ec == asio::error::eof) {
          s->refill.set(0);
        } else if (ec) {
          s->refill.set(-(ec.category() == asio::error::get_system_category() ? ec.value() : EIO));
        } else {
          s->refill.set(static_cast<long>(n));
        }
      });
    });
    return;
  }
  asio::post(runtime_->blocking_pool(), [s = state_, dst] { s->refill.set(read_buffer(s->fd.get(), dst)); });
}

Result<std::size_t> BufferedFileReader::read(std::span<std::uint8_t> buf) {
  if (buf.empty()) return 0;
  if (pos_ == len_) {
    std::optional<long> got;
    if (!pending_ && inline_reads_ && !state_->polled) {
      got = read_buffer(state_->fd.get(), state_->buffers + static_cast<std::size_t>(current_) * kFileBufferSize);
    } else {
      // A read-ahead in flight already targets the other buffer; otherwise refill this one now.
      if (!pending_) start_refill(current_);
      WaitContext unlimited;
      WaitContext& ctx = wait_ ? *wait_ : unlimited;
      got = state_->refill.wait(ctx);
      if (!got) return fail(ctx.stopped(ctx.stop));  // still in flight: the next read collects it
      pending_ = false;
      current_ = pending_index_;
    }
    pos_ = len_ = 0;
    if (*got < 0) return fail(KelvaneError::from_errno(static_cast<int>(-*got)));
    len_ = static_cast<std::size_t>(*got);
    if (len_ == 0) return 0;
    if (state_->read_ahead && !inline_reads_ && len_ == kFileBufferSize) start_refill(1 - current_);
  }
  const std::size_t n = std::min(buf.size(), len_ - pos_);
  std::memcpy(buf.data(), state_->buffers + static_cast<std::size_t>(current_) * kFileBufferSize + pos_, n);
  pos_ += n;
  return n;
}

FileSource::FileSource(std::shared_ptr<Runtime> runtime, UniqueFd fd, StreamConfig config)
    : KvlxFrameSource(runtime, BufferedFileReader(*runtime, std::move(fd)), std::move(config)) {}

namespace {

// An open(2) that the caller may stop waiting for: the opener then closes what it opens.
struct PendingOpen {
  std::mutex lock;
  bool abandoned = false;
  Completion<int> done;  // the descriptor, or minus the errno

  void run(const std::string& path) {
    int fd;
    do {
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    const int result = fd < 0 ? -errno : fd;
    std::lock_guard g(lock);
    if (abandoned) {
      if (fd >= 0) ::close(fd);
      return;
    }
    done.set(result);
  }
};

}  // namespace

Result<std::unique_ptr<FileSource>> FileSource::open(std::shared_ptr<Runtime> runtime, const std::string& path,
                                                     StreamConfig config, WaitContext& ctx) {
  // open(2) would silently cut the path at the first NUL byte.
  if (path.find('\0') != std::string::npos) return fail(KelvaneError::io("path contains a NUL byte"));
  ctx.stop = WaitStop::none;
  auto pending = std::make_shared<PendingOpen>();
  struct stat st{};
  const bool fifo = ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
  try {
    if (fifo) {
      // Opening a FIFO waits for a writer, for as long as it takes: on a thread of its own, so
      // that no pool thread is held by a writer that never comes.
      std::thread([pending, path] { pending->run(path); }).detach();
    } else {
      asio::post(runtime->blocking_pool(), [pending, path] { pending->run(path); });
    }
  } catch (const std::system_error& e) {
    return fail(KelvaneError::from_errno(e.code().value()));
  }
  std::optional<int> fd = pending->done.wait(ctx);
  if (!fd) {
    {
      std::lock_guard g(pending->lock);
      pending->abandoned = true;
    }
    if (std::optional<int> late = pending->done.try_take(); late && *late >= 0) ::close(*late);
    if (fifo) {
      // Becoming the writer ends the opener's wait (when this process may write the FIFO).
      const int w = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (w >= 0) ::close(w);
    }
    return fail(ctx.stopped(ctx.stop));
  }
  if (*fd < 0) return fail(KelvaneError::from_errno(-*fd));
  return std::unique_ptr<FileSource>(new FileSource(std::move(runtime), UniqueFd(*fd), std::move(config)));
}

Status FileSource::read_next_batch(std::size_t max_frames, FrameBatch& out, WaitContext& ctx) {
  // The caller has left the interpreter for the whole batch, so refills run on this thread.
  struct InlineReads {
    BufferedFileReader& reader;
    explicit InlineReads(BufferedFileReader& r) : reader(r) { reader.set_inline_reads(true); }
    ~InlineReads() { reader.set_inline_reads(false); }
  } inline_reads(stream_.reader());
  return KvlxFrameSource::read_next_batch(max_frames, out, ctx);
}

}  // namespace kelvane

#include "kelvane/source/file_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

BufferedFileReader::BufferedFileReader(Runtime& runtime, UniqueFd fd)
    : runtime_(&runtime),
      fd_(std::move(fd)),
      buffers_(new std::uint8_t[2 * kFileBufferSize]),
      refill_(std::make_unique<Completion<long>>()) {}

BufferedFileReader::~BufferedFileReader() {
  if (refill_pending_) refill_->wait();
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
  const int fd = fd_.get();
  std::uint8_t* dst = buffers_.get() + static_cast<std::size_t>(index) * kFileBufferSize;
  Completion<long>* done = refill_.get();
  refill_pending_ = true;
  asio::post(runtime_->blocking_pool(), [fd, dst, done] { done->set(read_buffer(fd, dst)); });
}

Result<std::size_t> BufferedFileReader::finish_refill() {
  const long got = refill_->wait();
  refill_pending_ = false;
  if (got < 0) return fail(KelvaneError::from_errno(static_cast<int>(-got)));
  return static_cast<std::size_t>(got);
}

Result<std::size_t> BufferedFileReader::read(std::span<std::uint8_t> buf) {
  if (buf.empty()) return 0;
  if (pos_ == len_) {
    pos_ = len_ = 0;
    // A read-ahead in flight already targets the other buffer; otherwise refill this one now.
    Result<std::size_t> got(std::size_t{0});
    if (refill_pending_) {
      current_ = 1 - current_;
      got = finish_refill();
    } else if (inline_reads_) {
      const long n = read_buffer(fd_.get(), buffers_.get() + static_cast<std::size_t>(current_) * kFileBufferSize);
      if (n < 0) return fail(KelvaneError::from_errno(static_cast<int>(-n)));
      got = static_cast<std::size_t>(n);
    } else {
      start_refill(current_);
      got = finish_refill();
    }
    if (!got) return got;
    len_ = *got;
    if (len_ == 0) return 0;
    if (len_ == kFileBufferSize && !inline_reads_) start_refill(1 - current_);
  }
  const std::size_t n = std::min(buf.size(), len_ - pos_);
  std::memcpy(buf.data(), buffers_.get() + static_cast<std::size_t>(current_) * kFileBufferSize + pos_, n);
  pos_ += n;
  return n;
}

FileSource::FileSource(Runtime& runtime, UniqueFd fd, StreamConfig config)
    : stream_(BufferedFileReader(runtime, std::move(fd)), std::move(config)) {}

Result<std::unique_ptr<FileSource>> FileSource::open(Runtime& runtime, const std::string& path, StreamConfig config) {
  // open(2) would silently cut the path at the first NUL byte.
  if (path.find('\0') != std::string::npos) return fail(KelvaneError::io("path contains a NUL byte"));
  int fd = runtime.run_blocking([&path] {
    int r;
    do {
      r = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -errno : r;
  });
  if (fd < 0) return fail(KelvaneError::from_errno(-fd));
  return std::unique_ptr<FileSource>(new FileSource(runtime, UniqueFd(fd), std::move(config)));
}

Result<std::optional<OwnedFrame>> FileSource::next_owned() {
  return next_owned_frame(stream_);
}

Status FileSource::read_batch(std::size_t max_frames, FrameBatch& out) {
  // The caller has left the interpreter for the whole batch, so refills run on this thread.
  struct InlineReads {
    BufferedFileReader& reader;
    explicit InlineReads(BufferedFileReader& r) : reader(r) { reader.set_inline_reads(true); }
    ~InlineReads() { reader.set_inline_reads(false); }
  } inline_reads(stream_.reader());
  return read_frame_batch(stream_, max_frames, out, batch_scratch_);
}

}  // namespace kelvane

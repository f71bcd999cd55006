// Frames from a file: a KVLX reader over a 64 KiB buffered reader whose refills run on the
// runtime's blocking pool. Reads served from the buffer stay on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "kelvane/core/error.h"
#include "kelvane/kvlx/stream.h"
#include "kelvane/source/frame_source.h"
#include "kelvane/source/runtime.h"

namespace kelvane {

inline constexpr std::size_t kFileBufferSize = 65536;

// Owns an open file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  int release();
  void reset();

 private:
  int fd_ = -1;
};

// A byte source over a file descriptor with a 64 KiB buffer. Reads served from the buffer
// stay on the calling thread; refills run on the runtime's blocking pool. After a refill that
// filled the whole buffer, the next refill is started at once into a second buffer (read-ahead),
// so that the pool reads while the caller parses. After a short refill nothing is read ahead:
// the next refill reads the file afresh, so a file that grows yields its new bytes.
class BufferedFileReader {
 public:
  BufferedFileReader(Runtime& runtime, UniqueFd fd);
  BufferedFileReader(BufferedFileReader&&) noexcept = default;
  BufferedFileReader& operator=(BufferedFileReader&&) = delete;
  // Waits for a read-ahead still in flight (it writes into this reader's buffer).
  ~BufferedFileReader();

  // Copies up to buf.size() buffered bytes, refilling the buffer first when it is empty. 0 at
  // the end of the file; Io with the errno of a failed read(2).
  Result<std::size_t> read(std::span<std::uint8_t> buf);

  // With inline reads on, refills run read(2) on the calling thread and nothing is read ahead:
  // for callers that have already left the interpreter and read many frames in one go, where a
  // hand-off to the pool per refill would cost more than the read.
  void set_inline_reads(bool on) { inline_reads_ = on; }

 private:
  // read(2) of up to kFileBufferSize bytes into buffer `index`, on the pool: the byte count, or
  // minus the errno.
  void start_refill(int index);
  Result<std::size_t> finish_refill();

  Runtime* runtime_;
  UniqueFd fd_;
  std::unique_ptr<std::uint8_t[]> buffers_;  // two buffers of kFileBufferSize bytes
  std::unique_ptr<Completion<long>> refill_;
  bool refill_pending_ = false;
  bool inline_reads_ = false;
  int current_ = 0;  // the buffer being served
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

class FileSource final : public FrameSource {
 public:
  // Opens `path` for reading on the runtime's blocking pool, blocking until done. Fails with
  // Io (the operating system's error) when the file cannot be opened; an empty path is such a
  // file. Nothing is read yet, so a directory opens and fails on the first read (EISDIR).
  static Result<std::unique_ptr<FileSource>> open(Runtime& runtime, const std::string& path,
                                                  StreamConfig config = {});

  Result<std::optional<OwnedFrame>> next_owned() override;
  Status read_batch(std::size_t max_frames, FrameBatch& out) override;

 private:
  FileSource(Runtime& runtime, UniqueFd fd, StreamConfig config);

  KvlxStream<BufferedFileReader> stream_;
  std::vector<std::uint8_t> batch_scratch_;
};

}  // namespace kelvane

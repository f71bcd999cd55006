// Frames from a file, a FIFO or a device: a KVLX reader over a buffered reader of the file
// descriptor.
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
#include "kelvane/source/wait.h"

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
// stay on the calling thread. Refills of a regular file (or of a device that cannot be polled)
// run on the runtime's blocking pool; after a refill of a regular file that filled the whole
// buffer, the next refill is started at once into a second buffer (read-ahead), so that the
// pool reads while the caller parses. After a short refill nothing is read ahead: the next
// refill reads the file afresh, so a file that grows yields its new bytes. A FIFO or other
// pollable descriptor is read on the io_context when it is readable, and never ahead.
//
// A refill in flight owns its buffers and the descriptor jointly with the reader, so neither
// a wait that stops nor destruction waits for it.
class BufferedFileReader : public WaitedReads {
 public:
  struct State;  // the descriptor and buffers, shared with the refill in flight
  BufferedFileReader(Runtime& runtime, UniqueFd fd);
  BufferedFileReader(BufferedFileReader&&) noexcept;
  BufferedFileReader& operator=(BufferedFileReader&&) = delete;
  ~BufferedFileReader();

  // With inline reads on, refills of a file read on the pool run read(2) on the calling thread
  // instead and nothing is read ahead: for callers that have already left the interpreter and
  // read many frames in one go, where a hand-off to the pool per refill would cost more than
  // the read.
  void set_inline_reads(bool on) { inline_reads_ = on; }

  // Copies up to buf.size() buffered bytes, refilling the buffer first when it is empty. 0 at
  // the end of the file; Io with the errno of a failed read(2), or the wait's stop error.
  Result<std::size_t> read(std::span<std::uint8_t> buf);

 private:
  void start_refill(int index);

  Runtime* runtime_;
  std::shared_ptr<State> state_;
  bool inline_reads_ = false;
  bool pending_ = false;  // a refill is in flight into buffer pending_index_
  int pending_index_ = 0;
  int current_ = 0;  // the buffer being served
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

class FileSource final : public KvlxFrameSource<BufferedFileReader> {
 public:
  // Opens `path` for reading, waiting on the terms of `ctx` (opening a FIFO waits for a
  // writer). Fails with Io (the operating system's error) when the file cannot be opened; an
  // empty path is such a file. Nothing is read yet, so a directory opens and fails on the
  // first read (EISDIR).
  static Result<std::unique_ptr<FileSource>> open(std::shared_ptr<Runtime> runtime, const std::string& path,
                                                  StreamConfig config, WaitContext& ctx);
  static Result<std::unique_ptr<FileSource>> open(std::shared_ptr<Runtime> runtime, const std::string& path,
                                                  StreamConfig config = {}) {
    WaitContext unlimited;
    return open(std::move(runtime), path, std::move(config), unlimited);
  }

  void set_inline_reads(bool on) override { stream_.reader().set_inline_reads(on); }

 protected:
  // Refills run on the calling thread for the whole batch (see set_inline_reads).
  Status read_next_batch(std::size_t max_frames, FrameBatch& out, WaitContext& ctx) override;

 private:
  FileSource(std::shared_ptr<Runtime> runtime, UniqueFd fd, StreamConfig config);
};

}  // namespace kelvane

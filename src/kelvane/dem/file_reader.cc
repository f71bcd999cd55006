#include "kelvane/dem/file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kelvane {

namespace {

// Closes the descriptor on every return.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

KelvaneError too_large(std::size_t max_bytes) {
  return KelvaneError::io("DEM file is larger than the limit of " + std::to_string(max_bytes) + " bytes");
}

}  // namespace

Result<std::string> read_dem_file(const std::string& path, std::size_t max_bytes) {
  if (path.find('\0') != std::string::npos) return fail(KelvaneError::io("file name contained an unexpected NUL byte"));
  // O_NONBLOCK is not used: a pipe is read to its end, and open() waits for its writer.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return fail(KelvaneError::from_errno(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fail(KelvaneError::from_errno(errno));
  if (S_ISDIR(st.st_mode)) return fail(KelvaneError::from_errno(EISDIR));
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    return fail(KelvaneError::io(std::string("refusing to read a DEM from a ") +
                                 (S_ISCHR(st.st_mode) ? "character" : "block") +
                                 " device: it is not a regular file and may never end"));
  }
  std::string out;
  if (S_ISREG(st.st_mode)) {
    if (static_cast<std::uint64_t>(st.st_size) > max_bytes) return fail(too_large(max_bytes));
    out.reserve(static_cast<std::size_t>(st.st_size));
  }
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(KelvaneError::from_errno(errno));
    }
    if (n == 0) break;
    // A regular file that grows while being read is bounded here too.
    if (out.size() + static_cast<std::size_t>(n) > max_bytes) return fail(too_large(max_bytes));
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

}  // namespace kelvane

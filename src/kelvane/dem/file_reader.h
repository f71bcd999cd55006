// Reading a detector error model's text from a file, with bounds.
//
// `read_dem_file(path)` returns the file's bytes (not yet checked as UTF-8), or one `Io` error:
//   - the OS's error for a path that cannot be opened or read ("No such file or directory
//     (os error 2)"); a directory gives "Is a directory (os error 21)";
//   - a name containing a NUL byte is refused rather than cut short by the OS;
//   - character and block devices (`/dev/zero`, `/dev/urandom`, a terminal) are refused: they
//     can deliver bytes without end. Regular files, pipes and sockets are read to their end;
//   - more than `max_bytes` bytes (default `kMaxDemFileBytes`) is an error, found from the
//     size of a regular file before anything is read, and for a pipe once the limit is passed,
//     so memory stays bounded.
// It blocks in open() and read() (a pipe without a writer waits for one) and never throws.
#pragma once

#include <cstddef>
#include <string>

#include "kelvane/core/error.h"

namespace kelvane {

// 1 GiB: far above any DEM a simulation writes (a distance-51 memory experiment over 51
// rounds is about 40 MB of text).
inline constexpr std::size_t kMaxDemFileBytes = std::size_t{1} << 30;

Result<std::string> read_dem_file(const std::string& path, std::size_t max_bytes = kMaxDemFileBytes);

}  // namespace kelvane

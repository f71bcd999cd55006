// Times the KVLX block parser alone on a file held in memory: every frame checked (header,
// payload and trailer CRCs, ids, event lengths) and its events decoded into a 0/1 row, as the
// live path takes them. Prints frames, CPU µs per frame (best of the runs) and frames/s.
//
//     kvlx_block_timing FILE.kvlx [RUNS]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <vector>

#include "kelvane/kvlx/stream.h"

namespace {

struct MemorySource {
  const std::vector<std::uint8_t>* bytes;
  std::size_t pos = 0;
  kelvane::Result<std::size_t> read(std::span<std::uint8_t> buf) {
    const std::size_t n = std::min(buf.size(), bytes->size() - pos);
    std::memcpy(buf.data(), bytes->data() + pos, n);
    pos += n;
    return n;
  }
};

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: kvlx_block_timing FILE.kvlx [RUNS]\n");
    return 2;
  }
  std::FILE* f = std::fopen(argv[1], "rb");
  if (!f) {
    std::perror(argv[1]);
    return 2;
  }
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[1 << 16];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + got);
  std::fclose(f);
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  double best = 1e300;
  std::size_t frames = 0;
  std::size_t fired = 0;
  for (int run = 0; run < runs; ++run) {
    kelvane::KvlxStream<MemorySource> stream(MemorySource{&bytes}, {});
    std::vector<std::uint8_t> row;
    frames = 0;
    auto sink = [&](const kelvane::FrameView& v) {
      row.resize(v.ancilla_count());
      v.events_to_bytes(row);
      fired += row.empty() ? 0 : row[0];
      ++frames;
      return true;
    };
    const double start = cpu_seconds();
    for (;;) {
      kelvane::Result<kelvane::BlockEnd> end = stream.parse_block({}, kelvane::FrameSinkRef(sink));
      if (!end) {
        std::fprintf(stderr, "%s\n", end.error().to_string().c_str());
        return 1;
      }
      if (*end == kelvane::BlockEnd::kNoData) break;
    }
    best = std::min(best, cpu_seconds() - start);
  }
  std::printf("%zu frames, %.4f us/frame (CPU), %.2f M frames/s%s\n", frames, 1e6 * best / static_cast<double>(frames),
              static_cast<double>(frames) / best / 1e6, fired == ~std::size_t{0} ? "!" : "");
  return 0;
}

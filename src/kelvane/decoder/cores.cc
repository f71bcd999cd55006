#include "kelvane/decoder/cores.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace kelvane {

unsigned usable_cores() {
  // A mask large enough for any machine the fixed cpu_set_t cannot describe (over 1024 CPUs).
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 16); cpus *= 4) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (!set) break;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    const int got = sched_getaffinity(0, size, set);
    const int count = got == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (got == 0) return static_cast<unsigned>(std::max(count, 1));
    if (errno != EINVAL) break;  // EINVAL: the kernel's mask is larger than this one
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace kelvane

// How many threads are worth starting: the cores this process may run on.
#pragma once

namespace kelvane {

// The cores in this process's CPU affinity mask (what taskset or a container's cpuset allows),
// or the hardware's thread count where the mask cannot be read; at least 1.
unsigned usable_cores();

}  // namespace kelvane

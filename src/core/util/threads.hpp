// How many threads a piece of work may use.
#pragma once

namespace marrowfin::util {

// The cores this process may run on: the machine's, fewer when its CPU
// affinity (taskset, a container's cpuset) allows fewer. At least 1.
unsigned usable_cores() noexcept;

}  // namespace marrowfin::util

#include "core/util/threads.hpp"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace marrowfin::util {

unsigned usable_cores() noexcept {
  unsigned cores = std::thread::hardware_concurrency();
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    auto usable = static_cast<unsigned>(CPU_COUNT(&allowed));
    if (usable != 0 && (cores == 0 || usable < cores)) cores = usable;
  }
  return std::max(cores, 1u);
}

}  // namespace marrowfin::util

// The Python objects built from one market's cache, kept beside it for the
// next book: each with the change count its piece of state had then, so that
// an equal count hands out the same object. The core keeps the counts, the
// bindings the objects; destroying these releases references, so it needs the
// interpreter lock.
#pragma once

#include "bindings/common/compat.hpp"

#include <cstdint>
#include <vector>

#include "bindings/common/py_ref.hpp"
#include "core/market/market_cache.hpp"

namespace marrowfin::bindings {

struct ReuseSlot {
  // The object (borrowed) if it was built at `at`, else nullptr.
  PyObject* get_if_current(std::uint64_t at) const noexcept {
    return object && count == at ? object.get() : nullptr;
  }
  // Keeps a reference to `built` (borrowed), built at `at`.
  void store(PyObject* built, std::uint64_t at) noexcept {
    object = py::Ref::new_ref(built);
    count = at;
  }

  py::Ref object;
  std::uint64_t count = 0;
};

struct RunnerSlots {
  ReuseSlot runner;       // Runner, at the runner's change_count
  ReuseSlot back_list;    // list of PriceSize, at shown(Side::kBack).count
  ReuseSlot lay_list;     // at shown(Side::kLay).count
  ReuseSlot traded_list;  // at traded_volume's count
};

class MarketSlots {
 public:
  // Lines the slots up with `cache`'s runners: all dropped when the runners
  // were made anew since the last call, room made for new ones. Call before
  // runner(); releases objects, so a finalizer may run.
  void follow(const market::MarketCache& cache) {
    if (generation_ != cache.runner_generation()) {
      runners_.clear();
      generation_ = cache.runner_generation();
    }
    if (runners_.size() < cache.runners.size()) runners_.resize(cache.runners.size());
  }
  RunnerSlots& runner(const market::RunnerCache& runner) noexcept { return runners_[runner.ordinal]; }

  ReuseSlot definition;  // MarketDefinition, at definition_count

 private:
  std::uint64_t generation_ = 0;
  std::vector<RunnerSlots> runners_;  // by RunnerCache::ordinal
};

}  // namespace marrowfin::bindings

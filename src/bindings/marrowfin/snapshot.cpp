#include "bindings/marrowfin/snapshot.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/common/errors.hpp"
#include "bindings/marrowfin/py_classes.hpp"
#include "bindings/marrowfin/py_convert.hpp"
#include "bindings/marrowfin/py_records.hpp"
#include "bindings/common/py_ref.hpp"
#include "bindings/common/py_type.hpp"
#include "bindings/marrowfin/time_conversion.hpp"

namespace marrowfin::bindings {
namespace {

// The list of `ladder`, reused while its count is unchanged, else filled
// straight from the levels as the ladder keeps them. New reference, or empty
// with a panic set.
py::Ref ladder_list(const market::ShownLadder& ladder, ReuseSlot& slot) {
  if (PyObject* list = slot.get_if_current(ladder.count)) return py::Ref::new_ref(list);
  py::Ref list = create_price_list(ladder.levels());
  if (list) slot.store(list.get(), ladder.count);
  return list;
}

// The read-out of a starting-price ladder: `kept` when the ladder has not
// changed since it was read at `kept_count`, else a new one. A ladder at count
// 0 never had a level, so a runner without a previous object passes null and 0.
SharedPairs sp_pairs(const market::PriceLadder& ladder, const SharedPairs& kept,
                     std::uint64_t kept_count) {
  if (kept_count == ladder.change_count()) return kept;
  if (ladder.empty()) return nullptr;
  std::span<const market::PriceSizePair> levels = ladder.levels();
  return std::make_shared<const std::vector<market::PriceSizePair>>(levels.begin(), levels.end());
}

// The status text as a str: the previous object's when the text is the same.
// New reference, or empty with a panic set.
py::Ref status_string(const std::string& status, const RunnerRecord* previous) {
  if (previous != nullptr) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(previous->status.get(), &size);  // cached for ASCII
    if (text == nullptr) {
      PyErr_Clear();  // a text that does not encode is no match
    } else if (std::string_view(text, static_cast<std::size_t>(size)) == status) {
      return py::Ref::new_ref(previous->status.get());
    }
  }
  return to_python(status);
}

// A new Runner of `runner`, stored in its slot. New reference, or empty with
// an error set.
py::Ref build_runner(market::RunnerCache& runner, RunnerSlots& slots) {
  PyObject* previous_object = slots.runner.object.get();
  const RunnerRecord* previous =
      previous_object != nullptr ? &py::value_of<RunnerRecord>(previous_object) : nullptr;

  py::Ref back = ladder_list(runner.shown(market::Side::kBack), slots.back_list);
  if (!back) return {};
  py::Ref lay = ladder_list(runner.shown(market::Side::kLay), slots.lay_list);
  if (!lay) return {};
  py::Ref traded = ladder_list({&runner.traded_volume, nullptr, runner.traded_volume.change_count()},
                               slots.traded_list);
  if (!traded) return {};
  py::Ref ex = make_exchange_prices(std::move(back), std::move(lay), std::move(traded));
  if (!ex) return {};
  py::Ref status = status_string(runner.status, previous);
  if (!status) return {};

  // Filled in place; dropped whole should a step fail.
  py::Ref object = new_runner();
  if (!object) return {};
  RunnerRecord& record = py::value_of<RunnerRecord>(object.get());
  record.ex = std::move(ex);
  record.status = std::move(status);
  record.selection_id = runner.selection_id;
  record.handicap = runner.handicap;
  record.adjustment_factor = runner.adjustment_factor;
  record.last_price_traded = runner.last_price_traded;
  record.total_matched = runner.total_matched;
  record.removal_date = runner.removal_date;
  record.sp.near_price = runner.near_price;
  record.sp.far_price = runner.far_price;
  record.sp.actual_sp = runner.actual_sp;
  // Back stakes come from the lay-side ladder and lay liabilities from the
  // back side: that is how consumers of the lightweight records read them.
  // A starting-price ladder that did not change is taken over from the
  // runner's previous object rather than copied again.
  record.sp.back_stake_taken =
      sp_pairs(runner.sp_lay, previous ? previous->sp.back_stake_taken : nullptr,
               previous ? previous->sp_lay_count : 0);
  record.sp.lay_liability_taken =
      sp_pairs(runner.sp_back, previous ? previous->sp.lay_liability_taken : nullptr,
               previous ? previous->sp_back_count : 0);
  record.sp_lay_count = runner.sp_lay.change_count();
  record.sp_back_count = runner.sp_back.change_count();

  slots.runner.store(object.get(), runner.change_count);
  return object;
}

// The MarketDefinition of the cache, or None before the first definition;
// rebuilt only when a definition arrived. New reference, or empty with an
// error set (the slot then keeps its old object, so the next call retries).
py::Ref definition_object(market::MarketCache& cache, ReuseSlot& slot, bool aware) {
  if (cache.definition_count == 0) return py::Ref::new_ref(Py_None);
  if (PyObject* cached = slot.get_if_current(cache.definition_count)) {
    return py::Ref::new_ref(cached);
  }

  MarketDefinitionRecord record;
  const auto& runners = cache.definition_runners;
  record.runners = py::must(PyList_New(static_cast<Py_ssize_t>(runners.size())));
  if (!record.runners) return {};
  for (std::size_t i = 0; i < runners.size(); ++i) {
    py::Ref runner = make_market_definition_runner(runners[i]);
    if (!runner) return {};
    PyList_SET_ITEM(record.runners.get(), static_cast<Py_ssize_t>(i), runner.release());
  }
  record.number_of_active_runners = static_cast<std::int32_t>(cache.number_of_active_runners);

#define MARROWFIN_COPY_FIELD(key, member, ...) record.member = cache.member;
#define MARROWFIN_COPY_TIME(key, member, dict)                                   \
  if (!(record.member = parse_datetime_or_none(cache.member, aware))) return {}; \
  record.member##_text = cache.member;
  MARROWFIN_DEFINITION_FIELDS(MARROWFIN_COPY_FIELD, MARROWFIN_COPY_FIELD, MARROWFIN_COPY_TIME,
                              MARROWFIN_NO_ROW)
#undef MARROWFIN_COPY_FIELD
#undef MARROWFIN_COPY_TIME

  py::Ref object = make_market_definition(std::move(record));
  if (object) slot.store(object.get(), cache.definition_count);
  return object;
}

}  // namespace

py::Ref to_market_book(market::MarketCache& cache, MarketSlots& slots,
                       const BookOptions& options) noexcept {
  return py::Ref::steal(py::guard([&]() -> PyObject* {
    slots.follow(cache);
    // Runner objects go straight into the book's new list, in key order
    // or in the order made.
    // Replacing a runner's old objects may run a caller's __del__, which
    // must not find the list with slots still empty (gc.get_referrers):
    // the collector does not see it until it is full.
    std::span<market::RunnerCache* const> runners =
        options.runners_as_made ? cache.runners_as_made() : cache.sorted_runners();
    py::Ref list = py::must(PyList_New(static_cast<Py_ssize_t>(runners.size())));
    if (!list) return nullptr;
    PyObject_GC_UnTrack(list.get());
    for (std::size_t i = 0; i < runners.size(); ++i) {
      market::RunnerCache& runner = *runners[i];
      RunnerSlots& runner_slots = slots.runner(runner);
      // An unchanged runner costs one reference increment.
      PyObject* object = runner_slots.runner.get_if_current(runner.change_count);
      if (object != nullptr) {
        Py_INCREF(object);
      } else {
        object = build_runner(runner, runner_slots).release();
        if (object == nullptr) return nullptr;
      }
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), object);
    }
    PyObject_GC_Track(list.get());

    py::Ref definition = definition_object(cache, slots.definition, options.aware);
    if (!definition) return nullptr;
    py::Ref publish_time = publish_time_to_datetime(cache.publish_time, options.aware);
    if (!publish_time) return nullptr;

    py::Ref object = new_market_book();
    if (!object) return nullptr;
    MarketBookRecord& book = py::value_of<MarketBookRecord>(object.get());
    book.market_definition = std::move(definition);
    book.publish_time = std::move(publish_time);
    book.runners = std::move(list);
    book.market_id = cache.market_id;
    book.status = cache.status;
    book.publish_time_epoch = cache.publish_time;
    book.total_matched = cache.total_matched;
    book.version = cache.version;
    book.last_match_time = cache.last_match_time;
    book.bet_delay = cache.bet_delay;
    book.number_of_active_runners = static_cast<std::int32_t>(cache.number_of_active_runners);
    book.number_of_runners = static_cast<std::int32_t>(cache.number_of_runners);
    book.number_of_winners = cache.number_of_winners;
    book.bsp_reconciled = cache.bsp_reconciled;
    book.complete = cache.complete;
    book.cross_matching = cache.cross_matching;
    book.inplay = cache.in_play;
    book.runners_voidable = cache.runners_voidable;
    return object.release();
  }));
}

}  // namespace marrowfin::bindings

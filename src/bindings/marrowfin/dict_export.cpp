// MarketBook.to_dict: the book as plain dicts, lists and scalars in the shape
// of the lightweight market-book records.
//
// The lists walked here (the book's runners, the definition's runners, the
// ladder lists) are ordinary Python lists that consumers may have changed, so
// every walk re-checks the length and the element class and holds a reference
// to the element it works on.
#include "bindings/common/compat.hpp"

#include <span>

#include "bindings/common/borrow.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/marrowfin/py_classes.hpp"
#include "bindings/marrowfin/py_convert.hpp"
#include "bindings/marrowfin/py_records.hpp"
#include "bindings/common/py_ref.hpp"
#include "bindings/marrowfin/py_strings.hpp"
#include "bindings/common/py_type.hpp"

namespace marrowfin::bindings {
namespace {

// dict[key] = value, where `value` is a new reference, or empty with an error
// set. Returns false with an error set.
[[nodiscard]] bool put(PyObject* dict, PyObject* key, const py::Ref& value) noexcept {
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

py::Ref new_dict() noexcept { return py::must(PyDict_New()); }
py::Ref new_list() noexcept { return py::must(PyList_New(0)); }

// Calls `each(element)` for every element of `list` that is an instance of
// `type`, by index, below both the starting and the current length; stops at
// the first failure. Returns false with an error set.
template <class Each>
bool walk(PyObject* list, PyTypeObject* type, const char* type_name, Each&& each) {
  if (!PyList_Check(list)) {
    py::set_cannot_convert(list, "PyList");
    return false;
  }
  if (type == nullptr) return false;
  const Py_ssize_t start_length = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < start_length && i < PyList_GET_SIZE(list); ++i) {
    py::Ref element = py::Ref::new_ref(PyList_GET_ITEM(list, i));
    if (!PyObject_TypeCheck(element.get(), type)) {
      py::set_cannot_convert(element.get(), type_name);
      return false;
    }
    if (!each(element.get())) return false;
  }
  return true;
}

py::Ref price_dict(double price, double size) noexcept {
  py::Ref dict = new_dict();
  if (!dict || !put(dict.get(), strings.price, to_python(price)) ||
      !put(dict.get(), strings.size, to_python(size))) {
    return {};
  }
  return dict;
}

// A list of price dicts from a Python list of PriceSize.
py::Ref price_list_to_dicts(PyObject* list) {
  py::Ref out = new_list();
  if (!out) return {};
  bool ok = walk(list, price_size_type(), "PriceSize", [&](PyObject* element) {
    const market::PriceSizePair& pair = py::value_of<market::PriceSizePair>(element);
    py::Ref dict = price_dict(pair.price, pair.size);
    return dict && PyList_Append(out.get(), dict.get()) == 0;
  });
  return ok ? std::move(out) : py::Ref();
}

// A list of price dicts from native pairs.
py::Ref vec_ps_to_dicts(std::span<const market::PriceSizePair> pairs) noexcept {
  py::Ref out = py::must(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  if (!out) return {};
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    py::Ref dict = price_dict(pairs[i].price, pairs[i].size);
    if (!dict) return {};
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), dict.release());
  }
  return out;
}

py::Ref ex_dict(PyObject* exchange_prices) {
  ExchangePricesRecord& ex = py::value_of<ExchangePricesRecord>(exchange_prices);
  py::SharedBorrow borrow(ex.borrow);
  if (!borrow) return {};
  py::Ref dict = new_dict();
  if (!dict ||
      !put(dict.get(), strings.available_to_back,
           price_list_to_dicts(ex.available_to_back.get())) ||
      !put(dict.get(), strings.available_to_lay, price_list_to_dicts(ex.available_to_lay.get())) ||
      !put(dict.get(), strings.traded_volume, price_list_to_dicts(ex.traded_volume.get()))) {
    return {};
  }
  return dict;
}

py::Ref sp_dict(const StartingPricesRecord& sp) noexcept {
  py::Ref dict = new_dict();
  if (!dict || !put(dict.get(), strings.near_price, to_python(sp.near_price)) ||
      !put(dict.get(), strings.far_price, to_python(sp.far_price)) ||
      !put(dict.get(), strings.actual_sp, to_python(sp.actual_sp)) ||
      !put(dict.get(), strings.back_stake_taken, vec_ps_to_dicts(pairs_of(sp.back_stake_taken))) ||
      !put(dict.get(), strings.lay_liability_taken,
           vec_ps_to_dicts(pairs_of(sp.lay_liability_taken)))) {
    return {};
  }
  return dict;
}

py::Ref runner_dict(PyObject* runner_object) {
  const RunnerRecord& runner = py::value_of<RunnerRecord>(runner_object);
  py::Ref dict = new_dict();
  PyObject* d = dict.get();
  if (!d || !put(d, strings.selection_id, to_python(runner.selection_id)) ||
      !put(d, strings.handicap, to_python(runner.handicap)) ||
      !put(d, strings.status, to_python(runner.status)) ||
      !put(d, strings.adjustment_factor, to_python(runner.adjustment_factor)) ||
      !put(d, strings.last_price_traded, to_python(runner.last_price_traded)) ||
      !put(d, strings.total_matched, to_python(runner.total_matched)) ||
      !put(d, strings.removal_date, to_python(runner.removal_date)) ||
      !put(d, strings.ex, ex_dict(runner.ex.get())) || !put(d, strings.sp, sp_dict(runner.sp))) {
    return {};
  }
  return dict;
}

// Absent values are left out here rather than written as None.
py::Ref definition_runner_dict(PyObject* runner_object) noexcept {
  const market::MarketDefinitionRunner& runner = py::value_of<market::MarketDefinitionRunner>(runner_object);
  py::Ref dict = new_dict();
  PyObject* d = dict.get();
  if (!d || !put(d, strings.id, to_python(runner.selection_id)) ||
      !put(d, strings.sort_priority, to_python(runner.sort_priority)) ||
      !put(d, strings.status, to_python(runner.status))) {
    return {};
  }
  if (runner.adjustment_factor &&
      !put(d, strings.adjustment_factor, to_python(*runner.adjustment_factor))) {
    return {};
  }
  if (runner.name && !put(d, strings.name, to_python(*runner.name))) return {};
  // 0.0 and -0.0 are left out; NaN compares unequal and is written.
  if (runner.handicap != 0.0 && !put(d, strings.hc, to_python(runner.handicap))) return {};
  if (runner.removal_date && !put(d, strings.removal_date, to_python(*runner.removal_date))) {
    return {};
  }
  if (runner.bsp && !put(d, strings.bsp, to_python(*runner.bsp))) return {};
  return dict;
}

py::Ref definition_dict(PyObject* definition_object) {
  const MarketDefinitionRecord& def = py::value_of<MarketDefinitionRecord>(definition_object);
  py::Ref runners = new_list();
  if (!runners) return {};
  bool ok = walk(def.runners.get(), market_definition_runner_type(), "MarketDefinitionRunner",
                 [&](PyObject* element) {
                   py::Ref dict = definition_runner_dict(element);
                   return dict && PyList_Append(runners.get(), dict.get()) == 0;
                 });
  if (!ok) return {};

  py::Ref dict = new_dict();
  PyObject* d = dict.get();
  if (!d || !put(d, strings.bet_delay, to_python(def.bet_delay)) ||
      !put(d, strings.betting_type, to_python(def.betting_type)) ||
      !put(d, strings.bsp_market, to_python(def.bsp_market)) ||
      !put(d, strings.bsp_reconciled, to_python(def.bsp_reconciled)) ||
      !put(d, strings.complete, to_python(def.complete)) ||
      !put(d, strings.country_code, to_python(def.country_code)) ||
      !put(d, strings.cross_matching, to_python(def.cross_matching)) ||
      !put(d, strings.discount_allowed, to_python(def.discount_allowed)) ||
      !put(d, strings.event_id, to_python(def.event_id)) ||
      !put(d, strings.event_name, to_python(def.event_name)) ||
      !put(d, strings.event_type_id, to_python(def.event_type_id)) ||
      !put(d, strings.in_play, to_python(def.in_play)) ||
      !put(d, strings.market_base_rate, to_python(def.market_base_rate)) ||
      !put(d, strings.market_time, to_python(def.market_time_text)) ||
      !put(d, strings.market_type, to_python(def.market_type)) ||
      !put(d, strings.name, to_python(def.name)) ||
      !put(d, strings.number_of_active_runners, to_python(def.number_of_active_runners)) ||
      !put(d, strings.number_of_winners, to_python(def.number_of_winners)) ||
      !put(d, strings.open_date, to_python(def.open_date_text)) ||
      !put(d, strings.persistence_enabled, to_python(def.persistence_enabled)) ||
      !put(d, strings.regulators, to_python(def.regulators)) ||
      !put(d, strings.runners, runners) ||
      !put(d, strings.runners_voidable, to_python(def.runners_voidable)) ||
      !put(d, strings.status, to_python(def.status)) ||
      !put(d, strings.suspend_time, to_python(def.suspend_time_text)) ||
      !put(d, strings.timezone, to_python(def.timezone)) ||
      !put(d, strings.turn_in_play_enabled, to_python(def.turn_in_play_enabled)) ||
      !put(d, strings.venue, to_python(def.venue)) ||
      !put(d, strings.version, to_python(def.version))) {
    return {};
  }
  return dict;
}

}  // namespace

py::Ref market_book_to_dict(PyObject* self) noexcept {
  return py::Ref::steal(py::guard([&]() -> PyObject* {
    MarketBookRecord& book = py::value_of<MarketBookRecord>(self);
    py::SharedBorrow borrow(book.borrow);
    if (!borrow) return nullptr;

    py::Ref dict = new_dict();
    PyObject* d = dict.get();
    if (!d || !put(d, strings.market_id, to_python(book.market_id)) ||
        !put(d, strings.status, to_python(book.status)) ||
        !put(d, strings.bet_delay, to_python(book.bet_delay)) ||
        !put(d, strings.bsp_reconciled, to_python(book.bsp_reconciled)) ||
        !put(d, strings.complete, to_python(book.complete)) ||
        !put(d, strings.cross_matching, to_python(book.cross_matching)) ||
        !put(d, strings.inplay, to_python(book.inplay)) ||
        !put(d, strings.number_of_active_runners, to_python(book.number_of_active_runners)) ||
        !put(d, strings.number_of_runners, to_python(book.number_of_runners)) ||
        !put(d, strings.number_of_winners, to_python(book.number_of_winners)) ||
        !put(d, strings.runners_voidable, to_python(book.runners_voidable)) ||
        !put(d, strings.total_matched, to_python(book.total_matched)) ||
        !put(d, strings.version, to_python(book.version)) ||
        !put(d, strings.last_match_time, to_python(book.last_match_time)) ||
        !put(d, strings.publish_time, to_python(book.publish_time_epoch))) {
      return nullptr;
    }

    py::Ref runners = new_list();
    if (!runners) return nullptr;
    bool ok = walk(book.runners.get(), runner_type(), "Runner", [&](PyObject* element) {
      py::Ref runner = runner_dict(element);
      return runner && PyList_Append(runners.get(), runner.get()) == 0;
    });
    if (!ok || !put(d, strings.runners, runners)) return nullptr;

    if (book.market_definition.get() != Py_None &&
        !put(d, strings.market_definition, definition_dict(book.market_definition.get()))) {
      return nullptr;
    }
    return dict.release();
  }));
}

}  // namespace marrowfin::bindings

// MarketBook.to_dict: the book as plain dicts, lists and scalars in the shape
// of the lightweight market-book records.
//
// The lists walked here (the book's runners, the definition's runners, the
// ladder lists) are ordinary Python lists that consumers may have changed, so
// every walk re-checks the length and the element class and holds a reference
// to the element it works on.
#include "bindings/common/compat.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <string_view>

#include "core/json/value.hpp"
#include "core/market/definition_fields.hpp"
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

using D = MarketDefinitionRecord;

// The definition's runners as a list of dicts.
py::Ref definition_runner_dicts(const D& def) {
  py::Ref runners = new_list();
  if (!runners) return {};
  bool ok = walk(def.runners.get(), market_definition_runner_type(), "MarketDefinitionRunner",
                 [&](PyObject* element) {
                   py::Ref dict = definition_runner_dict(element);
                   return dict && PyList_Append(runners.get(), dict.get()) == 0;
                 });
  return ok ? std::move(runners) : py::Ref();
}

// One key of a definition's dict: its text, its interned string and its
// value (a new reference, or empty with an error set).
struct DefinitionKey {
  std::string_view text;
  PyObject* Strings::*string = nullptr;
  py::Ref (*value)(const D&) = nullptr;
  bool exported = true;
};

// Every row of the definition table, exported or not, then the two of their own.
constexpr auto kDefinitionRows = std::to_array<DefinitionKey>({
#define MARROWFIN_DICT_FIELD(key, member, Type, init, dict) \
  {json::key_name(json::Key::k##key), &Strings::member,     \
   [](const D& def) { return to_python(def.member); }, dict},
#define MARROWFIN_DICT_TIME(key, member, dict)          \
  {json::key_name(json::Key::k##key), &Strings::member, \
   [](const D& def) { return to_python(def.member##_text); }, dict},
    MARROWFIN_DEFINITION_FIELDS(MARROWFIN_DICT_FIELD, MARROWFIN_DICT_FIELD, MARROWFIN_DICT_TIME,
                                MARROWFIN_NO_ROW)
#undef MARROWFIN_DICT_FIELD
#undef MARROWFIN_DICT_TIME
    {"numberOfActiveRunners", &Strings::number_of_active_runners,
     [](const D& def) { return to_python(def.number_of_active_runners); }},
    {"runners", &Strings::runners, definition_runner_dicts},
});

// The exported keys in the order the dict has them: sorted by text.
constexpr auto kDefinitionKeys = [] {
  std::array<DefinitionKey, std::ranges::count_if(kDefinitionRows, &DefinitionKey::exported)>
      keys{};
  std::ranges::copy_if(kDefinitionRows, keys.begin(), &DefinitionKey::exported);
  std::ranges::sort(keys, {}, &DefinitionKey::text);
  return keys;
}();
static_assert(std::ranges::adjacent_find(kDefinitionKeys, {}, &DefinitionKey::text) ==
                  kDefinitionKeys.end(),
              "a definition's dict has each key once");

py::Ref definition_dict(PyObject* definition_object) {
  const D& def = py::value_of<D>(definition_object);
  py::Ref dict = new_dict();
  if (!dict) return {};
  for (const DefinitionKey& key : kDefinitionKeys) {
    if (!put(dict.get(), strings.*key.string, key.value(def))) return {};
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

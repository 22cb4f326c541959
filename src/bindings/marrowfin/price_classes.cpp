// Runner, ExchangePrices, StartingPrices and PriceSize: the per-runner classes
// of a market book.
#include "bindings/common/compat.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "core/market/decimal_text.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/marrowfin/py_classes.hpp"
#include "bindings/marrowfin/py_getters.hpp"
#include "bindings/marrowfin/py_records.hpp"
#include "bindings/common/py_type.hpp"

namespace marrowfin::bindings {
namespace {

// ---- PriceSize -------------------------------------------------------------

PyObject* price_size_subscript(PyObject* self, PyObject* key) noexcept {
  if (!PyUnicode_Check(key)) return py::set_argument_cannot_convert("key", key, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);  // UnicodeEncodeError passes through
  if (utf8 == nullptr) return nullptr;
  std::string_view text(utf8, static_cast<std::size_t>(size));
  const market::PriceSizePair& pair = py::value_of<market::PriceSizePair>(self);
  if (text == "price") return to_python(pair.price).release();
  if (text == "size") return to_python(pair.size).release();
  py::Ref key_text = py::must(PyUnicode_FromStringAndSize(utf8, size));
  if (!key_text) return nullptr;
  return py::set_key_error(key_text.get());
}

PyObject* price_size_repr(PyObject* self) noexcept {
  return py::guard([&]() -> PyObject* {
    const market::PriceSizePair& pair = py::value_of<market::PriceSizePair>(self);
    std::string text = "PriceSize(price=" + market::shortest_decimal(pair.price) +
                       ", size=" + market::shortest_decimal(pair.size) + ")";
    return to_python(text).release();
  });
}

std::vector<py::Attribute> price_size_attributes() {
  return {
    read_only("price", get_field<market::PriceSizePair, &market::PriceSizePair::price>),
    read_only("size", get_field<market::PriceSizePair, &market::PriceSizePair::size>),
  };
}

py::ClassSpec price_size_class() {
  return {
      "builtins.PriceSize",
      "A price/size pair in the order book",
      sizeof(py::Object<market::PriceSizePair>),
      py::dealloc_instance<market::PriceSizePair>,
      price_size_attributes(),
      nullptr,
      {
          {Py_mp_subscript, reinterpret_cast<void*>(price_size_subscript)},
          {Py_tp_repr, reinterpret_cast<void*>(price_size_repr)},
      },
  };
}

// ---- StartingPrices --------------------------------------------------------

template <auto Member>
PyObject* get_pair_list(PyObject* self, void*) noexcept {
  return create_price_list(pairs_of(py::value_of<StartingPricesRecord>(self).*Member)).release();
}

std::vector<py::Attribute> starting_prices_attributes() {
  return {
    read_only("near_price", get_field<StartingPricesRecord, &StartingPricesRecord::near_price>),
    read_only("far_price", get_field<StartingPricesRecord, &StartingPricesRecord::far_price>),
    read_only("actual_sp", get_field<StartingPricesRecord, &StartingPricesRecord::actual_sp>),
    read_only("back_stake_taken", get_pair_list<&StartingPricesRecord::back_stake_taken>),
    read_only("lay_liability_taken", get_pair_list<&StartingPricesRecord::lay_liability_taken>),
  };
}

py::ClassSpec starting_prices_class() {
  return {
      "builtins.StartingPrices",
      "Starting prices for a runner",
      sizeof(py::Object<StartingPricesRecord>),
      py::dealloc_instance<StartingPricesRecord>,
      starting_prices_attributes(),
  };
}

// ---- ExchangePrices --------------------------------------------------------

using Ex = ExchangePricesRecord;

std::vector<py::Attribute> exchange_prices_attributes() {
  return {
    stored_member<Ex, &Ex::available_to_back>("available_to_back"),
    stored_member<Ex, &Ex::available_to_lay>("available_to_lay"),
    stored_member<Ex, &Ex::traded_volume>("traded_volume"),
  };
}

py::ClassSpec exchange_prices_class() {
  return {
      "builtins.ExchangePrices", "Exchange prices for a runner (back/lay/traded)",
      sizeof(py::Object<Ex>),    py::dealloc_instance<Ex>,
      exchange_prices_attributes(),
  };
}

// ---- Runner ----------------------------------------------------------------

// A new StartingPrices holding a copy of the runner's record, on every read.
PyObject* runner_get_sp(PyObject* self, void*) noexcept {
  return py::guard([&]() -> PyObject* {
    PyTypeObject* type = starting_prices_type();
    if (type == nullptr) return nullptr;
    StartingPricesRecord copy = py::value_of<RunnerRecord>(self).sp;
    return py::must(py::make_instance<StartingPricesRecord>(type, std::move(copy))).release();
  });
}

using R = RunnerRecord;

std::vector<py::Attribute> runner_attributes() {
  return {
    read_only("selection_id", get_field<R, &R::selection_id>),
    read_only("handicap", get_field<R, &R::handicap>),
    read_only("adjustment_factor", get_field<R, &R::adjustment_factor>),
    read_only("last_price_traded", get_field<R, &R::last_price_traded>),
    read_only("total_matched", get_field<R, &R::total_matched>),
    stored_member<R, &R::status>("status"),
    read_only("removal_date", get_field<R, &R::removal_date>),
    stored_member<R, &R::ex>("ex"),
    read_only("sp", runner_get_sp),
    read_only("orders", get_empty_list),
    read_only("matches", get_empty_list),
    read_only("matches_by_strategy", get_none),
    read_only("bet_delay_models", get_none),
    read_only("suspend_reason", get_none),
  };
}

py::ClassSpec runner_class() {
  return {
      "builtins.Runner", "A runner in the market", sizeof(py::Object<R>), py::dealloc_instance<R>,
      runner_attributes(),
  };
}

}  // namespace

PyTypeObject* runner_type() noexcept { return py::ClassHolder<runner_class>::get(); }
PyTypeObject* exchange_prices_type() noexcept {
  return py::ClassHolder<exchange_prices_class>::get();
}
PyTypeObject* starting_prices_type() noexcept {
  return py::ClassHolder<starting_prices_class>::get();
}
PyTypeObject* price_size_type() noexcept { return py::ClassHolder<price_size_class>::get(); }

namespace {

// Fills `list` (of pairs.size() empty slots) with new PriceSize objects.
// Returns false with the panic set; the list releases the items made so far.
template <bool Inline>
bool fill_price_list(PyObject* list, PyTypeObject* type, std::span<const market::PriceSizePair> pairs) {
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    py::Ref item = py::must(py::make_instance<market::PriceSizePair, Inline>(type, pairs[i]));
    if (!item) return false;
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item.release());
  }
  return true;
}

}  // namespace

py::Ref create_price_list(std::span<const market::PriceSizePair> pairs) noexcept {
  PyTypeObject* type = price_size_type();
  if (type == nullptr) return {};
  py::Ref list = py::must(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  if (!list) return {};
  // The most made objects of a replay: their headers are written here when
  // nothing needs to see each creation.
  bool filled = py::headers_inline() ? fill_price_list<true>(list.get(), type, pairs)
                                     : fill_price_list<false>(list.get(), type, pairs);
  return filled ? std::move(list) : py::Ref();
}

py::Ref make_exchange_prices(py::Ref back, py::Ref lay, py::Ref traded) noexcept {
  PyTypeObject* type = exchange_prices_type();
  if (type == nullptr) return {};
  return py::make_instance<Ex>(type, std::move(back), std::move(lay), std::move(traded));
}

py::Ref new_runner() noexcept {
  PyTypeObject* type = runner_type();
  if (type == nullptr) return {};
  return py::make_instance<RunnerRecord>(type);
}

}  // namespace marrowfin::bindings

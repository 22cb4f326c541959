// MarketBook: one snapshot of the market after one stream message.
#include "bindings/common/compat.hpp"

#include <vector>

#include <cstdint>
#include <limits>

#include "bindings/common/borrow.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/marrowfin/py_classes.hpp"
#include "bindings/marrowfin/py_getters.hpp"
#include "bindings/marrowfin/py_records.hpp"
#include "bindings/common/py_type.hpp"

namespace marrowfin::bindings {
namespace {

using B = MarketBookRecord;

// The one writable attribute, set by consumers' stream code. The value is
// converted before the book is borrowed: the conversion may run Python code
// (__index__), during which another thread may use the book.
int book_set_streaming_unique_id(PyObject* self, PyObject* value, void*) noexcept {
  if (value == nullptr) {
    py::set_cannot_delete_attribute();
    return -1;
  }
  std::optional<std::int32_t> id;
  if (value != Py_None) {
    long number = PyLong_AsLong(value);
    if (number == -1 && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        py::set_argument_error_from_pending("streaming_unique_id");
      }
      return -1;
    }
    if (number < std::numeric_limits<std::int32_t>::min() ||
        number > std::numeric_limits<std::int32_t>::max()) {
      py::set_integer_out_of_range();
      return -1;
    }
    id = static_cast<std::int32_t>(number);
  }
  B& book = py::value_of<B>(self);
  py::ExclusiveBorrow borrow(book.borrow);
  if (!borrow) return -1;
  book.streaming_unique_id = id;
  return 0;
}

PyObject* book_to_dict(PyObject* self, PyObject*) noexcept {
  return market_book_to_dict(self).release();
}

std::vector<py::Attribute> book_attributes() {
  return {
    PyGetSetDef{"streaming_unique_id", get_borrowed_field<B, &B::streaming_unique_id>,
     book_set_streaming_unique_id, "Streaming unique ID (set by stream for flumine compatibility)",
     nullptr},
    read_only("market_id", get_borrowed_field<B, &B::market_id>),
    stored_member<B, &B::publish_time>("publish_time"),
    PyGetSetDef{"publish_time_epoch", get_borrowed_field<B, &B::publish_time_epoch>, nullptr,
     "publish_time in epoch milliseconds (int, for flumine compatibility)", nullptr},
    read_only("status", get_borrowed_field<B, &B::status>),
    read_only("bet_delay", get_borrowed_field<B, &B::bet_delay>),
    read_only("bsp_reconciled", get_borrowed_field<B, &B::bsp_reconciled>),
    read_only("complete", get_borrowed_field<B, &B::complete>),
    read_only("cross_matching", get_borrowed_field<B, &B::cross_matching>),
    read_only("inplay", get_borrowed_field<B, &B::inplay>),
    read_only("number_of_active_runners", get_borrowed_field<B, &B::number_of_active_runners>),
    read_only("number_of_runners", get_borrowed_field<B, &B::number_of_runners>),
    read_only("number_of_winners", get_borrowed_field<B, &B::number_of_winners>),
    read_only("runners_voidable", get_borrowed_field<B, &B::runners_voidable>),
    read_only("total_matched", get_borrowed_field<B, &B::total_matched>),
    read_only("version", get_borrowed_field<B, &B::version>),
    read_only("last_match_time", get_borrowed_field<B, &B::last_match_time>),
    stored_member<B, &B::market_definition>("market_definition"),
    stored_member<B, &B::runners>("runners"),
    read_only("bet_delay_models", get_none),
    read_only("elapsed_time", get_none),
    read_only("is_market_data_delayed", get_none),
    read_only("key_line_description", get_none),
    read_only("price_ladder_definition", get_none),
    read_only("suspend_reason", get_none),
    read_only("total_available", get_none),
    read_only("streaming_snap", get_true),
    read_only("streaming_update", get_none),
  };
}

PyMethodDef book_methods[] = {
    {"to_dict", book_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\n"
     "Convert to a dict matching betfairutil lightweight format (for testing)"},
    {},
};

py::ClassSpec book_class() {
  return {
      "builtins.MarketBook", "A market book snapshot",
      sizeof(py::Object<B>), py::dealloc_instance<B>,
      book_attributes(),           book_methods,
  };
}

}  // namespace

PyTypeObject* market_book_type() noexcept { return py::ClassHolder<book_class>::get(); }

py::Ref new_market_book() noexcept {
  PyTypeObject* type = market_book_type();
  if (type == nullptr) return {};
  return py::make_instance<B>(type);
}

}  // namespace marrowfin::bindings

#include "bindings/marrowfin/prices_iterator.hpp"

#include "core/market/market_cache.hpp"
#include "bindings/common/borrow.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/py_type.hpp"
#include "bindings/marrowfin/snapshot.hpp"

namespace marrowfin::bindings {
namespace {

struct PricesIterator {
  explicit PricesIterator(std::unique_ptr<load::MessageStore> s) noexcept : store(std::move(s)) {}

  py::BorrowFlag borrow;
  std::unique_ptr<load::MessageStore> store;
  std::unique_ptr<market::MarketCache> cache;  // the one market; made by the first usable id
  MarketSlots slots;                           // the objects built from it
  std::size_t next_index = 0;
};

PricesIterator& state(PyObject* self) noexcept { return py::value_of<PricesIterator>(self); }

PyObject* iterator_iter(PyObject* self) noexcept {
  py::SharedBorrow borrow(state(self).borrow);
  if (!borrow) return nullptr;
  return Py_NewRef(self);
}

// Applies the next message and yields the book after it. Messages before the
// cache exists yield nothing and are skipped over, so the iteration ends only
// when the messages are used up, and then stays ended.
PyObject* iterator_next(PyObject* self) noexcept {
  return py::guard([&]() -> PyObject* {
    PricesIterator& it = state(self);
    py::ExclusiveBorrow borrow(it.borrow);
    if (!borrow) return nullptr;
    const auto& messages = it.store->messages;
    while (it.next_index < messages.size()) {
      load::prefetch_after(messages, it.next_index);
      // Moved on first: a message whose book fails is not applied twice.
      const load::ParsedMessage& message = messages[it.next_index++];
      for (const json::Value& change : message.market_changes) {
        market::apply_to_market(it.cache, change, message.publish_time);
      }
      if (it.cache) return to_market_book(*it.cache, it.slots).release();
    }
    return nullptr;  // end of iteration: no object, no error
  });
}

Py_ssize_t iterator_len(PyObject* self) noexcept {
  PricesIterator& it = state(self);
  py::SharedBorrow borrow(it.borrow);
  if (!borrow) return -1;
  return static_cast<Py_ssize_t>(it.store->messages.size());
}

py::ClassSpec iterator_class() {
  return {
      "builtins.PricesIterator",
      "Iterator that yields MarketBook objects with object reuse",
      sizeof(py::Object<PricesIterator>),
      py::dealloc_instance<PricesIterator>,
      {},
      nullptr,
      {
          {Py_tp_iter, reinterpret_cast<void*>(iterator_iter)},
          {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
          {Py_mp_length, reinterpret_cast<void*>(iterator_len)},
      },
  };
}

}  // namespace

PyTypeObject* prices_iterator_type() noexcept { return py::ClassHolder<iterator_class>::get(); }

py::Ref make_prices_iterator(std::unique_ptr<load::MessageStore> store) noexcept {
  PyTypeObject* type = prices_iterator_type();
  if (type == nullptr) return {};
  return py::make_instance<PricesIterator>(type, std::move(store));
}

}  // namespace marrowfin::bindings

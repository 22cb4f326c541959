#include "bindings/marrowfin_tools/market_books.hpp"

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "bindings/common/borrow.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/load.hpp"
#include "bindings/common/py_ref.hpp"
#include "bindings/common/py_type.hpp"
#include "bindings/marrowfin/reuse.hpp"
#include "bindings/marrowfin/snapshot.hpp"
#include "bindings/marrowfin_tools/loading.hpp"
#include "core/market/merged_replay.hpp"

namespace marrowfin::tools {
namespace {

struct MarketBooks {
  MarketBooks(std::unique_ptr<market::MergedReplay> r,
              std::vector<std::vector<bindings::MarketSlots>> s,
              bindings::BookOptions book_options) noexcept
      : replay(std::move(r)), slots(std::move(s)), options(book_options) {}

  py::BorrowFlag borrow;
  std::unique_ptr<market::MergedReplay> replay;
  // The objects built from each market: [recording][market of its set].
  std::vector<std::vector<bindings::MarketSlots>> slots;
  bindings::BookOptions options;
  // The message whose books are being handed out, and the next of them.
  market::MergedReplay::Step step;
  std::size_t next_touched = 0;
  // Of the last book handed out: its recording and message, and whether that
  // message was an image of its market.
  bool started = false;
  std::size_t recording = 0;
  std::size_t message = 0;
  bool image = false;
};

MarketBooks& state(PyObject* self) noexcept { return py::value_of<MarketBooks>(self); }

PyObject* books_iter(PyObject* self) noexcept {
  py::SharedBorrow borrow(state(self).borrow);
  if (!borrow) return nullptr;
  return Py_NewRef(self);
}

// The book of the next market the current message touched, applying the next
// message when none is left; a message that touched no market yields nothing.
PyObject* books_next(PyObject* self) noexcept {
  return py::guard([&]() -> PyObject* {
    MarketBooks& it = state(self);
    py::ExclusiveBorrow borrow(it.borrow);
    if (!borrow) return nullptr;
    while (it.next_touched == it.step.touched.size()) {
      if (!it.replay->next(it.step)) return nullptr;  // the end, and it stays ended
      it.next_touched = 0;
    }
    // Moved on first: a book that fails is not built again.
    const market::MarketSet::Touched& touched = it.step.touched[it.next_touched++];
    market::MarketSet& set = it.replay->markets(it.step.recording);
    std::vector<bindings::MarketSlots>& slots = it.slots[it.step.recording];
    if (slots.size() < set.size()) slots.resize(set.size());
    it.started = true;
    it.recording = it.step.recording;
    it.message = it.step.message;
    it.image = touched.image;
    return bindings::to_market_book(set.market(touched.market), slots[touched.market], it.options)
        .release();
  });
}

// The index into `paths` of the last book's recording; None before the first book.
PyObject* books_path_index(PyObject* self, void*) noexcept {
  MarketBooks& it = state(self);
  if (!it.started) Py_RETURN_NONE;
  return PyLong_FromSize_t(it.recording);
}

// The number of the last book's message among its recording's kept messages.
PyObject* books_message_index(PyObject* self, void*) noexcept {
  MarketBooks& it = state(self);
  if (!it.started) Py_RETURN_NONE;
  return PyLong_FromSize_t(it.message);
}

// Whether the last book's message was a full image of its market.
PyObject* books_image(PyObject* self, void*) noexcept {
  return Py_NewRef(state(self).image ? Py_True : Py_False);
}

py::ClassSpec books_class() {
  return {
      "marrowfin_tools.MarketBooks",
      "The books of every market of several recordings merged by publish time "
      "(market_books); path_index, message_index and image describe the last book.",
      sizeof(py::Object<MarketBooks>),
      py::dealloc_instance<MarketBooks>,
      {py::read_only("path_index", books_path_index),
       py::read_only("message_index", books_message_index), py::read_only("image", books_image)},
      nullptr,
      {
          {Py_tp_iter, reinterpret_cast<void*>(books_iter)},
          {Py_tp_iternext, reinterpret_cast<void*>(books_next)},
      },
  };
}

PyObject* not_a_path_iterable(PyObject* paths) noexcept {
  return py::set_argument_type("market_books", "paths", "an iterable of paths", paths);
}

PyObject* not_a_path_item(PyObject* path) noexcept {
  return py::set_path_item_type("market_books", "paths", path);
}

// Every recording of `paths` loaded, in order: the stores, or nothing with an
// error set (a failed load: ValueError "<path>: <reason>"; nothing is kept).
// A recording that `keep` (a callable, or null) says false of is not loaded:
// its store is empty, so indexes into `paths` still count it.
std::optional<std::vector<std::unique_ptr<load::MessageStore>>> load_all(PyObject* paths,
                                                                         PyObject* keep) {
  // One path is iterable too (a str by its characters): refused as such.
  if (py::Ref one = py::Ref::steal(PyOS_FSPath(paths))) {
    not_a_path_iterable(paths);
    return std::nullopt;
  }
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
  PyErr_Clear();
  py::Ref iterator = py::Ref::steal(PyObject_GetIter(paths));
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      not_a_path_iterable(paths);
    }
    return std::nullopt;
  }
  std::vector<std::unique_ptr<load::MessageStore>> stores;
  while (py::Ref path = py::Ref::steal(PyIter_Next(iterator.get()))) {
    py::Ref fspath = fspath_of(path.get(), not_a_path_item);
    if (!fspath) return std::nullopt;
    py::Ref bytes = path_bytes(fspath.get());
    if (!bytes) return std::nullopt;
    if (keep != nullptr) {
      py::Ref kept = py::Ref::steal(PyObject_CallOneArg(keep, path.get()));
      int truth = kept ? PyObject_IsTrue(kept.get()) : -1;
      if (truth < 0) return std::nullopt;
      if (truth == 0) {
        stores.push_back(std::make_unique<load::MessageStore>());
        continue;
      }
    }
    // The load touches no Python object, so other threads run meanwhile.
    std::unique_ptr<load::MessageStore> store = py::load_file(bytes_view(bytes.get()), true);
    if (!store) {
      py::name_file_in_load_error(bytes_view(bytes.get()));
      return std::nullopt;
    }
    stores.push_back(std::move(store));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return stores;
}

}  // namespace

PyTypeObject* market_books_type() noexcept { return py::ClassHolder<books_class>::get(); }

PyObject* market_books(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&]() -> PyObject* {
    static const char* keywords[] = {"paths", "runner_order", "aware", "keep", nullptr};
    PyObject* paths = nullptr;
    PyObject* runner_order = nullptr;
    PyObject* aware = Py_False;
    PyObject* keep = Py_None;  // marrowfin_tools.market_books passes its market filter here
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:market_books",
                                     const_cast<char**>(keywords), &paths, &runner_order,
                                     &aware, &keep)) {
      return nullptr;
    }
    if (keep != Py_None && !PyCallable_Check(keep)) {
      return py::set_argument_type("market_books", "keep", "None or callable", keep);
    }
    bindings::BookOptions options;
    if (runner_order != nullptr) {
      const bool definition = PyUnicode_Check(runner_order) &&
                              PyUnicode_CompareWithASCIIString(runner_order, "definition") == 0;
      if (!definition && !(PyUnicode_Check(runner_order) &&
                           PyUnicode_CompareWithASCIIString(runner_order, "selection") == 0)) {
        return py::set_not_a_choice("runner_order", "'selection' or 'definition'", runner_order);
      }
      options.runners_as_made = definition;
    }
    if (!PyBool_Check(aware)) return py::set_argument_type("market_books", "aware", "bool", aware);
    options.aware = aware == Py_True;

    PyTypeObject* type = market_books_type();
    if (type == nullptr) return nullptr;
    std::optional<std::vector<std::unique_ptr<load::MessageStore>>> stores =
        load_all(paths, keep == Py_None ? nullptr : keep);
    if (!stores) return nullptr;
    const std::size_t recordings = stores->size();
    auto replay = std::make_unique<market::MergedReplay>(std::move(*stores));
    std::vector<std::vector<bindings::MarketSlots>> slots(recordings);
    return py::make_instance<MarketBooks>(type, std::move(replay), std::move(slots), options)
        .release();
  });
}

}  // namespace marrowfin::tools

// marrowfin_tools._native: the companion package's binding over the core:
// price_table, runner_table, first_definition, market_books and
// store_recording, and their classes.
#include "bindings/common/compat.hpp"

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "bindings/common/errors.hpp"
#include "bindings/common/load.hpp"
#include "bindings/common/process.hpp"
#include "bindings/common/py_ref.hpp"
#include "bindings/marrowfin/py_strings.hpp"
#include "bindings/marrowfin/time_conversion.hpp"
#include "bindings/marrowfin_tools/definition_dict.hpp"
#include "bindings/marrowfin_tools/loading.hpp"
#include "bindings/marrowfin_tools/market_books.hpp"
#include "bindings/marrowfin_tools/price_table_object.hpp"
#include "bindings/marrowfin_tools/runner_table_object.hpp"
#include "bindings/marrowfin_tools/store_recording.hpp"
#include "core/load/first_definition.hpp"
#include "core/load/message_loader.hpp"
#include "core/table/price_table.hpp"
#include "core/table/runner_table.hpp"

namespace marrowfin::tools {
namespace {

std::atomic<std::int64_t> interpreter_id{-1};
PyObject* module_object = nullptr;  // set once, kept for the process

PyObject* not_a_table_path(PyObject* path) noexcept {
  return py::set_argument_type("price_table", "path", "str, bytes or os.PathLike", path);
}

PyObject* not_a_definition_path(PyObject* path) noexcept {
  return py::set_argument_type("first_definition", "path", "str, bytes or os.PathLike", path);
}

PyObject* not_a_runner_path(PyObject* path) noexcept {
  return py::set_path_item_type("runner_table", "paths", path);
}

// A bool argument; false with an error set when it is not one.
bool bool_argument(const char* function, const char* argument, PyObject* value, bool& out) noexcept {
  if (!PyBool_Check(value)) {
    py::set_argument_type(function, argument, "bool", value);
    return false;
  }
  out = value == Py_True;
  return true;
}

PyObject* price_table(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&]() -> PyObject* {
    static const char* keywords[] = {"path", "depth", "every_book", "sp", "load", nullptr};
    PyObject* path = nullptr;
    PyObject* depth = nullptr;
    PyObject* every_book = Py_False;
    PyObject* sp = Py_False;
    PyObject* load = Py_True;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO$OO:price_table",
                                     const_cast<char**>(keywords), &path, &depth, &every_book,
                                     &sp, &load)) {
      return nullptr;
    }
    table::TableOptions options;
    if (depth != nullptr) {
      if (!PyLong_Check(depth) || PyBool_Check(depth)) {
        return py::set_argument_type("price_table", "depth", "int", depth);
      }
      int overflow = 0;
      long value = PyLong_AsLongAndOverflow(depth, &overflow);
      if (value == -1 && PyErr_Occurred()) return nullptr;
      if (overflow != 0 || value < 0 || value > table::kMaxDepth) {
        return py::set_out_of_range("depth", 0, table::kMaxDepth, depth);
      }
      options.depth = static_cast<int>(value);
    }
    bool loads = true;
    if (!bool_argument("price_table", "every_book", every_book, options.every_book) ||
        !bool_argument("price_table", "sp", sp, options.sp) ||
        !bool_argument("price_table", "load", load, loads)) {
      return nullptr;
    }

    py::Ref fspath = fspath_of(path, not_a_table_path);
    if (!fspath) return nullptr;
    py::Ref bytes = path_bytes(fspath.get());
    if (!bytes) return nullptr;
    if (!loads) {
      return make_price_table(std::make_shared<const load::MessageStore>(), options, fspath.get())
          .release();
    }
    // The load touches no Python object, so other threads run meanwhile.
    std::unique_ptr<load::MessageStore> store = py::load_file(bytes_view(bytes.get()), true);
    if (!store) return nullptr;
    return make_price_table(std::move(store), options, fspath.get()).release();
  });
}

PyObject* first_definition(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&]() -> PyObject* {
    static const char* keywords[] = {"path", nullptr};
    PyObject* path = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:first_definition",
                                     const_cast<char**>(keywords), &path)) {
      return nullptr;
    }
    py::Ref fspath = fspath_of(path, not_a_definition_path);
    if (!fspath) return nullptr;
    py::Ref bytes = path_bytes(fspath.get());
    if (!bytes) return nullptr;
    load::FirstDefinition first;
    if (!py::read_first_definition(bytes_view(bytes.get()), first)) return nullptr;
    if (first.found) return definition_dict(first);
    if (!first.error.empty()) return py::set_value_error(first.error);
    Py_RETURN_NONE;
  });
}

// The seconds of `before` (an iterable of int) into `out`, and their tuple
// (new reference); empty with an error set.
py::Ref before_seconds(PyObject* before, std::vector<std::int64_t>& out) noexcept {
  if (before == nullptr) return py::Ref::steal(PyTuple_New(0));
  py::Ref iterator = py::Ref::steal(PyObject_GetIter(before));
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      py::set_argument_type("runner_table", "before", "an iterable of int", before);
    }
    return {};
  }
  py::Ref items = py::Ref::steal(PyList_New(0));
  if (!items) return {};
  std::unordered_set<std::int64_t> seen;  // a long list is checked in linear time
  while (py::Ref item = py::Ref::steal(PyIter_Next(iterator.get()))) {
    if (!PyLong_Check(item.get()) || PyBool_Check(item.get())) {
      py::set_argument_items_type("runner_table", "before", "int", item.get());
      return {};
    }
    int overflow = 0;
    long long seconds = PyLong_AsLongLongAndOverflow(item.get(), &overflow);
    if (seconds == -1 && PyErr_Occurred()) return {};
    if (overflow != 0 || seconds < 0 || seconds > table::kMaxBeforeSeconds) {
      py::set_out_of_range("before", 0, table::kMaxBeforeSeconds, item.get());
      return {};
    }
    if (!seen.insert(seconds).second) {
      py::set_held_twice("before", item.get());
      return {};
    }
    out.push_back(seconds);
    if (PyList_Append(items.get(), item.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return py::Ref::steal(PyList_AsTuple(items.get()));
}

// Whether `keep` keeps the recording at `path`, asked with the fields of its
// first definition (None when it has none); 1 also when the file cannot be
// read as far as a definition, so that its load says why. -1 with the
// error set. A process whose loads decode on one thread (a worker's) keeps
// the definition's source in `first`, to load the file from without
// decoding its start again: its first bzip2 block is decoded once.
int keeps(PyObject* keep, std::string_view path, load::FirstDefinition& first) noexcept {
  if (!py::read_first_definition(path, first, py::load_threads() == 1)) return -1;
  if (!first.found && !first.error.empty()) return 1;
  py::Ref fields = first.found ? py::Ref::steal(definition_dict(first)) : py::Ref::new_ref(Py_None);
  if (!fields) return -1;
  py::Ref verdict = py::Ref::steal(PyObject_CallOneArg(keep, fields.get()));
  return verdict ? PyObject_IsTrue(verdict.get()) : -1;
}

bool is_regular_file(std::string_view path) {
  struct stat status {};
  return ::stat(std::string(path).c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// Adds the rows of the recording at `path` (read on from `first.source` when
// the filter kept one). A process whose loads run on one thread (a
// worker's) folds a regular file as it reads it, holding a chunk of its
// values rather than all of them; should the fold not follow where a
// market time moved (MarketFold::exact), it reads the file again, the
// final market times known. False with the error set.
bool add_recording(table::RunnerRows& rows, std::string_view path, load::FirstDefinition& first) {
  if (py::load_threads() != 1 || !is_regular_file(path)) {
    std::unique_ptr<load::MessageStore> store =
        first.source ? py::load_decoded(std::move(first.source)) : py::load_file(path, true);
    return store && unlocked([&] {
             rows.add(store->messages);
             store.reset();
           });
  }
  auto fold = std::make_unique<market::MarketFold>(rows.offsets());
  auto take = [&fold](std::span<const load::ParsedMessage> messages) { fold->feed(messages); };
  if (!(first.source ? py::stream_decoded(std::move(first.source), take) : py::stream_file(path, take))) {
    return false;
  }
  if (!unlocked([&] { fold->finish(); })) return false;
  if (!fold->exact()) {
    auto again = std::make_unique<market::MarketFold>(rows.offsets());
    again->know_market_times(*fold);
    fold = std::move(again);
    if (!py::stream_file(path, take) || !unlocked([&] { fold->finish(); })) return false;
  }
  return unlocked([&] { rows.add(*fold); });
}

PyObject* runner_table(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return py::guard([&]() -> PyObject* {
    static const char* keywords[] = {"paths", "before", "keep", nullptr};
    PyObject* paths = nullptr;
    PyObject* before = nullptr;
    PyObject* keep = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:runner_table", const_cast<char**>(keywords),
                                     &paths, &before, &keep)) {
      return nullptr;
    }
    if (keep != Py_None && !PyCallable_Check(keep)) {
      return py::set_argument_type("runner_table", "keep", "callable or None", keep);
    }
    std::vector<std::int64_t> seconds;
    py::Ref before_tuple = before_seconds(before, seconds);
    if (!before_tuple) return nullptr;
    py::Ref iterator = py::Ref::steal(PyObject_GetIter(paths));
    if (!iterator) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
      PyErr_Clear();
      return py::set_argument_type("runner_table", "paths", "an iterable of paths", paths);
    }
    // One recording at a time: loaded, folded into rows, and freed before
    // the next is asked for.
    auto rows = std::make_shared<table::RunnerRows>(std::move(seconds));
    while (py::Ref path = py::Ref::steal(PyIter_Next(iterator.get()))) {
      py::Ref fspath = fspath_of(path.get(), not_a_runner_path);
      if (!fspath) return nullptr;
      py::Ref bytes = path_bytes(fspath.get());
      if (!bytes) return nullptr;
      load::FirstDefinition first;
      if (keep != Py_None) {
        int kept = keeps(keep, bytes_view(bytes.get()), first);
        if (kept < 0) return nullptr;
        if (kept == 0) continue;
      }
      if (!add_recording(*rows, bytes_view(bytes.get()), first)) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return make_runner_table(std::move(rows), before_tuple.get()).release();
  });
}

// A decoded-size limit argument of `function`: an int in 0..2^64-1 (`type`
// names what it takes in the error); nullopt with an error set.
std::optional<std::uint64_t> limit_argument(const char* function, const char* type,
                                            PyObject* limit) noexcept {
  if (!PyLong_Check(limit) || PyBool_Check(limit)) {
    py::set_argument_type(function, "limit", type, limit);
    return std::nullopt;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(limit);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      py::set_out_of_range("limit", 0, std::numeric_limits<std::uint64_t>::max(), limit);
    }
    return std::nullopt;
  }
  return value;
}

// set_decoded_limit(limit): the decoded-size limit of every load in this
// process (0 for none), returning the one it replaces.
PyObject* set_decoded_limit(PyObject*, PyObject* limit) noexcept {
  return py::guard([&]() -> PyObject* {
    std::optional<std::uint64_t> value = limit_argument("set_decoded_limit", "int", limit);
    if (!value) return nullptr;
    std::uint64_t previous = py::process_decoded_limit();
    if (py::set_decoded_limit(*value) < 0) return nullptr;
    return PyLong_FromUnsignedLongLong(previous);
  });
}

// set_thread_decoded_limit(limit): the decoded-size limit of the calling
// thread's loads (None: the process's applies), returning the one it replaces.
PyObject* set_thread_decoded_limit(PyObject*, PyObject* limit) noexcept {
  return py::guard([&]() -> PyObject* {
    if (limit == Py_None) return py::swap_thread_decoded_limit(std::nullopt);
    std::optional<std::uint64_t> value =
        limit_argument("set_thread_decoded_limit", "int or None", limit);
    return value ? py::swap_thread_decoded_limit(*value) : nullptr;
  });
}

// set_load_threads(threads): the threads of every load in this process (0
// for one per core, the default), returning the number it replaces.
PyObject* set_load_threads(PyObject*, PyObject* threads) noexcept {
  return py::guard([&]() -> PyObject* {
    if (!PyLong_Check(threads) || PyBool_Check(threads)) {
      return py::set_argument_type("set_load_threads", "threads", "int", threads);
    }
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(threads, &overflow);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    constexpr long kMost = 1024;
    if (overflow != 0 || value < 0 || value > kMost) {
      return py::set_out_of_range("threads", 0, kMost, threads);
    }
    unsigned previous = py::load_threads();
    if (py::set_load_threads(static_cast<unsigned>(value)) < 0) return nullptr;
    return PyLong_FromUnsignedLong(previous);
  });
}

PyMethodDef module_methods[] = {
    {"price_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(price_table)),
     METH_VARARGS | METH_KEYWORDS,
     "price_table(path, depth=3, every_book=False, *, sp=False, load=True)\n--\n\n"
     "Loads a recording; its price table is read through the Arrow PyCapsule interface. With "
     "load=False the file is not opened and the table has no rows."},
    {"first_definition",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(first_definition)),
     METH_VARARGS | METH_KEYWORDS,
     "first_definition(path)\n--\n\n"
     "The fields of the recording's first market definition as a dict, read from the start of "
     "the file and no further; None when it has none."},
    {"runner_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(runner_table)),
     METH_VARARGS | METH_KEYWORDS,
     "runner_table(paths, before=(), keep=None)\n--\n\n"
     "Loads each recording of the iterable in turn and keeps the rows of its runner table; with "
     "keep, only those for which keep(fields of the first definition, or None) is true."},
    {"_runner_table_from_state", runner_table_from_state, METH_O,
     "_runner_table_from_state(state, /)\n--\n\n"
     "The RunnerTable that a pickled RunnerTable holds (see RunnerTable.__reduce__)."},
    {"set_load_threads", set_load_threads, METH_O,
     "set_load_threads(threads, /)\n--\n\n"
     "Sets the threads of every load in this process (0 for one per core, the default; 1 to "
     "parse and decode on the calling thread alone); returns the number it replaces."},
    {"set_decoded_limit", set_decoded_limit, METH_O,
     "set_decoded_limit(limit, /)\n--\n\n"
     "Sets the most bytes a recording may decode to in any load of this process (0 for no "
     "limit); returns the limit it replaces."},
    {"set_thread_decoded_limit", set_thread_decoded_limit, METH_O,
     "set_thread_decoded_limit(limit, /)\n--\n\n"
     "Sets the most bytes a recording may decode to in the calling thread's loads (None for "
     "the process's limit); returns the one it replaces, or None."},
    {"market_books", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(market_books)),
     METH_VARARGS | METH_KEYWORDS,
     "market_books(paths, *, runner_order='selection', aware=False, keep=None)\n--\n\n"
     "Loads every recording of paths; the books of all their markets, merged by publish time."},
    {"store_recording",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_recording)),
     METH_VARARGS | METH_KEYWORDS,
     "store_recording(path, fd, level)\n--\n\n"
     "Loads a recording, writing its decoded text as one zstd frame (1 MiB window, checksum) to "
     "the file descriptor fd as it decodes; returns its catalogue rows, a dict per market."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "marrowfin_tools._native",
    "The native helper of marrowfin_tools: price and runner tables, first definitions and "
    "merged replays.",
    0,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() noexcept {
  // The class objects are kept for the process, so one interpreter only.
  if (py::claim_interpreter(interpreter_id, "marrowfin_tools._native") < 0) return nullptr;
  if (module_object != nullptr) return Py_NewRef(module_object);
  if (py::init_panic_exception() < 0) return nullptr;
  // This module's own copy of the book-building code needs them as the module's does.
  if (bindings::init_strings() < 0 || bindings::init_time_conversion() < 0) return nullptr;
  py::Ref module = py::Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  if (!module) return nullptr;
  const std::pair<const char*, PyTypeObject* (*)() noexcept> classes[] = {
      {"PriceTable", price_table_type},
      {"RunnerTable", runner_table_type},
      {"MarketBooks", market_books_type}};
  for (auto [name, make] : classes) {
    PyTypeObject* type = make();
    if (type == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module.get(), name, reinterpret_cast<PyObject*>(type)) < 0) {
      return nullptr;
    }
  }
  // The most seconds `before` takes, for the command to check before any work.
  if (PyModule_AddIntConstant(module.get(), "MAX_BEFORE", table::kMaxBeforeSeconds) < 0) return nullptr;
  module_object = module.release();
  return Py_NewRef(module_object);
}

}  // namespace
}  // namespace marrowfin::tools

PyMODINIT_FUNC PyInit__native() {
  return marrowfin::py::guard([] { return marrowfin::tools::init_module(); });
}

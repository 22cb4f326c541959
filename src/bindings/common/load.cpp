#include "bindings/common/load.hpp"

#include <chrono>
#include <exception>
#include <functional>
#include <new>

#include "bindings/common/errors.hpp"
#include "bindings/common/process.hpp"
#include "bindings/common/py_ref.hpp"

namespace marrowfin::py {
namespace {

constexpr const char* kLimitKey = "marrowfin.decoded_limit";
constexpr const char* kThreadsKey = "marrowfin.load_threads";

// Without the lock, handlers run at most this often: taking the lock back
// waits for any thread that holds it.
constexpr auto kUnlockedCheckInterval = std::chrono::milliseconds(100);

}  // namespace

namespace {

// The value of a limit kept as an int; 0 for none.
std::uint64_t limit_value(PyObject* limit) noexcept {
  if (limit == nullptr) {
    PyErr_Clear();
    return 0;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(limit);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return 0;
  }
  return value;
}

}  // namespace

std::uint64_t decoded_limit() noexcept {
  PyObject* limit = nullptr;  // borrowed
  if (PyObject* thread = PyThreadState_GetDict()) limit = PyDict_GetItemString(thread, kLimitKey);
  return limit != nullptr ? limit_value(limit) : process_decoded_limit();
}

std::uint64_t process_decoded_limit() noexcept { return limit_value(find_shared(kLimitKey)); }

unsigned load_threads() noexcept {
  PyObject* threads = find_shared(kThreadsKey);  // borrowed
  if (threads == nullptr) {
    PyErr_Clear();
    return 0;
  }
  unsigned long value = PyLong_AsUnsignedLong(threads);
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return 0;
  }
  return static_cast<unsigned>(value);
}

int set_load_threads(unsigned threads) noexcept {
  Ref value = Ref::steal(PyLong_FromUnsignedLong(threads));
  if (!value) return -1;
  return keep_shared(kThreadsKey, std::move(value)) != nullptr ? 0 : -1;
}

int set_decoded_limit(std::uint64_t limit) noexcept {
  Ref value = Ref::steal(PyLong_FromUnsignedLongLong(limit));
  if (!value) return -1;
  return keep_shared(kLimitKey, std::move(value)) != nullptr ? 0 : -1;
}

PyObject* swap_thread_decoded_limit(std::optional<std::uint64_t> limit) noexcept {
  PyObject* thread = PyThreadState_GetDict();  // borrowed
  if (thread == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no thread state dict");
    return nullptr;
  }
  PyObject* previous = PyDict_GetItemString(thread, kLimitKey);  // borrowed
  Ref kept = Ref::new_ref(previous != nullptr ? previous : Py_None);
  if (limit) {
    Ref value = Ref::steal(PyLong_FromUnsignedLongLong(*limit));
    if (!value || PyDict_SetItemString(thread, kLimitKey, value.get()) < 0) return nullptr;
  } else if (previous != nullptr && PyDict_DelItemString(thread, kLimitKey) < 0) {
    return nullptr;
  }
  return kept.release();
}

namespace {

// Runs `work(interrupted)` as a load runs: without the interpreter lock when
// `release_lock` (taken back at most every kUnlockedCheckInterval to run
// signal handlers), `interrupted` being the check to hand the core. Returns
// what it threw, with the lock held again.
template <class F>
std::exception_ptr run_checked(bool release_lock, F&& work) noexcept {
  try {
    if (!release_lock) {
      work([] { return PyErr_CheckSignals() < 0; });
      return nullptr;
    }
  } catch (...) {
    return std::current_exception();
  }
  PyThreadState* state = PyEval_SaveThread();
  auto next_check = std::chrono::steady_clock::now();
  std::exception_ptr failure;
  try {
    work([&] {
      auto now = std::chrono::steady_clock::now();
      if (now < next_check) return false;
      next_check = now + kUnlockedCheckInterval;
      PyEval_RestoreThread(state);
      bool stop = PyErr_CheckSignals() < 0;
      state = PyEval_SaveThread();
      return stop;
    });
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(state);
  return failure;
}

// The Python error for what a load threw; returns false.
bool set_failure(std::exception_ptr failure) noexcept {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();  // as Python's own containers fail; nothing of the file is kept
  } catch (const std::exception& error) {
    set_panic(error.what());
  } catch (...) {
    set_panic("unknown C++ exception");
  }
  return false;
}

}  // namespace

namespace {

// A load of this process (its threads, its decoded-size limit) by
// `load(options)`, which returns what failed (a LoadResult or StreamResult):
// true when nothing did, else false with the Python error set.
template <class Load>
bool run_load(bool release_lock, io::ByteSink* copy_to, Load&& load) noexcept {
  load::LoadOptions options;
  options.copy_to = copy_to;
  options.max_decoded_bytes = decoded_limit();
  if (unsigned threads = load_threads(); threads != 0) {
    options.threads = threads;
    options.bzip2_threads = threads == 1 ? 0 : static_cast<int>(threads);
  }
  std::string error;
  bool interrupted = false;
  std::exception_ptr failure = run_checked(release_lock, [&](std::function<bool()> check) {
    options.interrupted = std::move(check);
    auto outcome = load(options);
    error = std::move(outcome.error);
    interrupted = outcome.interrupted;
  });
  if (failure) return set_failure(failure);
  if (interrupted) return false;  // the handler's exception is set
  if (!error.empty()) {
    set_value_error(error);
    return false;
  }
  return true;
}

// run_load() of a load that keeps its messages: the store, or null.
template <class Load>
std::unique_ptr<load::MessageStore> run_store_load(bool release_lock, io::ByteSink* copy_to,
                                                   Load&& load) noexcept {
  std::unique_ptr<load::MessageStore> store;
  run_load(release_lock, copy_to, [&](const load::LoadOptions& options) {
    load::LoadResult loaded = load(options);
    store = std::move(loaded.store);
    return loaded;
  });
  return store;
}

}  // namespace

std::unique_ptr<load::MessageStore> load_file(std::string_view path, bool release_lock,
                                              io::ByteSink* copy_to) noexcept {
  return run_store_load(release_lock, copy_to, [&](const load::LoadOptions& options) {
    return load::load_messages(path, io::Inflater::default_backend(), options);
  });
}

std::unique_ptr<load::MessageStore> load_decoded(std::unique_ptr<io::ByteSource> source) noexcept {
  return run_store_load(true, nullptr, [&](const load::LoadOptions& options) {
    return load::load_decoded(std::move(source), options);
  });
}

bool stream_file(std::string_view path, const load::TakeMessages& take) noexcept {
  return run_load(true, nullptr, [&](const load::LoadOptions& options) {
    return load::stream_messages(path, options, take);
  });
}

bool stream_decoded(std::unique_ptr<io::ByteSource> source, const load::TakeMessages& take) noexcept {
  return run_load(true, nullptr, [&](const load::LoadOptions& options) {
    return load::stream_decoded(std::move(source), options, take);
  });
}

bool read_first_definition(std::string_view path, load::FirstDefinition& out, bool keep_source) noexcept {
  load::DefinitionOptions options;
  options.max_decoded_bytes = decoded_limit();
  options.keep_source = keep_source;
  std::exception_ptr failure = run_checked(true, [&](std::function<bool()> interrupted) {
    options.interrupted = std::move(interrupted);
    out = load::read_first_definition(path, options);
  });
  if (failure) return set_failure(failure);
  return !out.interrupted;  // else the handler's exception is set
}

}  // namespace marrowfin::py

#include "bindings/common/load.hpp"

#include <chrono>
#include <exception>
#include <new>

#include "bindings/common/errors.hpp"
#include "bindings/common/process.hpp"
#include "bindings/common/py_ref.hpp"

namespace marrowfin::py {
namespace {

constexpr const char* kLimitKey = "marrowfin.decoded_limit";

// Without the lock, handlers run at most this often: taking the lock back
// waits for any thread that holds it.
constexpr auto kUnlockedCheckInterval = std::chrono::milliseconds(100);

}  // namespace

std::uint64_t decoded_limit() noexcept {
  PyObject* limit = find_shared(kLimitKey);  // borrowed
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

int set_decoded_limit(std::uint64_t limit) noexcept {
  Ref value = Ref::steal(PyLong_FromUnsignedLongLong(limit));
  if (!value) return -1;
  return keep_shared(kLimitKey, std::move(value)) != nullptr ? 0 : -1;
}

std::unique_ptr<load::MessageStore> load_file(std::string_view path, bool release_lock) noexcept {
  load::LoadOptions options;
  options.max_decoded_bytes = decoded_limit();
  load::LoadResult loaded;
  std::exception_ptr failure;
  if (!release_lock) {
    options.interrupted = [] { return PyErr_CheckSignals() < 0; };
    try {
      loaded = load::load_messages(path, io::Inflater::default_backend(), options);
    } catch (...) {
      failure = std::current_exception();
    }
  } else {
    // The load touches no Python object; no exception may leave before the
    // thread state is back.
    PyThreadState* state = PyEval_SaveThread();
    auto next_check = std::chrono::steady_clock::now();
    options.interrupted = [&] {
      auto now = std::chrono::steady_clock::now();
      if (now < next_check) return false;
      next_check = now + kUnlockedCheckInterval;
      PyEval_RestoreThread(state);
      bool stop = PyErr_CheckSignals() < 0;
      state = PyEval_SaveThread();
      return stop;
    };
    try {
      loaded = load::load_messages(path, io::Inflater::default_backend(), options);
    } catch (...) {
      failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
  }
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();  // as Python's own containers fail; nothing of the file is kept
    } catch (const std::exception& error) {
      set_panic(error.what());
    } catch (...) {
      set_panic("unknown C++ exception");
    }
    return nullptr;
  }
  if (loaded.interrupted) return nullptr;  // the handler's exception is set
  if (!loaded.store) {
    set_value_error(loaded.error);
    return nullptr;
  }
  return std::move(loaded.store);
}

}  // namespace marrowfin::py

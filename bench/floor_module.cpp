// marrowfin_floor: the parts of a replay that no implementation can skip,
// each timed alone by bench/floor.py. A second build of the binding layer
// (its own copies of the classes), never shipped.
//
//   prepare(path) -> handle   loads the file and replays it once, noting per
//                              book which objects the replay made anew and
//                              from what values (not timed)
//   updates(handle)           every message applied to a fresh MarketCache,
//                              with the runner order each book needs
//   objects(handle)           exactly the objects the replay made, from those
//                              values and with the same constructors: new
//                              PriceSize lists, ExchangePrices, Runners, the
//                              runner list, the publish time's datetime (its
//                              class looked up on every book, as the module
//                              must) and the book, each previous book dropped
//                              in turn
//
// The floor leaves out the market definitions (a few per file), which makes
// it lower, not higher.
#include "bindings/common/compat.hpp"
#include <datetime.h>

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/market/market_cache.hpp"
#include "core/load/message_loader.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/marrowfin/py_classes.hpp"
#include "bindings/marrowfin/py_records.hpp"
#include "bindings/common/py_ref.hpp"
#include "bindings/marrowfin/py_strings.hpp"
#include "bindings/marrowfin/snapshot.hpp"
#include "bindings/marrowfin/time_conversion.hpp"

namespace marrowfin::floor {
namespace {

using market::PriceSizePair;
using bindings::RunnerRecord;

// What a new Runner holds besides its status and ladder lists.
struct RunnerValues {
  std::int64_t selection_id;
  double handicap;
  std::optional<double> adjustment_factor;
  std::optional<double> last_price_traded;
  double total_matched;
  std::optional<std::string> removal_date;
  bindings::StartingPricesRecord sp;
};

// One runner of one book: the runner object of its slot handed out again, or
// a new one whose lists are the slot's or new ones from the pairs.
struct RunnerStep {
  std::uint32_t slot;
  bool rebuilt;
  std::uint32_t status;                          // index into Plan::statuses
  std::uint32_t values;                          // index into Plan::values
  std::int64_t lists[3];                         // -1: the slot's list, else index into Plan::lists
};

struct ListSpan {
  std::size_t first;
  std::size_t count;
};

struct BookStep {
  std::int64_t publish_time;
  std::size_t first_runner;
  std::size_t runner_count;
  std::uint32_t scalars;  // index into Plan::books
};

struct Plan {
  std::unique_ptr<load::MessageStore> store;
  std::vector<BookStep> steps;
  std::vector<RunnerStep> runners;
  std::vector<RunnerValues> values;
  std::vector<ListSpan> lists;
  std::vector<PriceSizePair> pairs;
  std::vector<bindings::MarketBookRecord> books;  // the scalars of each book; no objects
  std::vector<py::Ref> statuses;
  std::size_t slots = 0;
};

Plan& plan_of(PyObject* handle) {
  return *static_cast<Plan*>(PyCapsule_GetPointer(handle, "marrowfin_floor.plan"));
}

// Notes what `book` (a new MarketBook) made anew against the books before it.
struct Recorder {
  Plan& plan;
  // Per runner key: its slot, the object last seen and its three lists.
  struct Seen {
    std::uint32_t slot;
    PyObject* runner = nullptr;  // owned
    PyObject* lists[3] = {};     // borrowed from the runner
  };
  std::map<std::pair<std::int64_t, double>, Seen> seen;
  std::map<std::string, std::uint32_t> status_index;

  ~Recorder() {
    for (auto& [key, s] : seen) Py_XDECREF(s.runner);
  }

  std::uint32_t status(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    std::string key(utf8 != nullptr ? utf8 : "", utf8 != nullptr ? static_cast<std::size_t>(size) : 0);
    auto [it, added] = status_index.emplace(key, static_cast<std::uint32_t>(plan.statuses.size()));
    if (added) plan.statuses.push_back(py::Ref::new_ref(text));
    return it->second;
  }

  void record(PyObject* book_object) {
    const auto& book = py::value_of<bindings::MarketBookRecord>(book_object);
    BookStep step{book.publish_time_epoch, plan.runners.size(), 0,
                  static_cast<std::uint32_t>(plan.books.size())};
    bindings::MarketBookRecord& scalars = plan.books.emplace_back();
    scalars.market_id = book.market_id;
    scalars.status = book.status;
    scalars.publish_time_epoch = book.publish_time_epoch;
    scalars.total_matched = book.total_matched;
    scalars.version = book.version;
    scalars.last_match_time = book.last_match_time;
    scalars.bet_delay = book.bet_delay;
    scalars.number_of_active_runners = book.number_of_active_runners;
    scalars.number_of_runners = book.number_of_runners;
    scalars.number_of_winners = book.number_of_winners;
    scalars.bsp_reconciled = book.bsp_reconciled;
    scalars.complete = book.complete;
    scalars.cross_matching = book.cross_matching;
    scalars.inplay = book.inplay;
    scalars.runners_voidable = book.runners_voidable;

    PyObject* runners = book.runners.get();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(runners); ++i) {
      PyObject* object = PyList_GET_ITEM(runners, i);
      const RunnerRecord& r = py::value_of<RunnerRecord>(object);
      auto [it, added] = seen.try_emplace({r.selection_id, r.handicap});
      Seen& s = it->second;
      if (added) s.slot = static_cast<std::uint32_t>(plan.slots++);
      RunnerStep runner{s.slot, object != s.runner, 0, 0, {-1, -1, -1}};
      if (runner.rebuilt) {
        const auto& ex = py::value_of<bindings::ExchangePricesRecord>(r.ex.get());
        PyObject* lists[3] = {ex.available_to_back.get(), ex.available_to_lay.get(),
                              ex.traded_volume.get()};
        for (int k = 0; k < 3; ++k) {
          if (lists[k] == s.lists[k]) continue;
          runner.lists[k] = static_cast<std::int64_t>(plan.lists.size());
          plan.lists.push_back({plan.pairs.size(), static_cast<std::size_t>(PyList_GET_SIZE(lists[k]))});
          for (Py_ssize_t j = 0; j < PyList_GET_SIZE(lists[k]); ++j) {
            plan.pairs.push_back(py::value_of<PriceSizePair>(PyList_GET_ITEM(lists[k], j)));
          }
          s.lists[k] = lists[k];
        }
        runner.status = status(r.status.get());
        runner.values = static_cast<std::uint32_t>(plan.values.size());
        plan.values.push_back({r.selection_id, r.handicap, r.adjustment_factor, r.last_price_traded,
                               r.total_matched, r.removal_date, r.sp});
        Py_XSETREF(s.runner, Py_NewRef(object));
      }
      plan.runners.push_back(runner);
    }
    step.runner_count = plan.runners.size() - step.first_runner;
    plan.steps.push_back(step);
  }
};

PyObject* prepare(PyObject*, PyObject* path) noexcept {
  return py::guard([&]() -> PyObject* {
    const char* text = PyUnicode_AsUTF8(path);
    if (text == nullptr) return nullptr;
    load::LoadResult loaded = load::load_messages(text);
    if (!loaded.store) return py::set_value_error(loaded.error);
    auto plan = std::make_unique<Plan>();
    {
      Recorder recorder{*plan, {}, {}};
      std::unique_ptr<market::MarketCache> cache;
      bindings::MarketSlots slots;
      for (const load::ParsedMessage& message : loaded.store->messages) {
        for (const json::Value& change : message.market_changes) {
          market::apply_to_market(cache, change, message.publish_time);
        }
        if (!cache) continue;
        py::Ref book = bindings::to_market_book(*cache, slots);
        if (!book) return nullptr;
        recorder.record(book.get());
      }
    }
    plan->store = std::move(loaded.store);
    PyObject* handle = PyCapsule_New(plan.get(), "marrowfin_floor.plan", [](PyObject* capsule) {
      delete static_cast<Plan*>(PyCapsule_GetPointer(capsule, "marrowfin_floor.plan"));
    });
    if (handle != nullptr) plan.release();
    return handle;
  });
}

PyObject* books(PyObject*, PyObject* handle) noexcept {
  return PyLong_FromSize_t(plan_of(handle).steps.size());
}

PyObject* updates(PyObject*, PyObject* handle) noexcept {
  const Plan& plan = plan_of(handle);
  std::unique_ptr<market::MarketCache> cache;
  std::size_t check = 0;
  const auto& messages = plan.store->messages;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    load::prefetch_after(messages, i);  // as the replay does
    const load::ParsedMessage& message = messages[i];
    for (const json::Value& change : message.market_changes) {
      market::apply_to_market(cache, change, message.publish_time);
    }
    if (cache) check += cache->sorted_runners().size();
  }
  return PyLong_FromSize_t(check);
}

PyObject* objects(PyObject*, PyObject* handle) noexcept {
  return py::guard([&]() -> PyObject* {
    const Plan& plan = plan_of(handle);
    std::vector<py::Ref> runner_slots(plan.slots);
    std::vector<py::Ref> list_slots(plan.slots * 3);
    py::Ref previous_book;
    for (const BookStep& step : plan.steps) {
      py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(step.runner_count)));
      if (!list) return nullptr;
      for (std::size_t i = 0; i < step.runner_count; ++i) {
        const RunnerStep& r = plan.runners[step.first_runner + i];
        if (r.rebuilt) {
          py::Ref lists[3];
          for (int k = 0; k < 3; ++k) {
            py::Ref& slot = list_slots[r.slot * 3 + static_cast<std::size_t>(k)];
            if (r.lists[k] >= 0) {
              const ListSpan& span = plan.lists[static_cast<std::size_t>(r.lists[k])];
              slot = bindings::create_price_list(
                  std::span<const PriceSizePair>(plan.pairs).subspan(span.first, span.count));
              if (!slot) return nullptr;
            }
            lists[k] = py::Ref::new_ref(slot.get());
          }
          py::Ref ex =
              bindings::make_exchange_prices(std::move(lists[0]), std::move(lists[1]), std::move(lists[2]));
          if (!ex) return nullptr;
          py::Ref object = bindings::new_runner();
          if (!object) return nullptr;
          RunnerRecord& record = py::value_of<RunnerRecord>(object.get());
          const RunnerValues& v = plan.values[r.values];
          record.ex = std::move(ex);
          record.status = py::Ref::new_ref(plan.statuses[r.status].get());
          record.selection_id = v.selection_id;
          record.handicap = v.handicap;
          record.adjustment_factor = v.adjustment_factor;
          record.last_price_traded = v.last_price_traded;
          record.total_matched = v.total_matched;
          record.removal_date = v.removal_date;
          record.sp = v.sp;
          runner_slots[r.slot] = std::move(object);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(runner_slots[r.slot].get()));
      }
      // As the module must: the class looked up anew on every book, so that
      // a patched one is seen.
      py::Ref publish_time = bindings::publish_time_to_datetime(step.publish_time);
      if (!publish_time) return nullptr;
      py::Ref book = bindings::new_market_book();
      if (!book) return nullptr;
      auto& record = py::value_of<bindings::MarketBookRecord>(book.get());
      const bindings::MarketBookRecord& scalars = plan.books[step.scalars];
      record.runners = std::move(list);
      record.publish_time = std::move(publish_time);
      record.market_definition = py::Ref::new_ref(Py_None);
      record.market_id = scalars.market_id;
      record.status = scalars.status;
      record.publish_time_epoch = scalars.publish_time_epoch;
      record.total_matched = scalars.total_matched;
      record.version = scalars.version;
      record.last_match_time = scalars.last_match_time;
      record.bet_delay = scalars.bet_delay;
      record.number_of_active_runners = scalars.number_of_active_runners;
      record.number_of_runners = scalars.number_of_runners;
      record.number_of_winners = scalars.number_of_winners;
      record.bsp_reconciled = scalars.bsp_reconciled;
      record.complete = scalars.complete;
      record.cross_matching = scalars.cross_matching;
      record.inplay = scalars.inplay;
      record.runners_voidable = scalars.runners_voidable;
      previous_book = std::move(book);  // drops the book before, as a loop variable does
    }
    return PyLong_FromSize_t(plan.steps.size());
  });
}

PyMethodDef methods[] = {
    {"prepare", prepare, METH_O, nullptr},
    {"books", books, METH_O, nullptr},
    {"updates", updates, METH_O, nullptr},
    {"objects", objects, METH_O, nullptr},
    {},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "marrowfin_floor", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace marrowfin::floor

PyMODINIT_FUNC PyInit_marrowfin_floor() {
  using namespace marrowfin;
  if (py::init_panic_exception() < 0 || bindings::init_strings() < 0 ||
      bindings::init_time_conversion() < 0) {
    return nullptr;
  }
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) return nullptr;
  return PyModule_Create(&floor::module_def);
}

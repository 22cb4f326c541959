#include "bindings/marrowfin_tools/definition_dict.hpp"

#include <optional>
#include <string>

#include "bindings/common/errors.hpp"
#include "bindings/common/py_ref.hpp"
#include "core/market/definition_fields.hpp"
#include "core/market/market_cache.hpp"
#include "core/market/stream_time.hpp"

namespace marrowfin::tools {
namespace {

py::Ref text(const std::string& value) noexcept {
  return py::Ref::steal(
      PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

py::Ref text_or_none(const std::optional<std::string>& value) noexcept {
  return value ? text(*value) : py::Ref::new_ref(Py_None);
}

// Sets d[key] = value, stealing `value`; false with an error set.
bool set(PyObject* d, const char* key, py::Ref value) noexcept {
  return value && PyDict_SetItemString(d, key, value.get()) == 0;
}

}  // namespace

PyObject* definition_dict(const load::FirstDefinition& first) noexcept {
  return py::guard([&]() -> PyObject* {
    market::MarketCache m(first.market_id);
    m.update(first.change, first.publish_time);
    std::optional<std::int64_t> market_time;
    if (m.market_time) market_time = market::definition_time_milliseconds(*m.market_time);

    py::Ref runners = py::Ref::steal(PyList_New(0));
    if (!runners) return nullptr;
    for (const market::MarketDefinitionRunner& r : m.definition_runners) {
      py::Ref name = text_or_none(r.name);
      py::Ref status = text(r.status);
      if (!name || !status) return nullptr;
      py::Ref runner = py::Ref::steal(Py_BuildValue("(LdOiO)", static_cast<long long>(r.selection_id),
                                                    r.handicap, name.get(), r.sort_priority,
                                                    status.get()));
      if (!runner || PyList_Append(runners.get(), runner.get()) < 0) return nullptr;
    }

    py::Ref d = py::Ref::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject* out = d.get();
    bool ok = set(out, "market_id", text(m.market_id)) &&
              set(out, "publish_time", py::Ref::steal(PyLong_FromLongLong(first.publish_time))) &&
#define MARROWFIN_SET_TEXT(member, column) set(out, column, text_or_none(m.member)) &&
              MARROWFIN_MARKET_TEXT_COLUMNS(MARROWFIN_SET_TEXT)
#undef MARROWFIN_SET_TEXT
              set(out, "race_type", text_or_none(m.race_type)) &&
              set(out, "betting_type", text_or_none(m.betting_type)) &&
              set(out, "market_time",
                  market_time ? py::Ref::steal(PyLong_FromLongLong(*market_time))
                              : py::Ref::new_ref(Py_None)) &&
              set(out, "status", text(m.status)) &&
              set(out, "in_play", py::Ref::new_ref(m.in_play ? Py_True : Py_False)) &&
              set(out, "number_of_winners", py::Ref::steal(PyLong_FromLong(m.number_of_winners))) &&
              set(out, "runners", std::move(runners));
    return ok ? d.release() : nullptr;
  });
}

}  // namespace marrowfin::tools

// MarketDefinition and MarketDefinitionRunner: the market's metadata as the
// last definition of the stream gave it.
#include "bindings/common/compat.hpp"

#include <vector>

#include "bindings/common/errors.hpp"
#include "bindings/marrowfin/py_classes.hpp"
#include "bindings/marrowfin/py_getters.hpp"
#include "bindings/marrowfin/py_records.hpp"
#include "bindings/common/py_type.hpp"

namespace marrowfin::bindings {
namespace {

using DR = market::MarketDefinitionRunner;

std::vector<py::Attribute> definition_runner_attributes() {
  return {
#define MARROWFIN_ATTRIBUTE(key, member, ...) attribute<DR, &DR::member>(#member),
    MARROWFIN_DEFINITION_RUNNER_FIELDS(MARROWFIN_ATTRIBUTE)
#undef MARROWFIN_ATTRIBUTE
  };
}

py::ClassSpec definition_runner_class() {
  return {
      "builtins.MarketDefinitionRunner", "A runner in a market definition", sizeof(py::Object<DR>),
      py::dealloc_instance<DR>,          definition_runner_attributes(),
  };
}

using D = MarketDefinitionRecord;

std::vector<py::Attribute> definition_attributes() {
  return {
#define MARROWFIN_ATTRIBUTE(key, member, ...) attribute<D, &D::member>(#member),
#define MARROWFIN_OWN_ATTRIBUTE(member) attribute<D, &D::member>(#member),
    MARROWFIN_DEFINITION_FIELDS(MARROWFIN_ATTRIBUTE, MARROWFIN_ATTRIBUTE, MARROWFIN_ATTRIBUTE,
                                MARROWFIN_OWN_ATTRIBUTE)
#undef MARROWFIN_ATTRIBUTE
#undef MARROWFIN_OWN_ATTRIBUTE
    read_only("bet_delay_models", get_none),
    read_only("key_line_definitions", get_none),
    read_only("line_interval", get_none),
    read_only("line_max_unit", get_none),
    read_only("line_min_unit", get_none),
    read_only("price_ladder_definition", get_none),
    read_only("suspend_reason", get_none),
  };
}

py::ClassSpec definition_class() {
  return {
      "builtins.MarketDefinition", "Market definition - metadata about the market",
      sizeof(py::Object<D>),       py::dealloc_instance<D>,
      definition_attributes(),
  };
}

}  // namespace

PyTypeObject* market_definition_type() noexcept { return py::ClassHolder<definition_class>::get(); }
PyTypeObject* market_definition_runner_type() noexcept {
  return py::ClassHolder<definition_runner_class>::get();
}

py::Ref make_market_definition_runner(const market::MarketDefinitionRunner& record) noexcept {
  return py::Ref::steal(py::guard([&]() -> PyObject* {
    PyTypeObject* type = market_definition_runner_type();
    if (type == nullptr) return nullptr;
    market::MarketDefinitionRunner copy = record;
    return py::must(py::make_instance<DR>(type, std::move(copy))).release();
  }));
}

py::Ref make_market_definition(MarketDefinitionRecord&& record) noexcept {
  PyTypeObject* type = market_definition_type();
  if (type == nullptr) return {};
  return py::make_instance<D>(type, std::move(record));
}

}  // namespace marrowfin::bindings

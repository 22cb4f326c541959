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
    read_only("selection_id", get_field<DR, &DR::selection_id>),
    read_only("sort_priority", get_field<DR, &DR::sort_priority>),
    read_only("status", get_field<DR, &DR::status>),
    read_only("handicap", get_field<DR, &DR::handicap>),
    read_only("adjustment_factor", get_field<DR, &DR::adjustment_factor>),
    read_only("removal_date", get_field<DR, &DR::removal_date>),
    read_only("name", get_field<DR, &DR::name>),
    read_only("bsp", get_field<DR, &DR::bsp>),
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
    read_only("event_id", get_field<D, &D::event_id>),
    read_only("event_type_id", get_field<D, &D::event_type_id>),
    read_only("event_name", get_field<D, &D::event_name>),
    read_only("market_type", get_field<D, &D::market_type>),
    read_only("country_code", get_field<D, &D::country_code>),
    read_only("venue", get_field<D, &D::venue>),
    read_only("race_type", get_field<D, &D::race_type>),
    read_only("name", get_field<D, &D::name>),
    read_only("timezone", get_field<D, &D::timezone>),
    read_only("betting_type", get_field<D, &D::betting_type>),
    read_only("regulators", get_field<D, &D::regulators>),
    stored_member<D, &D::runners>("runners"),
    stored_member<D, &D::market_time>("market_time"),
    stored_member<D, &D::open_date>("open_date"),
    stored_member<D, &D::suspend_time>("suspend_time"),
    stored_member<D, &D::settled_time>("settled_time"),
    read_only("bsp_market", get_field<D, &D::bsp_market>),
    read_only("persistence_enabled", get_field<D, &D::persistence_enabled>),
    read_only("each_way_divisor", get_field<D, &D::each_way_divisor>),
    read_only("turn_in_play_enabled", get_field<D, &D::turn_in_play_enabled>),
    read_only("discount_allowed", get_field<D, &D::discount_allowed>),
    read_only("market_base_rate", get_field<D, &D::market_base_rate>),
    read_only("bet_delay", get_field<D, &D::bet_delay>),
    read_only("number_of_winners", get_field<D, &D::number_of_winners>),
    read_only("number_of_active_runners", get_field<D, &D::number_of_active_runners>),
    read_only("bsp_reconciled", get_field<D, &D::bsp_reconciled>),
    read_only("complete", get_field<D, &D::complete>),
    read_only("cross_matching", get_field<D, &D::cross_matching>),
    read_only("in_play", get_field<D, &D::in_play>),
    read_only("runners_voidable", get_field<D, &D::runners_voidable>),
    read_only("status", get_field<D, &D::status>),
    read_only("version", get_field<D, &D::version>),
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

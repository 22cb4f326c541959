// A recording's first market definition as the dict that
// marrowfin_tools.first_definition makes its Definition from.
#pragma once

#include "bindings/common/compat.hpp"

#include "core/load/first_definition.hpp"

namespace marrowfin::tools {

// The fields of the found definition `first`, folded into a market of its
// own as the iterator folds a definition (new reference), or nullptr with an
// error set. Keys: market_id, publish_time (ms), event_id, event_name,
// event_type_id, country_code, venue, market_name, market_type, race_type,
// betting_type, market_time (ms, or None when absent or not in a usual
// form), status, in_play, number_of_winners, and runners: a list of
// (selection_id, handicap, name, sort_priority, status) tuples.
PyObject* definition_dict(const load::FirstDefinition& first) noexcept;

}  // namespace marrowfin::tools

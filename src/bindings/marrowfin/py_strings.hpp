// Strings the binding layer passes to the interpreter again and again: the
// datetime names and formats and the keys of the dict export. Created (and
// interned) once per process at module initialisation and never released.
#pragma once

#include "bindings/common/compat.hpp"

#include "core/market/definition_fields.hpp"

namespace marrowfin::bindings {

// X(field, text) for every pre-made string but the stream keys of the
// definition's fields (definition_fields.hpp), which Strings holds as well,
// each under the name of its member.
#define MARROWFIN_STRINGS(X)                            \
  X(datetime, "datetime")                               \
  X(datetime_capi, "datetime_CAPI")                     \
  X(dunder_import, "__import__")                        \
  X(strptime, "strptime")                               \
  X(utcfromtimestamp, "utcfromtimestamp")               \
  X(fromtimestamp, "fromtimestamp")                     \
  X(replace, "replace")                                 \
  X(tzinfo, "tzinfo")                                   \
  X(utc, "utc")                                         \
  X(fractional_seconds_format, "%Y-%m-%dT%H:%M:%S.%fZ") \
  X(whole_seconds_format, "%Y-%m-%dT%H:%M:%SZ")         \
  X(market_id, "marketId")                              \
  X(inplay, "inplay")                                   \
  X(number_of_active_runners, "numberOfActiveRunners")  \
  X(number_of_runners, "numberOfRunners")               \
  X(total_matched, "totalMatched")                      \
  X(last_match_time, "lastMatchTime")                   \
  X(publish_time, "publishTime")                        \
  X(runners, "runners")                                 \
  X(market_definition, "marketDefinition")              \
  X(selection_id, "selectionId")                        \
  X(handicap, "handicap")                               \
  X(adjustment_factor, "adjustmentFactor")              \
  X(last_price_traded, "lastPriceTraded")               \
  X(removal_date, "removalDate")                        \
  X(ex, "ex")                                           \
  X(sp, "sp")                                           \
  X(available_to_back, "availableToBack")               \
  X(available_to_lay, "availableToLay")                 \
  X(traded_volume, "tradedVolume")                      \
  X(near_price, "nearPrice")                            \
  X(far_price, "farPrice")                              \
  X(actual_sp, "actualSP")                              \
  X(back_stake_taken, "backStakeTaken")                 \
  X(lay_liability_taken, "layLiabilityTaken")           \
  X(price, "price")                                     \
  X(size, "size")                                       \
  X(id, "id")                                           \
  X(sort_priority, "sortPriority")                      \
  X(hc, "hc")                                           \
  X(bsp, "bsp")

struct Strings {
#define MARROWFIN_STRING_FIELD(field, text) PyObject* field = nullptr;
  MARROWFIN_STRINGS(MARROWFIN_STRING_FIELD)
#undef MARROWFIN_STRING_FIELD
#define MARROWFIN_KEY_STRING(key, member, ...) PyObject* member = nullptr;
  MARROWFIN_DEFINITION_FIELDS(MARROWFIN_KEY_STRING, MARROWFIN_KEY_STRING, MARROWFIN_KEY_STRING,
                              MARROWFIN_NO_ROW)
#undef MARROWFIN_KEY_STRING
};

// Borrowed strings; valid once init_strings has succeeded.
extern Strings strings;

// Creates every string (once per process). Returns -1 with an error set.
[[nodiscard]] int init_strings() noexcept;

}  // namespace marrowfin::bindings

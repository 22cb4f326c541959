// Strings the binding layer passes to the interpreter again and again: the
// datetime names and formats and the keys of the dict export. Created (and
// interned) once per process at module initialisation and never released.
#pragma once

#include "bindings/common/compat.hpp"

namespace marrowfin::bindings {

// X(field, text) for every pre-made string.
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
  X(status, "status")                                   \
  X(bet_delay, "betDelay")                              \
  X(bsp_reconciled, "bspReconciled")                    \
  X(complete, "complete")                               \
  X(cross_matching, "crossMatching")                    \
  X(inplay, "inplay")                                   \
  X(number_of_active_runners, "numberOfActiveRunners")  \
  X(number_of_runners, "numberOfRunners")               \
  X(number_of_winners, "numberOfWinners")               \
  X(runners_voidable, "runnersVoidable")                \
  X(total_matched, "totalMatched")                      \
  X(version, "version")                                 \
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
  X(betting_type, "bettingType")                        \
  X(bsp_market, "bspMarket")                            \
  X(country_code, "countryCode")                        \
  X(discount_allowed, "discountAllowed")                \
  X(event_id, "eventId")                                \
  X(event_name, "eventName")                            \
  X(event_type_id, "eventTypeId")                       \
  X(in_play, "inPlay")                                  \
  X(market_base_rate, "marketBaseRate")                 \
  X(market_time, "marketTime")                          \
  X(market_type, "marketType")                          \
  X(name, "name")                                       \
  X(open_date, "openDate")                              \
  X(persistence_enabled, "persistenceEnabled")          \
  X(regulators, "regulators")                           \
  X(suspend_time, "suspendTime")                        \
  X(timezone, "timezone")                               \
  X(turn_in_play_enabled, "turnInPlayEnabled")          \
  X(venue, "venue")                                     \
  X(id, "id")                                           \
  X(sort_priority, "sortPriority")                      \
  X(hc, "hc")                                           \
  X(bsp, "bsp")

struct Strings {
#define MARROWFIN_STRING_FIELD(field, text) PyObject* field = nullptr;
  MARROWFIN_STRINGS(MARROWFIN_STRING_FIELD)
#undef MARROWFIN_STRING_FIELD
};

// Borrowed strings; valid once init_strings has succeeded.
extern Strings strings;

// Creates every string (once per process). Returns -1 with an error set.
[[nodiscard]] int init_strings() noexcept;

}  // namespace marrowfin::bindings

// The market definition's fields, each named once: the cache's members and
// how it reads them (market_cache.*), the Python record and its copy
// (bindings: py_records.hpp, snapshot.cpp), the MarketDefinition attributes
// (market_definition.cpp), the to_dict() keys and values (dict_export.cpp)
// and their interned strings (py_strings.hpp) are all made from the first
// table; the record of a definition's runner and its attributes from the
// second; the runner table's market columns from the third.
#pragma once

// The types the rows name.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// MARROWFIN_DEFINITION_FIELDS(FIELD, SHARED, TIME, OWN): one row per
// MarketDefinition attribute, in the order the class lists them. Columns:
//   Key      the json::Key the stream gives the field under (value.hpp)
//   member   the MarketCache member, the MarketDefinitionRecord member and
//            the attribute's name
//   Type     its C++ type, read by the read_field overload of that type
//            (market_cache.cpp: std::int32_t keeps the low 32 bits)
//   init     its value before any definition
//   dict     whether to_dict() exports it, under the stream's key
// Rows:
//   FIELD(Key, member, Type, init, dict)   a field of the definition alone,
//       copied as it is
//   SHARED(Key, member, Type, init, dict)  also a field of a market change:
//       MarketCache::apply_shared_field reads it for both, and to_market_book
//       copies it into the book by hand
//   TIME(Key, member, dict)                a time: the stream's text in the
//       cache and in to_dict(), a datetime attribute (the record keeps both)
//   OWN(member)                            an attribute with code of its own,
//       in every file above: the definition's runners (read from "runners"
//       into MarketCache::definition_runners) and the count of active
//       runners (MarketCache::number_of_active_runners, which runner
//       statuses keep)
#define MARROWFIN_DEFINITION_FIELDS(FIELD, SHARED, TIME, OWN)               \
  FIELD(EventId, event_id, std::optional<std::string>, {}, true)            \
  FIELD(EventTypeId, event_type_id, std::optional<std::string>, {}, true)   \
  FIELD(EventName, event_name, std::optional<std::string>, {}, true)        \
  FIELD(MarketType, market_type, std::optional<std::string>, {}, true)      \
  FIELD(CountryCode, country_code, std::optional<std::string>, {}, true)    \
  FIELD(Venue, venue, std::optional<std::string>, {}, true)                 \
  FIELD(RaceType, race_type, std::optional<std::string>, {}, false)         \
  FIELD(Name, name, std::optional<std::string>, {}, true)                   \
  FIELD(Timezone, timezone, std::optional<std::string>, {}, true)           \
  FIELD(BettingType, betting_type, std::optional<std::string>, {}, true)    \
  FIELD(Regulators, regulators, std::vector<std::string>, {}, true)         \
  OWN(runners)                                                              \
  TIME(MarketTime, market_time, true)                                       \
  TIME(OpenDate, open_date, true)                                           \
  TIME(SuspendTime, suspend_time, true)                                     \
  TIME(SettledTime, settled_time, false)                                    \
  FIELD(BspMarket, bsp_market, bool, false, true)                           \
  FIELD(PersistenceEnabled, persistence_enabled, bool, true, true)          \
  FIELD(EachWayDivisor, each_way_divisor, std::optional<double>, {}, false) \
  FIELD(TurnInPlayEnabled, turn_in_play_enabled, bool, false, true)         \
  FIELD(DiscountAllowed, discount_allowed, bool, false, true)               \
  FIELD(MarketBaseRate, market_base_rate, double, 0.0, true)                \
  SHARED(BetDelay, bet_delay, std::int32_t, 0, true)                        \
  FIELD(NumberOfWinners, number_of_winners, std::int32_t, 1, true)          \
  OWN(number_of_active_runners)                                             \
  SHARED(BspReconciled, bsp_reconciled, bool, false, true)                  \
  SHARED(Complete, complete, bool, true, true)                              \
  SHARED(CrossMatching, cross_matching, bool, true, true)                   \
  SHARED(InPlay, in_play, bool, false, true)                                \
  SHARED(RunnersVoidable, runners_voidable, bool, false, true)              \
  SHARED(Status, status, std::string, "OPEN", true)                         \
  SHARED(Version, version, std::int64_t, 0, true)

// MARROWFIN_DEFINITION_RUNNER_FIELDS(FIELD): one row per attribute of
// MarketDefinitionRunner, in the order the class lists them, with the
// columns above: FIELD(Key, member, Type, init) for a field of a runner as a
// definition lists it (records.hpp), read as the market's are. Its to_dict()
// is written by hand (dict_export.cpp), since it has an order of its own and
// leaves absent values out.
#define MARROWFIN_DEFINITION_RUNNER_FIELDS(FIELD)                       \
  FIELD(Id, selection_id, std::int64_t, 0)                              \
  FIELD(SortPriority, sort_priority, std::int32_t, 0)                   \
  FIELD(Status, status, std::string, "ACTIVE")                          \
  FIELD(Hc, handicap, double, 0.0)                                      \
  FIELD(AdjustmentFactor, adjustment_factor, std::optional<double>, {}) \
  FIELD(RemovalDate, removal_date, std::optional<std::string>, {})      \
  FIELD(Name, name, std::optional<std::string>, {})                     \
  FIELD(Bsp, bsp, std::optional<double>, {})

// MARROWFIN_MARKET_TEXT_COLUMNS(COLUMN): the market's text columns of the
// runner table after market_id (table/runner_table.*), in their order, which
// a first definition's dict (marrowfin_tools.first_definition) keeps too:
// COLUMN(member, column) for a text field of the first table and the name of
// its column. A list of its own, since the table's order and names are not
// the attributes'.
#define MARROWFIN_MARKET_TEXT_COLUMNS(COLUMN) \
  COLUMN(event_id, "event_id")                \
  COLUMN(event_name, "event_name")            \
  COLUMN(event_type_id, "event_type_id")      \
  COLUMN(country_code, "country_code")        \
  COLUMN(venue, "venue")                      \
  COLUMN(name, "market_name")                 \
  COLUMN(market_type, "market_type")

// For a kind of row a use has nothing to make of.
#define MARROWFIN_NO_ROW(...)

// The native records behind the Python classes of a market book. Each Python
// object owns one record; the binding files read them directly (dict export,
// snapshot building), Python code only through the attributes.
#pragma once

#include "bindings/common/compat.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/market/definition_fields.hpp"
#include "core/market/records.hpp"
#include "bindings/common/borrow.hpp"
#include "bindings/common/py_ref.hpp"
#include "bindings/common/py_type.hpp"

namespace marrowfin::bindings {

// A read-out of a starting-price ladder. Immutable once made, so runner
// objects built while that ladder stood still share it instead of copying
// it again; null means empty.
using SharedPairs = std::shared_ptr<const std::vector<market::PriceSizePair>>;

inline std::span<const market::PriceSizePair> pairs_of(const SharedPairs& pairs) noexcept {
  return pairs ? std::span<const market::PriceSizePair>(*pairs) : std::span<const market::PriceSizePair>();
}

// Starting-price data; held by value in a Runner, copied into every
// StartingPrices object that Runner.sp hands out.
struct StartingPricesRecord {
  SharedPairs back_stake_taken;
  SharedPairs lay_liability_taken;
  market::SpValue near_price;
  market::SpValue far_price;
  market::SpValue actual_sp;
};

// The three ladder lists of a runner. Mutable class: readers borrow.
struct ExchangePricesRecord {
  ExchangePricesRecord(py::Ref back, py::Ref lay, py::Ref traded) noexcept
      : available_to_back(std::move(back)),
        available_to_lay(std::move(lay)),
        traded_volume(std::move(traded)) {}

  py::BorrowFlag borrow;
  py::Ref available_to_back;  // list of PriceSize
  py::Ref available_to_lay;   // list of PriceSize
  py::Ref traded_volume;      // list of PriceSize
};

struct RunnerRecord {
  std::int64_t selection_id = 0;
  double handicap = 0.0;
  std::optional<double> adjustment_factor;
  std::optional<double> last_price_traded;
  double total_matched = 0.0;
  py::Ref status;  // str, made once per runner object
  std::optional<std::string> removal_date;
  py::Ref ex;  // ExchangePrices
  StartingPricesRecord sp;
  // The change counts of the starting-price ladders that sp was read from.
  std::uint64_t sp_lay_count = 0;   // back_stake_taken
  std::uint64_t sp_back_count = 0;  // lay_liability_taken
};

// The fields of definition_fields.hpp as the cache held them, then the two
// attributes of their own.
struct MarketDefinitionRecord {
#define MARROWFIN_RECORD_FIELD(key, member, Type, init, dict) Type member = init;
  // A time is a datetime or None, and the stream's text for to_dict().
#define MARROWFIN_RECORD_TIME(key, member, dict) \
  py::Ref member;                                \
  std::optional<std::string> member##_text;
  MARROWFIN_DEFINITION_FIELDS(MARROWFIN_RECORD_FIELD, MARROWFIN_RECORD_FIELD,
                              MARROWFIN_RECORD_TIME, MARROWFIN_NO_ROW)
#undef MARROWFIN_RECORD_FIELD
#undef MARROWFIN_RECORD_TIME
  py::Ref runners;  // list of market::MarketDefinitionRunner
  std::int32_t number_of_active_runners = 0;
};

// One snapshot. Mutable class (streaming_unique_id): readers borrow.
struct MarketBookRecord {
  py::BorrowFlag borrow;
  std::string market_id;
  std::string status;
  py::Ref publish_time;  // datetime
  std::int64_t publish_time_epoch = 0;
  py::Ref runners;  // list of Runner
  double total_matched = 0.0;
  std::int64_t version = 0;
  py::Ref market_definition;  // MarketDefinition or None
  std::optional<std::int64_t> last_match_time;
  std::int32_t bet_delay = 0;
  std::int32_t number_of_active_runners = 0;
  std::int32_t number_of_runners = 0;
  std::int32_t number_of_winners = 0;
  bool bsp_reconciled = false;
  bool complete = false;
  bool cross_matching = false;
  bool inplay = false;
  bool runners_voidable = false;
  std::optional<std::int32_t> streaming_unique_id;
};

}  // namespace marrowfin::bindings

// A changed ladder makes a list of PriceSize objects, a changed runner a
// Runner and an ExchangePrices, every message a MarketBook: their blocks are
// recycled (see py_type.hpp).
namespace marrowfin::py {
template <>
inline constexpr int kRecycled<market::PriceSizePair> = 4096;
template <>
inline constexpr int kRecycled<bindings::RunnerRecord> = 256;
template <>
inline constexpr int kRecycled<bindings::ExchangePricesRecord> = 256;
template <>
inline constexpr int kRecycled<bindings::MarketBookRecord> = 64;
}  // namespace marrowfin::py

// A row per market of a recording, as the store's catalogue lists them: the
// market's last definition, its last book's status, runners and winners, and
// what MarketFold tracks of its books (count, first and last publish time,
// off time). The columns a store adds (where the file is and what it came
// from) are the caller's.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/load/message_loader.hpp"
#include "core/market/definition_fields.hpp"

namespace marrowfin::table {

#define MARROWFIN_COUNT_COLUMN(member, column) +1
// The definition's texts of MARROWFIN_MARKET_TEXT_COLUMNS, in their order.
inline constexpr std::size_t kCatalogTexts = 0 MARROWFIN_MARKET_TEXT_COLUMNS(MARROWFIN_COUNT_COLUMN);
#undef MARROWFIN_COUNT_COLUMN

struct CatalogEntry {
  std::string market_id;
  std::array<std::optional<std::string>, kCatalogTexts> texts;  // of the last definition
  std::optional<std::int64_t> market_time;  // the last definition's, ms; none in no usual form
  std::optional<std::int64_t> off_time;     // publish time of the first book in play
  std::int64_t first_publish_time = 0;      // of its first and last book
  std::int64_t last_publish_time = 0;
  std::int64_t books = 0;
  std::string status;  // the last book's
  std::int64_t number_of_runners = 0;  // in the last book
  std::vector<std::int64_t> winners;   // selection ids of its runners "WINNER" there, in key order
};

// Folds the messages once; a row per market in the order they were first
// named. Throws std::bad_alloc.
std::vector<CatalogEntry> catalog_entries(std::span<const load::ParsedMessage> messages);

}  // namespace marrowfin::table

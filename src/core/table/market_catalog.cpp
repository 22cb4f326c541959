#include "core/table/market_catalog.hpp"

#include "core/market/market_fold.hpp"

namespace marrowfin::table {

std::vector<CatalogEntry> catalog_entries(std::span<const load::ParsedMessage> messages) {
  market::MarketFold fold({});
  fold.fold(messages);
  std::vector<CatalogEntry> entries(fold.size());
  for (std::size_t index = 0; index < fold.size(); ++index) {
    market::MarketCache& m = fold.market(index);
    const market::MarketTrack& track = fold.track(index);
    CatalogEntry& e = entries[index];
    e.market_id = m.market_id;
#define MARROWFIN_TEXT_VALUE(member, column) m.member,
    e.texts = {MARROWFIN_MARKET_TEXT_COLUMNS(MARROWFIN_TEXT_VALUE)};
#undef MARROWFIN_TEXT_VALUE
    e.market_time = track.market_time;
    e.off_time = track.off_time;
    e.first_publish_time = track.first_publish_time;
    e.last_publish_time = track.last_publish_time;
    e.books = track.books;
    e.status = m.status;
    std::span<market::RunnerCache* const> runners = m.sorted_runners();
    e.number_of_runners = static_cast<std::int64_t>(runners.size());
    for (const market::RunnerCache* runner : runners) {
      if (runner->status == "WINNER") e.winners.push_back(runner->selection_id);
    }
  }
  return entries;
}

}  // namespace marrowfin::table

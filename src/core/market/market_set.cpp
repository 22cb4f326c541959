#include "core/market/market_set.hpp"

#include <string>

namespace marrowfin::market {

std::size_t MarketSet::market_for(std::string_view id) {
  // Most files hold one market, and a message the market of the one before.
  if (last_ < markets_.size() && markets_[last_].cache->market_id == id) return last_;
  if (auto found = index_.find(id); found != index_.end()) return last_ = found->second;
  markets_.push_back({std::make_unique<MarketCache>(std::string(id))});
  std::size_t index = markets_.size() - 1;
  index_.emplace(markets_[index].cache->market_id, index);
  return last_ = index;
}

std::optional<std::size_t> MarketSet::market_of(const json::Value& change) const noexcept {
  std::optional<std::string_view> id = market_id_of(change);
  if (!id) return markets_.empty() ? std::nullopt : std::optional<std::size_t>(0);
  if (last_ < markets_.size() && markets_[last_].cache->market_id == *id) return last_;
  auto found = index_.find(*id);
  return found != index_.end() ? std::optional<std::size_t>(found->second) : std::nullopt;
}

std::span<const MarketSet::Touched> MarketSet::apply(std::span<const json::Value> changes,
                                                     std::int64_t publish_time) {
  touched_.clear();
  ++serial_;
  for (const json::Value& change : changes) {
    std::size_t index = 0;
    if (std::optional<std::string_view> id = market_id_of(change)) {
      index = market_for(*id);
    } else if (markets_.empty()) {
      continue;
    }
    Market& market = markets_[index];
    market.cache->update(change, publish_time);
    // The cache's own rule: an image drops every runner before the change applies.
    const json::Value* image = change.find(json::Key::kImg);
    bool is_image = image != nullptr && image->as_bool() == true;
    if (market.touched_by != serial_) {
      market.touched_by = serial_;
      market.touched_at = touched_.size();
      touched_.push_back({index, is_image});
    } else {
      touched_[market.touched_at].image |= is_image;
    }
  }
  return touched_;
}

}  // namespace marrowfin::market
